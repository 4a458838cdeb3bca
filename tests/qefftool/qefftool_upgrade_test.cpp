// qefftool's upgrade and list commands against the simulated product: every
// exit code, the product named or every one at once, waiting for a product,
// a dry run, Ctrl-C, and the JSON lines.

#include "device/access_doctor.h"
#include "device/firmware_transfer.h"
#include "qefftool/doctor_command.h"
#include "qefftool/exit_codes.h"
#include "support/held_file.h"
#include "qefftool/json_output.h"
#include "qefftool/list_command.h"
#include "qefftool/package_commands.h"
#include "support/package_files.h"
#include "support/scripted_open_dialog.h"
#include "platform/sha256.h"
#include "simulated/simulated_hid.h"
#include "station/event_json.h"
#include "qefftool/station_output.h"
#include "qefftool/text_output.h"
#include "qefftool/visible_text.h"
#include "device/product_upgrade.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// JSON output that also lets a test act on what it sees.
class Watched final : public UpgradeOutput {
public:
    std::ostringstream text;
    JsonOutput lines{text};
    std::function<void(std::uint64_t)> onProgress;
    std::function<void(const std::string& caption)> onMessage;

    void Package(const PackageSummary& p) override { lines.Package(p); }
    void Found(const std::string& path, std::size_t i, const DeviceIdentity& id) override { lines.Found(path, i, id); }
    void Plan(const std::string& path, const ReportLengths& l, const TransferPlan& p) override { lines.Plan(path, l, p); }
    void Progress(const std::string& path, std::uint64_t sent, std::uint64_t total) override {
        lines.Progress(path, sent, total);
        if (onProgress)
            onProgress(sent);
    }
    void Message(const std::string& path, const std::string& c, const std::string& t, MessageStyle s) override {
        lines.Message(path, c, t, s);
        if (onMessage)
            onMessage(c);
    }
    void Result(const UpgradeEnd& end) override { lines.Result(end); }
    void Summary(const std::map<Outcome, int>& outcomes, Outcome end) override { lines.Summary(outcomes, end); }

    std::vector<json> Lines() const {
        std::vector<json> lines;
        std::istringstream in(text.str());
        for (std::string line; std::getline(in, line);)
            lines.push_back(json::parse(line));  // every line is one JSON object
        return lines;
    }
    std::vector<json> Events(const std::string& event) const {
        std::vector<json> found;
        for (const json& line : Lines())
            if (line["event"] == event)
                found.push_back(line);
        return found;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const json& m : Events("message"))
            texts.push_back(m["text"]);
        return texts;
    }
};

class Qefftool : public ::testing::Test {
protected:
    TempFolder folder;
    PackageContents package = SamplePackage();
    SimulatedHid hid;
    Watched out;
    std::atomic<bool> stop{false};
    UpgradeOptions options;

    void SetUp() override {
        package.firmware = CountingPayload(5000);
        package.blockLength = 1024;
        Write();
        options.wait = 0ms;  // one search, no waiting
    }
    void Write() {
        WriteBytes(folder / "p.qeff", BuildPackage(package));
        options.package = Utf8(folder / "p.qeff");
    }
    SimulatedInterface Product(std::vector<BlockAnswer> answers = {}) const {
        return ProductInterface(package, 65, 65, std::move(answers));
    }
    int Run() { return ExitCodeOf(RunUpgrade(options, hid, out, stop)); }
};

