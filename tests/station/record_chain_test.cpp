// The record's hash chain and MACs: lines sealed as the station appends them,
// then changed, removed, inserted, reordered and torn, each told as what it is;
// and what record verify tells of a record.

#include "station/record_chain.h"
#include "station/record_reader.h"
#include "station/record_verification.h"
#include "station/sealed_record_file.h"
#include "support/package_files.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

namespace {

using nlohmann::json;
using Fault = ChainCheck::Fault;

const std::string kKey = "a secret of the line, kept apart";

const char* FaultName(Fault fault) {
    static constexpr const char* kNames[] = {"none", "changed", "removed", "inserted", "reordered", "broken"};
    return kNames[static_cast<int>(fault)];
}

}  // namespace

// A fault as a failed check tells it: by its name.
inline std::ostream& operator<<(std::ostream& out, Fault fault) { return out << FaultName(fault); }

namespace {

// A record kept in memory, appended to as the file is.
struct MemoryRecord final : RecordFile {
    std::string& bytes;
    explicit MemoryRecord(std::string& b) : bytes(b) {}
    bool Append(const std::string& line) override {
        bytes += line;
        return true;
    }
};

// `lines` sealed one after the other onto what `record` holds, as a run of the station appends them.
std::string Appended(std::string record, const std::vector<std::string>& lines, const std::optional<std::string>& key) {
    const std::string tail = ChainTail(record);
    if (!record.empty() && record.back() != '\n')
        record += '\n';  // the torn end closed, as the record file does when it is opened
    SealedRecordFile sealed(std::make_unique<MemoryRecord>(record), tail, key);
    for (const std::string& line : lines)
        EXPECT_TRUE(sealed.Append(line));
    return record;
}

std::string Start() { return R"({"record":"start","station":"line-3"})" "\n"; }

// A run of a hundred lines: its start, 98 products and its stop.
std::vector<std::string> HundredLines() {
    std::vector<std::string> lines{Start()};
    for (int i = 2; i < 100; ++i)
        lines.push_back(json{{"record", "product"}, {"serial", "S" + std::to_string(i)}, {"success", true}}.dump() +
                        "\n");
    lines.push_back(R"({"exitCode":0,"record":"stop"})" "\n");
    return lines;
}

std::vector<std::string> Split(const std::string& record) {
    std::vector<std::string> lines;
    std::istringstream in(record);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string record;
    for (const std::string& line : lines)
        record += line + "\n";
    return record;
}

// The record changed as a case does it, its lines counted from 1.
using Change = std::function<std::string(std::vector<std::string>&)>;

std::string Edit(std::vector<std::string>& lines, std::size_t number, const std::string& from, const std::string& to) {
    std::string& line = lines.at(number - 1);
    line.replace(line.find(from), from.size(), to);
    return Joined(lines);
}

}  // namespace

