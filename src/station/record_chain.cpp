#include "station/record_chain.h"

#include "platform/hmac_sha256.h"
#include "platform/sha256.h"

#include <nlohmann/json.hpp>

#include <unordered_map>

using nlohmann::json;
using Fault = ChainCheck::Fault;

namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// `,"NAME":"VALUE"}` in place of an object's closing brace.
std::string WithMember(std::string_view object, std::string_view name, std::string_view value) {
    std::string out(object.substr(0, object.size() - 1));
    out.append(",\"").append(name).append("\":\"").append(value).append("\"}");
    return out;
}

// One line of a record as the check reads it.
struct Line {
    std::size_t number = 0;
    std::string_view text;
    // A JSON object: a line of the record. A crash tears a line into none,
    // unless it took only the newline, which only the last line can lack.
    bool whole = false;
    bool start = false;  // a run's first line
    std::optional<std::string> prev, mac;
    std::string hash;
};

std::optional<std::string> StringMember(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

// The line as JSON; no object for a torn line. The station never writes a NUL
// (JSON escapes it), and the JSON reader stops at one: a line a crash left
// ending in zeros is torn, not the object before them.
json RecordObject(std::string_view line) {
    return line.find('\0') == std::string_view::npos ? json::parse(line, nullptr, false) : json();
}

std::vector<Line> LinesOf(std::string_view record) {
    std::vector<Line> lines;
    while (!record.empty()) {
        const std::size_t end = record.find('\n');
        Line line;
        line.number = lines.size() + 1;
        line.text = record.substr(0, end);
        record.remove_prefix(end == std::string_view::npos ? record.size() : end + 1);
        const json parsed = RecordObject(line.text);  // no exceptions: a torn line is passed over
        line.whole = parsed.is_object();
        if (line.whole) {
            line.start = StringMember(parsed, "record") == "start";
            line.prev = StringMember(parsed, "prev");
            line.mac = StringMember(parsed, "mac");
            line.hash = LineHash(line.text);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// The bytes a line's MAC is of, or none when `mac` is not its last member.
std::optional<std::string> MacedBytes(const Line& line) {
    const std::string suffix = ",\"mac\":\"" + *line.mac + "\"}";
    if (!line.text.ends_with(suffix))
        return std::nullopt;
    return std::string(line.text.substr(0, line.text.size() - suffix.size())) + "}";
}

class ChainReader {
public:
    ChainReader(std::string_view record, const std::optional<std::string>& key) : lines_(LinesOf(record)), key_(key) {
        for (std::size_t i = 0; i < lines_.size(); ++i)
            if (lines_[i].whole)
                at_.emplace(lines_[i].hash, i);
    }

    ChainCheck Read() {
        check_.lines = lines_.size();
        std::vector<std::size_t> pending;  // lines that are no record line, waiting for what follows them
        bool chained = false;
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            const Line& line = lines_[i];
            if (!line.whole) {
                pending.push_back(i);
                continue;
            }
            // A run that starts after a crash chains over the one line the
            // crash tore. Stations before this one also chained over a line
            // that lost only its newline: its own chain and MAC must hold.
            // A copy of the start is no line a crash tore: it was put there.
            if (const auto next = NextWhole(i); pending.empty() && next && lines_[*next].start &&
                                                lines_[*next].prev == expected_ && line.prev == expected_ &&
                                                line.hash != lines_[*next].hash && (!key_ || MacHolds(line))) {
                pending.push_back(i);
                continue;
            }
            if (!pending.empty()) {
                if (!(line.start && line.prev == expected_) && (chained || line.prev))
                    return Fail(Fault::Inserted, pending.front(),
                                "it is no record line, and no start of the station after a crash follows it: it was "
                                "put there.");
                if (pending.size() > 1)
                    return Fail(Fault::Inserted, pending[1],
                                "a crash tears one line, and the station's next start follows it at once: it was "
                                "put there.");
                Torn(pending);
            }
            if (const auto fault = Check(i, chained))
                return *fault;
            if (!PassedOverBeforeTheChain(i))
                Chain(i);
            chained = chained || line.prev.has_value();
        }
        // At the end: the line the last run's crash tore.
        if (pending.size() > 1)
            return Fail(Fault::Inserted, pending.front(), "a crash tears one line, the last: it was put there.");
        Torn(pending);
        return check_;
    }

private:
    // Whether line `i` holds where it stands; a fault when it does not.
    std::optional<ChainCheck> Check(std::size_t i, bool chained) {
        const Line& line = lines_[i];
        if (!line.prev) {
            if (chained)
                return Fail(Fault::Changed, i, "it carries no prev: it was changed, or put there.");
            ++check_.unchained;
            return std::nullopt;
        }
        // The MAC first: a line whose MAC holds is as the station wrote it,
        // so a break after it is a line removed or moved.
        if (key_ && !MacHolds(line)) {
            if (const auto next = NextWhole(i); next && lines_[*next].prev == expected_)
                return Fail(Fault::Inserted, i, "its MAC does not match, and the next line chains over it: it "
                                                "was put there.");
            if (!line.mac)
                return Fail(Fault::Changed, i,
                            "it carries no MAC: it was written without --record-key, or changed. Keep a record "
                            "with a key in a new file.");
            return Fail(Fault::Changed, i, "its MAC does not match: it was changed (or the key is not the record's).");
        }
        if (*line.prev != expected_)
            return Broken(i);
        return std::nullopt;
    }

    // A line kept before the record was chained, not its first, that lost its
    // newline to a crash: stations before this one chained their start over
    // it. It stays one of the lines not checked, as those before it.
    // (Check has refused a line without prev after the chain began.)
    bool PassedOverBeforeTheChain(std::size_t i) const {
        const auto next = NextWhole(i);
        return !lines_[i].prev && last_ && next && lines_[*next].start && lines_[*next].prev == expected_;
    }
    std::optional<std::size_t> NextWhole(std::size_t i) const {
        for (std::size_t j = i + 1; j < lines_.size(); ++j)
            if (lines_[j].whole)
                return j;
        return std::nullopt;
    }
    bool MacHolds(const Line& line) const {
        if (!line.mac)
            return false;
        const auto bytes = MacedBytes(line);
        return bytes && LineMac(*key_, *bytes) == *line.mac;
    }
    void Chain(std::size_t i) {
        expected_ = lines_[i].hash;
        last_ = i;
    }
    void Torn(std::vector<std::size_t>& pending) {
        for (const std::size_t i : pending)
            check_.torn.push_back(lines_[i].number);
        pending.clear();
    }
    ChainCheck Fail(Fault fault, std::size_t i, std::string why) {
        check_.fault = fault;
        check_.line = lines_[i].number;
        check_.why = std::move(why);
        return check_;
    }
    // Line `i` does not chain to the line before it: what it looks like.
    ChainCheck Broken(std::size_t i) {
        const Line& line = lines_[i];
        const auto same = at_.find(line.hash);
        if (same != at_.end() && same->second < i)
            return Fail(Fault::Inserted, i, "it is a copy of line " + Number(same->second) + ".");
        if (const auto follows = at_.find(*line.prev); follows != at_.end())
            return Fail(Fault::Reordered, i,
                        "it follows line " + Number(follows->second) + ", which stands elsewhere: lines were reordered.");
        if (const auto next = NextWhole(i); next && lines_[*next].prev == expected_)
            return Fail(Fault::Inserted, i, "the next line chains over it: it was put there.");
        if (!last_)
            return Fail(Fault::Removed, i, "it is not the chain's first line: the lines before it were removed.");
        if (key_ && lines_[*last_].prev)
            return Fail(Fault::Removed, i,
                        "the chain breaks between line " + Number(*last_) + ", whose MAC holds, and it: a line "
                        "between them was removed.");
        return Fail(Fault::Broken, i,
                    "the chain breaks between line " + Number(*last_) + " and it: line " + Number(*last_) +
                        " was changed, or a line between them removed.");
    }
    std::string Number(std::size_t i) const { return std::to_string(lines_[i].number); }

    std::vector<Line> lines_;
    const std::optional<std::string>& key_;
    std::unordered_map<std::string, std::size_t> at_;  // a line's hash: where it first stands
    ChainCheck check_;
    std::string expected_{kChainStart};
    std::optional<std::size_t> last_;  // the last line of the chain so far
};

}  // namespace

std::string LineHash(std::string_view line) {
    const auto digest = Sha256(Bytes(line));
    return digest ? Sha256Hex(*digest) : std::string();
}

std::string LineMac(std::string_view key, std::string_view bytes) {
    const auto mac = HmacSha256(Bytes(key), Bytes(bytes));
    return mac ? Sha256Hex(*mac) : std::string();
}

std::string ChainTail(std::string_view record) {
    // A crash can leave a line without its newline only once it is written
    // whole, or not as a JSON object: the one is chained to, the other passed over.
    for (;;) {
        const std::size_t end = record.rfind('\n');
        const std::string_view line = record.substr(end == std::string_view::npos ? 0 : end + 1);
        if (RecordObject(line).is_object())
            return LineHash(line);
        if (end == std::string_view::npos)
            return std::string(kChainStart);
        record = record.substr(0, end);
    }
}

std::string SealLine(std::string_view line, std::string_view prev, const std::optional<std::string>& key) {
    if (prev.empty() || !line.ends_with("}\n"))
        return {};
    std::string sealed = WithMember(line.substr(0, line.size() - 1), "prev", prev);
    if (key) {
        const std::string mac = LineMac(*key, sealed);
        if (mac.empty())
            return {};
        sealed = WithMember(sealed, "mac", mac);
    }
    return sealed + "\n";
}

ChainCheck CheckRecordChain(std::string_view record, const std::optional<std::string>& key) {
    return ChainReader(record, key).Read();
}