TEST_F(Qefftool, EveryOutcomeHasItsExitCode) {
    const std::size_t product = hid.Attach(Product());
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(hid.Product(product).Payload(), package.firmware);
    EXPECT_EQ(out.Texts(), std::vector<std::string>{"Firmware upgraded successfully"});
    EXPECT_EQ(hid.OpenHandles(), 0);

    hid.DetachAll();
    hid.Attach(Product({BlockAnswer::Code(1), BlockAnswer::Code(8)}));
    EXPECT_EQ(Run(), ExitRefused);
    EXPECT_EQ(out.Texts().back(), "Hardware ID mismatch!");

    hid.DetachAll();
    hid.Attach(Product({BlockAnswer::Of(BlockAnswer::Kind::Silence)}));
    EXPECT_EQ(Run(), ExitLost);
    EXPECT_EQ(out.Texts().back(), "Timeout error, try upgrade one more time.");

    hid.DetachAll();
    auto gone = Product();
    gone.goneAfterReports = 30;
    hid.Attach(gone);
    EXPECT_EQ(Run(), ExitLost) << "unplugged midway";

    hid.DetachAll();
    for (const bool all : {false, true}) {  // --all with no interface at all blamed the IDs
        options.all = all;
        EXPECT_EQ(Run(), ExitNotFound);
        EXPECT_EQ(out.Texts().back(), "Device not recognized.\nReconnect the device to USB port.");
    }
    options.all = false;
    SimulatedInterface other;
    other.vendorId = 0x845E;
    hid.Attach(other);
    EXPECT_EQ(Run(), ExitNotFound);
    EXPECT_EQ(out.Texts().back(), "Device not recognized, vendor ID or product ID incorrect");

    auto locked = Product();
    locked.advertisesIds = true;
    locked.accessDenied = true;
    hid.Attach(locked);
    EXPECT_EQ(Run(), ExitAccessDenied);

    hid.DetachAll();
    hid.Attach(Product());
    options.package = Utf8(folder / "absent.qeff");
    EXPECT_EQ(Run(), ExitPackage);
    EXPECT_EQ(out.Texts().back(), "Can't open file!");
    WriteBytes(folder / "short.qeff", std::vector<std::uint8_t>(100, 0));
    options.package = Utf8(folder / "short.qeff");
    EXPECT_EQ(Run(), ExitPackage);
    EXPECT_EQ(out.Texts().back(), "Wrong file format!");
    {
        HeldFile other(folder / "p.qeff");
        options.package = Utf8(folder / "p.qeff");
        EXPECT_EQ(Run(), ExitPackage) << "held by another program";
    }
    EXPECT_EQ(hid.Log(0).reports.size(), 0u) << "nothing sent for a bad package";
    EXPECT_EQ(hid.OpenHandles(), 0);
}

// Faults caught: the product, upgraded, counted a success before it came back
// with the release expected; the product still plugged in before its restart
// taken for it back; a release other than the one expected, or none back in
// time, not ending with its own exit code (10, 7) and the release seen.
TEST_F(Qefftool, WithAReleaseExpectedTheProductMustComeBackRunningIt) {
    const struct {
        const char* name;
        std::optional<std::uint16_t> back;  // the release it restarts with; none: it does not restart
        int exitCode;
        const char* told;  // the last message, or the release back on the done line
    } rows[] = {
        {"back with the release expected", 0x0241, 0, "2.41"},
        {"back with its old release", 0x0100, ExitNotVerified,
         "It came back with release 1.00, not 2.41: the new firmware is not running. Upgrade it again."},
        {"never back", std::nullopt, ExitLost,
         "It did not come back within 0.2 s of its upgrade: the new firmware was not seen running. Plug it in "
         "again and upgrade it again."},
    };
    options.expectRelease = 0x0241;
    options.verifyWithin = 200ms;
    for (const auto& row : rows) {
        hid.DetachAll();
        auto product = Product();
        product.identity = {"00U1", "usb-1-1", 0x0100};
        const std::size_t first = hid.Attach(product);
        out.onMessage = [&](const std::string& caption) {
            if (caption != "Verifying" || !row.back)
                return;
            hid.Detach(first);  // it restarts into the firmware it runs now
            product.identity.release = row.back;
            hid.Attach(product);
        };
        out.text.str("");
        EXPECT_EQ(Run(), row.exitCode) << row.name;
        EXPECT_EQ(hid.Product(first).Payload(), package.firmware) << row.name;
        const auto done = out.Events("done");
        ASSERT_EQ(done.size(), 1u) << row.name;
        EXPECT_EQ(done[0].value("verified", json(nullptr)), row.exitCode == 0) << row.name;
        if (row.exitCode == 0)
            EXPECT_EQ(done[0]["releaseAfter"], row.told) << row.name;
        else
            EXPECT_EQ(out.Texts().back(), row.told) << row.name;
    }
}

TEST_F(Qefftool, TheDeviceNamedIsTheOneUpgradedAndMustHaveThePackagesIds) {
    const std::size_t first = hid.Attach(Product());
    const std::size_t second = hid.Attach(Product());
    SimulatedInterface other;
    other.vendorId = 0x845E;
    other.productId = 0x0002;
    hid.Attach(other);
    auto sameVendor = Product();
    sameVendor.productId = static_cast<std::uint16_t>(package.productId + 1);
    hid.Attach(sameVendor);

    for (const char* foreign : {"sim:2", "sim:3"}) {  // other IDs; the vendor's alone
        options.device = foreign;
        EXPECT_EQ(Run(), ExitNotFound) << foreign;
        EXPECT_NE(out.Texts().back().find("is not the product this package is for"), std::string::npos);
    }

    options.device = "sim:1";
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(hid.Log(first).opens, 0) << "the first one was left alone";
    EXPECT_EQ(hid.Product(second).Payload(), package.firmware);
    EXPECT_EQ(out.Events("found").back()["path"], "sim:1");
}