// Faults caught: an edit, a removed, inserted or reordered line not found, or
// found at another line or told as another kind; a line torn by a crash told
// as tampered with, or a record that holds told as broken; a MAC not checked,
// or not over the line as written.
TEST(RecordChain, EachChangeToAHundredLinesIsToldAsWhatItIs) {
    struct Case {
        const char* name;
        bool keyed;  // checked with the key it was sealed with
        Change change;
        Fault fault;
        std::size_t line;
        std::vector<std::size_t> torn;
    };
    const std::vector<Case> cases = {
        {"as written", true, [](auto& l) { return Joined(l); }, Fault::None, 0, {}},
        {"as written, no key", false, [](auto& l) { return Joined(l); }, Fault::None, 0, {}},
        {"a serial changed", true, [](auto& l) { return Edit(l, 40, "S40", "S4O"); }, Fault::Changed, 40, {}},
        {"a serial changed, no key", false, [](auto& l) { return Edit(l, 40, "S40", "S4O"); }, Fault::Broken, 41, {}},
        {"a MAC taken from another line", true,
         [](auto& l) {
             const std::string other = json::parse(l[10])["mac"];
             return Edit(l, 40, json::parse(l[39])["mac"].template get<std::string>(), other);
         },
         Fault::Changed, 40, {}},
        {"the last line's prev changed", true,
         [](auto& l) { return Edit(l, 100, R"("prev":")", R"("prev":"0)"); }, Fault::Changed, 100, {}},
        {"a line removed", true,
         [](auto& l) {
             l.erase(l.begin() + 39);
             return Joined(l);
         },
         Fault::Removed, 40, {}},
        {"the first lines removed", false,
         [](auto& l) {
             l.erase(l.begin(), l.begin() + 2);
             return Joined(l);
         },
         Fault::Removed, 1, {}},
        {"a line made up and chained", true,
         [](auto& l) {
             const std::string prev = LineHash(l[39]);
             l.insert(l.begin() + 40, R"({"record":"product","serial":"FAKE","success":true,"prev":")" + prev + "\"}");
             return Joined(l);
         },
         Fault::Inserted, 41, {}},
        {"a line made up, no key", false,
         [](auto& l) {
             l.insert(l.begin() + 40, R"({"record":"product","serial":"FAKE","prev":"00"})");
             return Joined(l);
         },
         Fault::Inserted, 41, {}},
        {"a line copied", true,
         [](auto& l) {
             l.insert(l.begin() + 40, l[9]);
             return Joined(l);
         },
         Fault::Inserted, 41, {}},
        {"a note put between lines", true,
         [](auto& l) {
             l.insert(l.begin() + 50, "checked by Ana");
             return Joined(l);
         },
         Fault::Inserted, 51, {}},
        {"a start copied before itself", true,
         [](auto& l) {
             std::vector<std::string> next = Split(Appended(Joined(l), {Start(), Start()}, kKey));
             next.insert(next.begin() + 100, next[100]);
             return Joined(next);
         },
         Fault::Inserted, 102, {}},
        {"two lines swapped", true,
         [](auto& l) {
             std::swap(l[39], l[40]);
             return Joined(l);
         },
         Fault::Reordered, 40, {}},
        {"a line moved up", false,
         [](auto& l) {
             const std::string moved = l[70];
             l.erase(l.begin() + 70);
             l.insert(l.begin() + 20, moved);
             return Joined(l);
         },
         Fault::Reordered, 21, {}},
        {"the last line torn", true,
         [](auto& l) {
             const std::string record = Joined(l);
             return record.substr(0, record.size() - 30);
         },
         Fault::None, 0, {100}},
        {"torn, and the next run after it", true,
         [](auto& l) {
             const std::string record = Joined(l);
             return Appended(record.substr(0, record.size() - 30), {Start()}, kKey);
         },
         Fault::None, 0, {100}},
        {"only the newline torn, and the next run chained to that line", true,
         [](auto& l) {
             const std::string record = Joined(l);
             return Appended(record.substr(0, record.size() - 1), {Start()}, kKey);
         },
         Fault::None, 0, {}},
        {"torn, and the next run's start without its newline", true,
         [](auto& l) {
             const std::string record = Joined(l);
             const std::string next = Appended(record.substr(0, record.size() - 30), {Start()}, kKey);
             return next.substr(0, next.size() - 1);
         },
         Fault::None, 0, {100}},
        {"only the newline torn, and a next run that passed over that line", true,
         [](auto& l) { return Joined(l) + SealLine(Start(), LineHash(l[98]), kKey); }, Fault::None, 0, {100}},
        {"the next run after a whole record", true,
         [](auto& l) { return Appended(Joined(l), {Start(), Start()}, kKey); }, Fault::None, 0, {}},
        {"a line put before the next run's start", true,
         [](auto& l) {
             l.push_back(R"({"record":"product","serial":"EVIL","success":true})");
             return Appended(Joined(l), {Start()}, kKey);
         },
         Fault::Changed, 101, {}},
        {"two lines torn before the next run's start", true,
         [](auto& l) {
             l.push_back("{\"record\":\"prod");
             l.push_back("{\"record\":\"prod");
             return Appended(Joined(l), {Start()}, kKey);
         },
         Fault::Inserted, 102, {}},
        {"a whole line without its newline put at the end", true,
         [](auto& l) { return Joined(l) + R"({"record":"product","serial":"EVIL","success":true})"; },
         Fault::Changed, 101, {}},
        {"a line without its MAC", true, [](auto& l) { return Edit(l, 40, R"(,"mac":")", R"(,"nomac":")"); },
         Fault::Changed, 40, {}},
        {"lines put before the chain", true,
         [](auto& l) { return Start() + Start() + Joined(l); }, Fault::Broken, 3, {}},
        {"a line put before the chain", true,
         [](auto& l) { return R"({"record":"product","serial":"EVIL","success":true})" "\n" + Joined(l); },
         Fault::Broken, 2, {}},
    };
    const std::string record = Appended("", HundredLines(), kKey);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> lines = Split(record);
        const ChainCheck check =
            CheckRecordChain(c.change(lines), c.keyed ? std::optional<std::string>(kKey) : std::nullopt);
        EXPECT_EQ(check.fault, c.fault) << check.why;
        EXPECT_EQ(check.line, c.line) << check.why;
        EXPECT_EQ(check.torn, c.torn);
    }
}