TEST_F(Qefftool, AllUpgradesEveryProductAtOnceAndOneFailureStopsNoOther) {
    const std::size_t a = hid.Attach(Product());
    auto refuses = Product({BlockAnswer::Code(1), BlockAnswer::Code(6)});
    refuses.identity = {"00A7", "usb-1-2"};
    const std::size_t refusing = hid.Attach(refuses);
    const std::size_t c = hid.Attach(Product());
    options.all = true;
    EXPECT_EQ(Run(), ExitRefused) << "the worst of the products' codes";

    EXPECT_EQ(hid.Product(a).Payload(), package.firmware);
    EXPECT_EQ(hid.Product(c).Payload(), package.firmware);
    EXPECT_EQ(hid.Log(refusing).reports.size(), 2u * 16) << "two blocks of 16 reports, then nothing";
    EXPECT_EQ(hid.OpenHandles(), 0);
    std::map<std::string, int> codes;
    for (const json& r : out.Events("result")) {
        codes[r["path"]] = r["exitCode"];
        EXPECT_EQ(r.value("time", "").size(), 24u) << "a line without its UTC time: " << r;
    }
    EXPECT_EQ(codes, (std::map<std::string, int>{{"sim:0", 0}, {"sim:1", ExitRefused}, {"sim:2", 0}}));
    const auto summary = out.Events("summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["products"], 3);
    EXPECT_EQ(summary[0]["succeeded"], 2);
    // Fault caught: the end told without what watch's `done` tells by the same
    // names, and the summary without how many ended each way.
    std::map<std::string, json> done;
    for (json d : out.Events("done")) {
        d.erase("time");
        d.erase("seconds");
        done[d["path"]] = d;
    }
    EXPECT_EQ(done["sim:1"], json::parse(R"({"event": "done", "path": "sim:1", "serial": "00A7", "location": "usb-1-2",
        "outcome": "refused the firmware", "success": false, "exitCode": 6, "bytesSent": 2048, "ackCode": 6})"));
    EXPECT_EQ(done.size(), 3u) << "one a product";
    EXPECT_EQ(summary[0]["outcomes"], json({{"upgraded", 2}, {"refused the firmware", 1}}));
}

// Faults caught: a serial number or location that chooses nothing (the first
// product with the IDs upgraded), the two taken as either-or, and a choice
// that matches no product blamed on the package's IDs.
TEST_F(Qefftool, SerialNumberAndLocationChooseAmongProductsWithTheIds) {
    const DeviceIdentity identities[] = {{"00A7", "usb-1-1"}, {"00A8", "usb-1-2"}, {"00A7", "usb-1-3"}};
    const struct {
        std::optional<std::string> serial, location;
        bool all;
        std::vector<bool> upgraded;
    } rows[] = {
        {"00A8", std::nullopt, false, {false, true, false}},
        {std::nullopt, "usb-1-3", false, {false, false, true}},
        {"00A7", std::nullopt, false, {true, false, false}},
        {"00A7", std::nullopt, true, {true, false, true}},
        {"00A7", "usb-1-3", true, {false, false, true}},
        {"00A9", std::nullopt, true, {false, false, false}},
        {"00A8", "usb-1-1", false, {false, false, false}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.serial.value_or("-") + " at " + row.location.value_or("-") + (row.all ? " --all" : ""));
        hid.DetachAll();
        out.text.str("");
        for (const auto& identity : identities) {
            auto product = Product();
            product.identity = identity;
            hid.Attach(product);
        }
        options.all = row.all;
        options.choice = {row.serial, row.location};
        const bool any = std::find(row.upgraded.begin(), row.upgraded.end(), true) != row.upgraded.end();
        EXPECT_EQ(Run(), any ? ExitSuccess : ExitNotFound);
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_EQ(hid.Log(i).reports.empty(), !row.upgraded[i]) << i;
        for (const json& found : out.Events("found")) {
            const DeviceIdentity& chosen = identities[found["index"].get<std::size_t>()];
            EXPECT_EQ(found["serial"], chosen.serial);
            EXPECT_EQ(found["location"], chosen.location);
        }
        if (!any) {
            std::string wanted;
            if (row.serial)
                wanted += " with serial number \"" + *row.serial + "\"";
            if (row.location)
                wanted += " at \"" + *row.location + "\"";
            EXPECT_EQ(out.Texts(), std::vector<std::string>{"No product" + wanted +
                                                            " is attached with the package's IDs; nothing was sent."});
        }
    }
}

TEST_F(Qefftool, AProductPluggedInAfterTheStartIsFoundByWaitingOrByTheSecondSearch) {
    const std::optional<std::chrono::milliseconds> waits[] = {3000ms, std::nullopt};  // --wait 3; none: 2 s later
    for (const auto wait : waits) {
        hid.DetachAll();
        options.wait = wait;
        std::thread plug([&] {
            std::this_thread::sleep_for(1s);
            hid.Attach(Product());
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Run(), 0);
        plug.join();
        EXPECT_GE(std::chrono::steady_clock::now() - start, wait ? 1s : 2s);
        EXPECT_EQ(hid.Product(0).Payload(), package.firmware);
    }
}

// Shows one more interface ahead of the others from its second enumeration on,
// as when another device is plugged in right after the search.
class PluggedAhead final : public HidSystem {
public:
    explicit PluggedAhead(HidSystem& inner) : inner_(inner) {}
    std::unique_ptr<HidInterfaceSet> PresentInterfaces() override {
        auto set = inner_.PresentInterfaces();
        if (++enumerations_ == 1)
            return set;
        return std::make_unique<Shifted>(std::move(set));
    }
    std::unique_ptr<HidDevice> OpenDevice(const std::string& path, OpenFailure* why) override {
        return inner_.OpenDevice(path, why);
    }

private:
    struct Shifted final : HidInterfaceSet {
        explicit Shifted(std::unique_ptr<HidInterfaceSet> set) : inner(std::move(set)) {}
        InterfaceEntry At(std::size_t i) override { return i == 0 ? InterfaceEntry::At("sim:new") : inner->At(i - 1); }
        std::unique_ptr<HidInterfaceSet> inner;
    };
    HidSystem& inner_;
    int enumerations_ = 0;
};

// Fault caught: the product was named by enumerating again after the search,
// so a device plugged in meanwhile had every line name another interface.
TEST_F(Qefftool, TheProductIsNamedByTheInterfaceTheSearchOpened) {
    SimulatedInterface other;
    other.vendorId = 0x845E;
    hid.Attach(other);
    const std::size_t product = hid.Attach(Product());
    PluggedAhead plugged(hid);
    EXPECT_EQ(RunUpgrade(options, plugged, out, stop), Outcome::Upgraded);
    EXPECT_EQ(hid.Product(product).Payload(), package.firmware);
    EXPECT_EQ(out.Events("found").back()["path"], "sim:1");
    EXPECT_EQ(out.Events("result").back()["path"], "sim:1");
}

TEST_F(Qefftool, ADryRunPlansWhatTheUpgradeThenSends) {
    package.firmware = CountingPayload(45);
    package.blockLength = 20;
    Write();
    auto product = Product();
    product.product.outputReportLength = 9;  // 8 payload bytes a report
    const std::size_t i = hid.Attach(product);
    auto shortAcks = Product();
    shortAcks.product.inputReportLength = 8;  // no room for the acknowledgement's code
    hid.Attach(shortAcks);
    options.dryRun = true;
    options.all = true;
    EXPECT_EQ(Run(), ExitNotFound) << "the worst: one product cannot take the firmware";
    EXPECT_TRUE(hid.Log(i).reports.empty()) << "nothing sent";
    EXPECT_TRUE(hid.Log(i).readBounds.empty());
    EXPECT_EQ(hid.OpenHandles(), 0);
    const auto plan = out.Events("plan");
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0]["reports"], 7);
    EXPECT_EQ(plan[0]["acknowledgements"], 3);
    EXPECT_EQ(plan[0]["reportBytes"], 63);
    EXPECT_EQ(out.Texts(), std::vector<std::string>{"Device report length not supported!"});
    EXPECT_EQ(out.Events("summary").back()["succeeded"], 1) << "the one planned";

    options.dryRun = false;
    options.all = false;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(hid.Log(i).reports.size(), 7u);
    EXPECT_EQ(hid.Log(i).readBounds.size(), 3u);
}

TEST_F(Qefftool, CtrlCStopsBetweenReportsClosesTheDeviceAndNeverSucceeds) {
    const std::size_t i = hid.Attach(Product());
    out.onProgress = [&](std::uint64_t sent) {
        if (sent >= 1024)
            stop = true;
    };
    EXPECT_EQ(Run(), ExitInterrupted);
    EXPECT_EQ(hid.OpenHandles(), 0) << "the device is closed";
    EXPECT_GE(hid.Log(i).cancels, 1) << "pending I/O cancelled";
    EXPECT_LT(hid.Product(i).Payload().size(), package.firmware.size());
    const auto texts = out.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Firmware upgraded successfully"), 0);
    EXPECT_NE(texts.back().find("of 5000 bytes"), std::string::npos) << texts.back();
    EXPECT_NE(texts.back().find("may hold part of the new firmware"), std::string::npos);
}

TEST_F(Qefftool, JsonLinesCarryWhatTheTextSays) {
    hid.Attach(Product());
    EXPECT_EQ(Run(), 0);
    const auto lines = out.Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front()["event"], "package");
    EXPECT_EQ(lines.front()["productName"], "Quorvella Sensor Hub");
    EXPECT_EQ(lines.front()["payloadSize"], 5000);
    EXPECT_EQ(lines[1]["event"], "found");
    EXPECT_EQ(lines.back()["event"], "summary");
    const auto progress = out.Events("progress");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back()["sent"], 5000) << "the last step is always told";
    EXPECT_LE(progress.size(), 5u) << "at most ten a second";

    std::ostringstream text;
    TextOutput plain(text, false);
    hid.DetachAll();
    hid.Attach(Product());
    EXPECT_EQ(RunUpgrade(options, hid, plain, stop), Outcome::Upgraded);
    EXPECT_NE(text.str().find("\"Quorvella Sensor Hub\" (product code QSH-200, firmware code FW-2.4.1)"),
              std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find("100% (5000 of 5000 bytes)"), std::string::npos);
    EXPECT_NE(text.str().find("OK: Firmware upgraded successfully"), std::string::npos);
}