// Faults caught: a record written before lines were chained refused, or the
// chain begun anew after it instead of from its last line, also when a crash
// took only that line's newline and the next run chained to it or, as stations
// did before, over it.
TEST(RecordChain, ARecordFromBeforeTheChainIsContinued) {
    const std::string old = Start() + R"({"exitCode":0,"record":"stop"})" "\n";
    const std::string passed_over = old + SealLine(Start(), LineHash(Split(old)[0]), kKey);
    for (const auto& [record, lines] : {std::pair{Appended(old, HundredLines(), kKey), 102u},
                                        {Appended(old.substr(0, old.size() - 1), HundredLines(), kKey), 102u},
                                        {passed_over, 3u}}) {
        SCOPED_TRACE(record.substr(0, 300));
        const ChainCheck check = CheckRecordChain(record, kKey);
        EXPECT_TRUE(check.Holds()) << check.line << ": " << check.why;
        EXPECT_EQ(check.unchained, 2u);
        EXPECT_TRUE(check.torn.empty());
        EXPECT_EQ(check.lines, lines);
    }
}

// Fault caught: --skip-recorded taking a serial whose upgrade failed or was
// refused, or one upgraded with another package, for upgraded.
TEST(RecordedUpgrades, OnlyUpgradesWithThisPackageCount) {
    const std::string sha(64, 'a');
    const auto line = [&](const char* serial, bool success, const std::string& package) {
        return json{{"record", "product"}, {"serial", serial}, {"success", success}, {"sha256", package}}.dump() + "\n";
    };
    const std::string record = line("UP", true, sha) + line("REFUSED", false, sha) + line("FAILED", false, sha) +
                               line("OTHER", true, std::string(64, 'b')) + line("", true, sha);
    EXPECT_EQ(RecordedUpgrades(record, sha), (std::set<std::string>{"UP"}));
}

// Faults caught: a record that was changed (or stripped of its chain, also
// with its last newline cut off), one that is not there or a key that cannot
// be read told as holding; the line that breaks not named.
TEST(RecordVerification, TellsEachVerdictAndTheLine) {
    using Verdict = RecordVerification::Verdict;
    TempFolder folder;
    const std::string record = Utf8(folder / "record.jsonl"), key = Utf8(folder / "line.key");
    std::vector<std::string> lines = Split(Appended("", HundredLines(), kKey));
    std::ofstream(folder / "record.jsonl", std::ios::binary) << Joined(lines);
    std::ofstream(folder / "line.key", std::ios::binary) << kKey << "\r\n";
    std::ofstream(folder / "changed.jsonl", std::ios::binary) << Edit(lines, 40, "S40", "S4O");
    std::string stripped;  // the lines as written before they were sealed
    for (const std::string& line : HundredLines())
        stripped += line;
    std::ofstream(folder / "stripped.jsonl", std::ios::binary) << stripped;
    std::ofstream(folder / "stripped-torn.jsonl", std::ios::binary) << stripped.substr(0, stripped.size() - 1);
    struct Case {
        std::string record;
        std::optional<std::string> key;
        Verdict verdict;
        const char* told;  // in the last line told
    };
    const std::vector<Case> cases = {
        {record, key, Verdict::Holds, "100 lines: the record holds, its chain and every line's MAC."},
        {record, std::nullopt, Verdict::Holds, "Give --record-key FILE to check the lines' MACs."},
        {Utf8(folder / "stripped.jsonl"), key, Verdict::Broken, "no line of the record is chained"},
        {Utf8(folder / "stripped-torn.jsonl"), key, Verdict::Broken, "no line of the record is chained"},
        {Utf8(folder / "changed.jsonl"), key, Verdict::Broken, "line 40: its MAC does not match"},
        {Utf8(folder / "missing.jsonl"), key, Verdict::Unreadable, "is not there, or is no file"},
        {record, Utf8(folder / "missing.key"), Verdict::BadKey, "cannot be read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        const RecordVerification told = VerifyRecord(c.record, c.key);
        EXPECT_EQ(told.verdict, c.verdict);
        ASSERT_FALSE(told.lines.empty());
        EXPECT_NE(told.lines.back().find(c.told), std::string::npos) << told.lines.back();
    }
}