TEST_F(Qefftool, ListShowsEveryInterfaceAndWhichOneIsThePackagesProduct) {
    SimulatedInterface mouse;
    mouse.vendorId = 0x845E;
    mouse.productId = 0x0001;
    mouse.description = "Wine HID mouse";
    hid.Attach(mouse);
    auto product = Product();
    product.identity = {"00A7", "usb-0000:00:14.0-3.2/input0", 0x0241};
    hid.Attach(product);
    auto locked = Product();
    locked.advertisesIds = true;
    locked.accessDenied = true;
    hid.Attach(locked);
    std::ostringstream text;
    EXPECT_EQ(RunList(hid, options.package, text), 0);
    std::vector<std::string> lines;
    std::istringstream in(text.str());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u) << text.str();
    EXPECT_EQ(lines[1], "0  sim:0  845e:0001  out 65 in 65  \"Wine HID mouse\"");
    // Fault caught: the release number left out, or told as decimal.
    EXPECT_EQ(lines[2], "1  sim:1  1d50:6018  out 65 in 65  serial \"00A7\"  at \"usb-0000:00:14.0-3.2/input0\"  "
                        "release 2.41  matches the package");
    EXPECT_EQ(lines[3].rfind("2  sim:2  1d50:6018  access denied", 0), 0u) << lines[3];
    EXPECT_EQ(hid.OpenHandles(), 0);

    // The same as JSON lines, one an interface.
    std::ostringstream jsonText;
    EXPECT_EQ(RunList(hid, options.package, jsonText, true), 0);
    std::vector<json> objects;
    std::istringstream jsonIn(jsonText.str());
    for (std::string line; std::getline(jsonIn, line);)
        objects.push_back(json::parse(line));
    ASSERT_EQ(objects.size(), 3u) << jsonText.str();
    EXPECT_EQ(objects[0]["name"], "Wine HID mouse");
    EXPECT_EQ(objects[0]["matchesPackage"], false);
    EXPECT_EQ(objects[1]["serial"], "00A7");
    EXPECT_EQ(objects[1]["location"], "usb-0000:00:14.0-3.2/input0");
    EXPECT_EQ(objects[1]["productId"], 0x6018);
    EXPECT_EQ(objects[1]["release"], "2.41");
    EXPECT_EQ(objects[0]["release"], nullptr) << "none told";
    EXPECT_EQ(objects[1]["outputReportLength"], 65);
    EXPECT_EQ(objects[1]["matchesPackage"], true);
    EXPECT_EQ(objects[2]["access"], "denied");
    EXPECT_EQ(hid.OpenHandles(), 0);
}

// Fault caught: the texts of a package and of a device reached the terminal as
// they stood: ESC ] 0 ; ... BEL retitled it and ESC [ 2 J cleared it, through
// show, list and upgrade.
// An inspector that lets every interface be opened but those it is told,
// and names each by a text a hostile system could give.
class ScriptedAccess final : public AccessInspector {
public:
    std::set<std::string> denied;
    std::vector<DoctorFinding> System(const DoctorQuestion&) override {
        return {{DoctorFinding::Verdict::Note, "node", "/dev/hidraw\x1b[2J0", "a node", {}}};
    }
    std::vector<DoctorFinding> Interface(const std::string& path, const DoctorQuestion&) override {
        if (denied.count(path))
            return {{DoctorFinding::Verdict::Problem, "interface", path, "may not be opened", "grant it"}};
        return {{DoctorFinding::Verdict::Ok, "interface", path, "opens", {}}};
    }
};

// Faults caught: the doctor ending 0 where the upgrade would find no product
// or be denied, naming an interface the upgrade would not use, skipping
// past a package it cannot read, or printing a system's text raw.
TEST_F(Qefftool, DoctorEndsWithTheExitCodeTheUpgradeWould) {
    ScriptedAccess access;
    const auto doctor = [&](std::optional<std::string> package, bool json = false) {
        std::ostringstream out;
        const int code = RunDoctor(hid, access, package, std::nullopt, out, json);
        return std::pair(code, out.str());
    };
    EXPECT_EQ(doctor(std::nullopt).first, ExitSuccess) << "without a package nothing is in the way";
    EXPECT_EQ(doctor(options.package).first, ExitNotFound);
    EXPECT_EQ(doctor(Utf8(folder / "missing.qeff")).first, ExitPackage);

    auto locked = Product();
    locked.advertisesIds = true;
    hid.Attach(locked);  // sim:0
    access.denied = {"sim:0"};
    auto [denied, deniedText] = doctor(options.package);
    EXPECT_EQ(denied, ExitAccessDenied) << deniedText;
    EXPECT_NE(deniedText.find("problem  interface sim:0: may not be opened. Mend: grant it\n"), std::string::npos)
        << deniedText;
    EXPECT_EQ(deniedText.find('\x1b'), std::string::npos) << deniedText;

    hid.Attach(Product());  // sim:1, which opens
    auto [goes, goesText] = doctor(options.package, true);
    EXPECT_EQ(goes, ExitSuccess) << goesText;
    std::istringstream lines(goesText);
    std::vector<json> findings;
    for (std::string line; std::getline(lines, line);)
        findings.push_back(json::parse(line));
    ASSERT_FALSE(findings.empty());
    EXPECT_EQ(findings.back()["subject"], "sim:1") << goesText;
    EXPECT_EQ(findings.back()["verdict"], "ok") << goesText;
    EXPECT_EQ(findings.front()["subject"], "/dev/hidraw\x1b[2J0") << "JSON carries the text as it is";
}

TEST_F(Qefftool, TextsFromPackagesAndDevicesCannotDriveTheTerminal) {
    const std::string hostile = "\x1b]0;owned\x07\x1b[2J", shown = "\\x1b]0;owned\\x07\\x1b[2J";
    package.productName = hostile + "Hub";
    package.notes = "line one\r\n" + hostile;
    Write();
    auto device = Product();
    device.description = hostile + "Mouse";
    device.identity.serial = hostile + "7\" at \"usb-9";  // and a false location after it
    hid.Attach(device);
    std::ostringstream show, list, upgrade, errors;
    EXPECT_EQ(RunShow(options.package, show, errors), 0);
    EXPECT_EQ(RunList(hid, options.package, list), 0);
    TextOutput plain(upgrade, false);
    EXPECT_EQ(RunUpgrade(options, hid, plain, stop), Outcome::Upgraded);
    for (const std::string& text : {show.str(), list.str(), upgrade.str()}) {
        EXPECT_EQ(text.find_first_of("\x1b\x07"), std::string::npos) << text;
    }
    EXPECT_NE(show.str().find("product name:  " + shown + "Hub\n"), std::string::npos) << show.str();
    EXPECT_NE(show.str().find("notes:\nline one\n" + shown + "\n"), std::string::npos) << show.str();
    EXPECT_NE(list.str().find("\"" + shown + "Mouse\""), std::string::npos) << list.str();
    EXPECT_NE(list.str().find("serial \"" + shown + "7\\\" at \\\"usb-9\""), std::string::npos) << list.str();
    EXPECT_NE(upgrade.str().find("serial \"" + shown + "7\\\" at \\\"usb-9\""), std::string::npos) << upgrade.str();
    EXPECT_NE(upgrade.str().find("\"" + shown + "Hub\""), std::string::npos) << upgrade.str();
    // JSON escapes them by its own rules.
    hid.DetachAll();
    hid.Attach(device);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(out.text.str().find('\x1b'), std::string::npos);
    EXPECT_EQ(out.Events("package").back()["productName"], hostile + "Hub");
}

// Faults caught: a text that drives the terminal, reads backwards or hides a
// part of itself; between quotes, one that ends its quotes early or passes a
// literal escape for an escaped control.
TEST(VisibleText, ShowsControlsFormatCharactersAndBrokenUtf8AsEscapesAndLeavesTheRest) {
    struct Case {
        std::string text, visible, quoted;
    };
    const Case cases[] = {
        {"Caf\u00e9 \u20ac \u88fd \U0001F600", "Caf\u00e9 \u20ac \u88fd \U0001F600", "Caf\u00e9 \u20ac \u88fd \U0001F600"},
        {"a\tb\x1b[2J\x7f", "a\\x09b\\x1b[2J\\x7f", "a\\x09b\\x1b[2J\\x7f"},
        {"\xc2\x9d" "0;t\xc2\x9c", "\\u009d0;t\\u009c", "\\u009d0;t\\u009c"},  // C1 controls: OSC, ST
        {"\xff\xc0\xaf\xed\xa0\x80\xe2\x82", "\\xff\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82",
         "\\xff\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82"},  // no UTF-8
        // right-to-left override, zero-width space and joiner, BOM, line separator, a tag character
        {"QV\u202e1-\u200b\u200d\ufeff\u2028\U000E0041", "QV\\u202e1-\\u200b\\u200d\\ufeff\\u2028\\U000e0041",
         "QV\\u202e1-\\u200b\\u200d\\ufeff\\u2028\\U000e0041"},
        {"A\" at \"usb-1\\x1b", "A\" at \"usb-1\\x1b", "A\\\" at \\\"usb-1\\\\x1b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VisibleText(c.text), c.visible);
        EXPECT_EQ(QuotedText(c.text), c.quoted);
    }
}

// Fault caught: a hash with a character more (or fewer) taken for the one it
// begins with, so that a typed or pasted pin passes for another.
TEST(Sha256Pin, OnlySixtyFourHexadecimalDigitsAreAHash) {
    const std::string hex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_TRUE(ParseSha256Hex(hex).has_value());
    EXPECT_EQ(Sha256Hex(*ParseSha256Hex("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD")), hex);
    for (const std::string& refused : {hex + "0", hex + " ", hex + "\n", hex.substr(1), " " + hex.substr(1),
                                       hex.substr(0, 63) + "g", std::string()})
        EXPECT_FALSE(ParseSha256Hex(refused).has_value()) << refused;
}

// A package pinned by its hash: another file never reaches a product.
TEST_F(Qefftool, APackageWhoseHashDiffersIsRefusedBeforeAnyProductIsLookedFor) {
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    ASSERT_EQ(Sha256Hex(Sha256(abc).value()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::size_t product = hid.Attach(Product());
    const auto digest = Sha256(BuildPackage(package));
    ASSERT_TRUE(digest.has_value());
    std::ostringstream show, errors;
    EXPECT_EQ(RunShow(options.package, show, errors), 0);
    EXPECT_NE(show.str().find("sha256:        " + Sha256Hex(*digest) + "\n"), std::string::npos) << show.str();

    auto other = *digest;
    other[31] ^= 1;
    options.sha256 = other;
    EXPECT_EQ(Run(), ExitPackage);
    EXPECT_EQ(hid.Log(product).opens, 0) << "no product looked for";
    EXPECT_TRUE(out.Events("found").empty());
    options.sha256 = ParseSha256Hex(Sha256Hex(*digest));
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(hid.Product(product).Payload(), package.firmware);
    EXPECT_EQ(out.Events("package").back()["sha256"], Sha256Hex(*digest));
}

#ifndef _WIN32
// Faults caught: a package not signed by the trusted publisher reaching a
// product; an accepted one's signer missing from the package event, the text
// or show. (Every refusal's own text: tests/package/signed_package_test.cpp.)
TEST_F(Qefftool, APackageNotSignedByTheTrustedPublisherIsRefusedBeforeAnyProductIsLookedFor) {
    const std::size_t product = hid.Attach(Product());
    const std::string stranger = SignedWithOpenssl(folder / "p.qeff", "/CN=Someone Else");
    const std::string publisher = SignedWithOpenssl(folder / "p.qeff");
    ASSERT_FALSE(stranger.empty() || publisher.empty()) << "the openssl command signs";
    options.trust = stranger;
    EXPECT_EQ(Run(), ExitPackage);
    EXPECT_EQ(hid.Log(product).opens, 0) << "no product looked for";
    EXPECT_FALSE(out.Events("package").back().contains("signer")) << "not verified";
    EXPECT_NE(out.Texts().back().find("is signed by \"CN=Publisher\", whom"), std::string::npos) << out.Texts().back();

    options.trust = publisher;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(out.Events("package").back()["signer"], "CN=Publisher");
    PackageSummary verified;
    verified.signer = out.Events("package").back()["signer"];
    std::ostringstream text;
    TextOutput(text, false).Package(verified);
    EXPECT_NE(text.str().find("signed by \"CN=Publisher\""), std::string::npos) << text.str();
    std::ostringstream show, errors;
    EXPECT_EQ(RunShow(options.package, show, errors, publisher), 0);
    EXPECT_NE(show.str().find("signer:        CN=Publisher (verified"), std::string::npos) << show.str();
    EXPECT_EQ(RunShow(options.package, show, errors, stranger), ExitPackage);
    EXPECT_EQ(RunShow(options.package, show, errors), 0);
    EXPECT_NE(show.str().find("signer:        CN=Publisher (as the signature names it"), std::string::npos);
}
#endif

TEST(TextOutputOnATerminal, RedrawsAtMostTenTimesASecondButShowsTheLatestStepBeforeAMessage) {
    std::ostringstream text;
    TextOutput out(text, true);
    out.Found("/dev/hidraw0", 0, {});
    for (std::uint64_t sent = 100; sent < 1000; sent += 100)
        out.Progress("/dev/hidraw0", sent, 1000);
    const std::string bar = text.str();
    EXPECT_EQ(std::count(bar.begin(), bar.end(), '\r'), 1) << "nine steps within a tenth of a second: one drawing";
    out.Message("/dev/hidraw0", "Error", "Memory write error!", MessageStyle::Plain);
    const std::string all = text.str();
    const auto latest = all.rfind(" 90%");
    ASSERT_NE(latest, std::string::npos) << all;
    EXPECT_LT(latest, all.find("Error: Memory write error!")) << all;
}

// Fault caught: the lines of several products' ends and of the summary changed
// when they were given outcomes instead of exit codes.
TEST(TextOutput, EachProductsEndAndTheSummaryStayAsTheyWere) {
    std::ostringstream text;
    TextOutput out(text, false);
    out.Found("sim:0", 0, {});
    out.Found("sim:1", 1, {});
    out.Result({"sim:1", {}, Outcome::Refused});
    out.Summary({{Outcome::Upgraded, 1}, {Outcome::Refused, 1}}, Outcome::Refused);
    EXPECT_EQ(text.str(), "found sim:0 (interface 0)\nfound sim:1 (interface 1)\n"
                          "sim:1: refused the firmware (exit code 6)\n1 of 2 products upgraded; exit code 6\n");
}

// Faults caught: watch's lines without what upgrade's tell by the same names:
// a message's style, the summary's `succeeded` (also when none succeeded), the
// bytes a progress line counts.
TEST(StationEventJson, TellsAMessagesStyleAndHowManySucceeded) {
    StationEvent warned, lost, some, progress, feed, claimed;  // a message by default
    warned.style = MessageStyle::Exclamation;
    // Faults caught too: the factory database's feed without its state and
    // lines waiting; a product claimed elsewhere without the station holding it.
    feed.kind = StationEvent::Kind::RecordDb;
    feed.text = "unreachable";
    feed.recordDbWaiting = 3;
    claimed.kind = StationEvent::Kind::Claimed;
    claimed.text = "line-2";
    some.recordDbWaiting = 1;
    progress.kind = StationEvent::Kind::Progress;
    progress.percent = 40;
    progress.sent = 2048;
    progress.total = 5000;
    lost.kind = some.kind = StationEvent::Kind::Summary;
    lost.outcomes = {{Outcome::Lost, 2}};
    some.outcomes = {{Outcome::Upgraded, 3}, {Outcome::Lost, 1}};
    const std::pair<StationEvent, json> rows[] = {
        {warned, {{"event", "message"}, {"style", "exclamation"}}},
        {lost, {{"products", 2}, {"succeeded", 0}}},
        {some, {{"products", 4}, {"succeeded", 3}, {"recordDbWaiting", 1}}},
        {feed, {{"event", "recordDb"}, {"state", "unreachable"}, {"waiting", 3}}},
        {claimed, {{"event", "claimed"}, {"station", "line-2"}}},
        {progress, {{"event", "progress"}, {"percent", 40}, {"sent", 2048}, {"total", 5000}}},
    };
    for (const auto& [event, fields] : rows) {
        const json line = json::parse(StationEventJson(event));
        for (const auto& field : fields.items())
            EXPECT_EQ(line.value(field.key(), json()), field.value()) << line;
    }
}

// Fault caught: `watch --json` telling a product whose upgrade starts without
// the `found` line `upgrade --json` tells it by, or after its `started`.
TEST(StationEventJson, AProductWhoseUpgradeStartsIsToldFoundFirst) {
    std::ostringstream lines;
    StationOutput out(lines, true);
    StationEvent started;
    started.kind = StationEvent::Kind::Started;
    started.product.path = "sim:0";
    started.product.identity.serial = "QV-1";
    ASSERT_TRUE(out.Write(started));
    std::istringstream read(lines.str());
    std::string found, begun, more;
    std::getline(read, found);
    std::getline(read, begun);
    EXPECT_EQ(json::parse(found).value("event", ""), "found");
    EXPECT_EQ(json::parse(found).value("serial", ""), "QV-1");
    EXPECT_EQ(json::parse(begun).value("event", ""), "started");
    EXPECT_FALSE(std::getline(read, more)) << more;
}

}  // namespace
