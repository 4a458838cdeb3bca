// Runs inside a guest kernel as root, with the host's files: qefftool's station
// watching for uhid products through the kernel's own uevents (no udevd runs
// there), as they are plugged in one after another and several at once.

#include "device/access_doctor.h"
#include "kernel/attached_product.h"
#include "platform/access_inspector.h"
#include "qefftool/exit_codes.h"
#include "support/package_files.h"
#include "platform/native_arrivals.h"
#include "platform/native_hid.h"
#include "qefftool/station_output.h"
#include "qefftool/text_output.h"
#include "device/product_upgrade.h"
#include "support/station_harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Kind = StationEvent::Kind;
using Outcomes = std::map<Outcome, int>;

// The station with `package`, watching the guest's real HID devices through
// the kernel's uevents from a thread of its own; its events kept, its text
// lines in the test's log.
struct RunningStation {
    RunningStation(const PackageOnDisk& package, StationOptions options) {
        options.package = package.path;
        thread = std::make_unique<StationThread>(std::move(options), *hid, NativeHidArrivals(), shown, &events);
        events.WaitFor(Kind::Watching);
    }
    std::unique_ptr<HidSystem> hid = NativeHidSystem();
    RecordedEvents events;
    StationOutput shown{std::cout, false};
    std::unique_ptr<StationThread> thread;
};

// Faults caught on the real kernel: a product missed or taken late because
// the uevent came before its node could be opened, one upgraded twice, the
// products plugged in together taken one after the other, a failure counted
// as an upgrade.
TEST(StationOnKernel, UpgradesEachUhidProductAsItIsPluggedIn) {
    const PackageOnDisk package(40000, 1024);  // 16 reports a block: never more than uhid's 32 waiting for a product
    const auto with = [&](const char* serial, const char* phys, std::vector<BlockAnswer> answers = {}) {
        auto options = OptionsFor(package.contents, std::move(answers));
        options.serial = serial;
        options.phys = phys;
        return options;
    };

    StationOptions options;
    options.limits.count = 3;
    RunningStation station(package, options);

    Attached first(Transport::Uhid, with("QV-1", "usb-station-1"));
    ASSERT_TRUE(first.Up()) << first.Error();
    const auto up = Clock::now();
    ASSERT_TRUE(Within(10s, [&] { return first.ReportsTaken() > 0; }));
    const auto firstReport = Clock::now() - up;
    ASSERT_TRUE(Within(10s, [&] { return first.Complete(); }));

    // Two at once, one of them refusing the second block; then one unplugged midway.
    Attached second(Transport::Uhid, with("QV-2", "usb-station-2"));
    Attached refusing(Transport::Uhid, with("QV-3", "usb-station-3", {BlockAnswer::Code(1), BlockAnswer::Code(6)}));
    ASSERT_TRUE(second.Up() && refusing.Up());
    ASSERT_TRUE(Within(10s, [&] { return second.Complete(); }));
    auto unpluggedOptions = with("QV-4", "usb-station-4");
    unpluggedOptions.unplugAfterReports = 100;
    Attached unplugged(Transport::Uhid, unpluggedOptions);
    ASSERT_TRUE(unplugged.Up());
    ASSERT_TRUE(Within(10s, [&] { return unplugged.Unplugged(); }));

    Attached third(Transport::Uhid, with("QV-5", "usb-station-5"));
    ASSERT_TRUE(third.Up());
    EXPECT_EQ(station.thread->Finish(30s), Outcome::Lost) << "ends by itself at its count, a product unplugged midway";

    for (Attached* product : {&first, &second, &third})
        EXPECT_EQ(product->Product().Product().Payload(), package.contents.firmware);
    EXPECT_EQ(first.Product().ReportsReceived(), (40000u + 63) / 64) << "upgraded once while it stayed";
    EXPECT_EQ(refusing.Product().ReportsReceived(), 2u * 16) << "nothing after the refused block";
    const auto arrived = station.events.Of(Kind::Arrived);
    for (const char* serial : {"QV-1", "QV-2", "QV-3", "QV-4", "QV-5"})
        EXPECT_TRUE(std::any_of(arrived.begin(), arrived.end(), [&](const StationEvent& e) {
            return e.product.identity.location == std::string("usb-station-") + serial[3];
        })) << serial;
    EXPECT_EQ(station.events.Of(Kind::Summary).at(0).outcomes,
              (Outcomes{{Outcome::Upgraded, 3}, {Outcome::Refused, 1}, {Outcome::Lost, 1}}));
    std::printf("station on the kernel: the first report %lld ms after the product's node appeared\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(firstReport).count()));
    EXPECT_LT(firstReport, 500ms);
}

// Fault caught on the real kernel: two products on two USB ports, alike in
// all else, not told apart by their location.
TEST(StationOnKernel, TwoGadgetsOnTwoPortsAreToldApartByLocation) {
    const PackageOnDisk package(20000, 64);
    const auto on = [&](const char* controller) {
        auto options = OptionsFor(package.contents);
        options.serial = "QV-G";
        options.udc = controller;
        return options;
    };
    Attached left(Transport::Gadget, on("dummy_udc.0"));
    Attached right(Transport::Gadget, on("dummy_udc.1"));
    ASSERT_TRUE(left.Up() && right.Up()) << left.Error() << right.Error();

    StationOptions options;
    options.limits.count = 1;
    options.choice.location = "usb-dummy_hcd.1-1/input0";
    RunningStation station(package, options);
    EXPECT_EQ(station.thread->Finish(60s), Outcome::Upgraded);
    EXPECT_EQ(right.Product().Product().Payload(), package.contents.firmware);
    EXPECT_EQ(left.Product().ReportsReceived(), 0u) << "the other port's product";
    EXPECT_EQ(station.events.Of(Kind::Done).at(0).product.identity.location, "usb-dummy_hcd.1-1/input0");
}

// Faults caught on the real kernel: a composite product (a vendor interface
// and a keyboard interface under the same IDs) upgraded once per interface,
// the firmware sent to its keyboard, or the keyboard taken instead of the
// vendor interface; by the station and by upgrade --all.
TEST(StationOnKernel, ACompositeGadgetIsUpgradedOnceAndItsKeyboardGetsNothing) {
    const PackageOnDisk package(20000, 64);
    auto composite = OptionsFor(package.contents);
    composite.secondInterface = true;
    const auto hid = NativeHidSystem();
    const std::size_t reports = (20000u + 63) / 64;
    {
        RunningStation station(package, {});

        Attached product(Transport::Gadget, composite);
        ASSERT_TRUE(product.Up()) << product.Error();
        ASSERT_TRUE(Within(10s, [&] { return product.Complete(); }));
        std::this_thread::sleep_for(1s);  // time for a second upgrade to start, were it to
        station.thread->Interrupt();
        EXPECT_EQ(station.thread->Finish(), Outcome::Interrupted) << "stopped by hand, its one product upgraded";
        EXPECT_EQ(station.events.Of(Kind::Summary).at(0).outcomes, (Outcomes{{Outcome::Upgraded, 1}}));
        const auto& gadget = dynamic_cast<const GadgetProduct&>(product.Product());
        EXPECT_EQ(gadget.Product().Payload(), package.contents.firmware);
        EXPECT_EQ(gadget.ReportsReceived(), reports) << "upgraded once";
        EXPECT_EQ(gadget.SecondInterfaceReports(), 0u);
        EXPECT_EQ(station.events.Of(Kind::Arrived).size(), 1u);
    }

    Attached product(Transport::Gadget, composite);
    ASSERT_TRUE(product.Up()) << product.Error();
    ASSERT_TRUE(Within(10s, [&] { return NodesWith(package.contents.vendorId, package.contents.productId) == 2; }));
    // Both nodes sit in one USB device, each in a HID device of its own named with the kernel's counter.
    std::vector<InterfaceEntry> nodes;
    const auto set = hid->PresentInterfaces();
    for (std::size_t index = 0; set->At(index).kind != InterfaceEntry::Kind::End; ++index)
        if (const InterfaceEntry entry = set->At(index); entry.advertised && entry.advertised->ProductId == 0x6018)
            nodes.push_back(entry);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_NE(nodes[0].usbDevice, "");
    EXPECT_EQ(nodes[0].usbDevice, nodes[1].usbDevice);
    EXPECT_EQ(nodes[0].instance.rfind("0003:1D50:6018.", 0), 0u) << nodes[0].instance;
    EXPECT_NE(nodes[0].instance, nodes[1].instance);
    std::ostringstream text;
    TextOutput out(text, false);
    UpgradeOptions options;
    options.package = package.path;
    options.all = true;
    const std::atomic<bool> stop{false};
    EXPECT_EQ(RunUpgrade(options, *hid, out, stop), Outcome::Upgraded) << text.str();
    const std::string found = text.str();
    EXPECT_NE(found.find("found /dev/hidraw"), std::string::npos) << found;
    EXPECT_EQ(found.find("found /dev/hidraw"), found.rfind("found /dev/hidraw")) << "one product\n" << found;
    const auto& gadget = dynamic_cast<const GadgetProduct&>(product.Product());
    EXPECT_EQ(gadget.ReportsReceived(), reports);
    EXPECT_EQ(gadget.SecondInterfaceReports(), 0u);
}

// Faults caught on the real kernel: a product that restarts into its new
// firmware after its last acknowledgement, and comes back with the same
// serial number, upgraded a second time, or not told of as returned.
TEST(StationOnKernel, AProductThatRestartsAfterItsUpgradeIsToldAsReturned) {
    const PackageOnDisk package(20000, 1024);
    auto restarting = OptionsFor(package.contents);
    restarting.serial = "QV-R";
    restarting.phys = "usb-station-r";
    restarting.leaveAfterLastAnswer = true;

    StationOptions options;
    options.choice.serial = "QV-R";  // a node of the test before, unplugged, may linger a moment
    RunningStation station(package, options);

    Attached before(Transport::Uhid, restarting);
    ASSERT_TRUE(before.Up()) << before.Error();
    ASSERT_TRUE(Within(10s, [&] { return before.Complete() && before.Unplugged(); }));
    std::this_thread::sleep_for(1s);  // restarting
    Attached after(Transport::Uhid, restarting);
    ASSERT_TRUE(after.Up()) << after.Error();
    std::this_thread::sleep_for(1500ms);  // long past the time an upgrade takes to start
    station.thread->Interrupt();
    EXPECT_EQ(station.thread->Finish(), Outcome::Interrupted) << "ended by the stop";
    EXPECT_EQ(before.Product().Product().Payload(), package.contents.firmware);
    EXPECT_EQ(after.Product().ReportsReceived(), 0u) << "upgraded once";
    EXPECT_EQ(station.events.Of(Kind::Done).size(), 1u);
    const auto returned = station.events.Of(Kind::Returned);
    ASSERT_FALSE(returned.empty());
    EXPECT_EQ(returned[0].product.identity.location, "usb-station-r");
    EXPECT_EQ(returned[0].product.identity.serial, "QV-R");
}

// With a release expected, three gadgets upgraded one after another on one
// port: one restarts into its new firmware with a new USB release number, one
// comes back with its old one, one never comes back. Faults caught on the real
// kernel: the release not read from the USB device that came back (bcdDevice),
// the product back not known as the one awaited (upgraded again), one never
// back left waiting, the record without how each ended. Tells how long a
// product took from its last answer to verified: its restart and the
// kernel's enumeration, then the station's notice.
TEST(StationOnKernel, AReleaseExpectedIsSeenRunningNotRunningOrNeverBack) {
    const PackageOnDisk package(20000, 1024);
    const std::uint16_t vid = package.contents.vendorId, pid = package.contents.productId;
    StationOptions options;
    options.limits.expectRelease = 0x0241;
    options.limits.verifyWithin = 5s;
    options.record = "/tmp/release-record.jsonl";  // the guest's own tmpfs
    std::remove(options.record->c_str());
    RunningStation station(package, options);
    const auto gadget = [&](const char* serial, std::optional<std::uint16_t> back) {
        auto o = OptionsFor(package.contents);
        o.serial = serial;
        o.udc = "dummy_udc.0";
        o.release = 0x0100;
        o.restartRelease = back;
        o.leaveAfterLastAnswer = !back;
        return o;
    };
    using SystemClock = std::chrono::system_clock;
    SystemClock::time_point answered, restarted, nodeBack;
    {
        // The product's node, by its HID device's name, new with every plug.
        const auto node = [&] {
            const auto set = NativeHidSystem()->PresentInterfaces();
            for (std::size_t i = 0; set->At(i).kind != InterfaceEntry::Kind::End; ++i)
                if (const InterfaceEntry e = set->At(i); e.advertised && e.advertised->VendorId == vid &&
                                                         e.advertised->ProductId == pid)
                    return e.instance;
            return std::string();
        };
        Attached good(Transport::Gadget, gadget("QV-V1", 0x0241));
        ASSERT_TRUE(good.Up()) << good.Error();
        const std::string first = node();
        ASSERT_TRUE(Within(30s, [&] { return good.Complete(); }));
        // When the kernel had it enumerated again: a node of another name.
        ASSERT_TRUE(Within(10s, [&] { const auto now = node(); return !now.empty() && now != first; }));
        nodeBack = SystemClock::now();
        ASSERT_TRUE(station.events.WaitFor(Kind::Done, 1, 30s));
        answered = good.Product().AnsweredLastAt();
        restarted = good.Product().RestartedAt();
    }
    {
        Attached old(Transport::Gadget, gadget("QV-V2", 0x0100));
        ASSERT_TRUE(old.Up()) << old.Error();
        ASSERT_TRUE(station.events.WaitFor(Kind::Done, 2, 30s));
    }
    {
        Attached gone(Transport::Gadget, gadget("QV-V3", std::nullopt));
        ASSERT_TRUE(gone.Up()) << gone.Error();
        ASSERT_TRUE(station.events.WaitFor(Kind::Done, 3, 30s));
    }
    station.thread->Interrupt();
    EXPECT_EQ(station.thread->Finish(30s), Outcome::NotVerified) << "the worst of the three";

    const auto done = station.events.Of(Kind::Done);
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(station.events.Of(Kind::Started).size(), 3u) << "none upgraded again once back";
    EXPECT_EQ(station.events.Of(Kind::Returned).size(), 2u);
    EXPECT_EQ(done[0].product.outcome, Outcome::Verified);
    EXPECT_EQ(done[0].product.identity.release, std::optional<std::uint16_t>(0x0100)) << "bcdDevice before";
    EXPECT_EQ(done[0].product.releaseAfter, std::optional<std::uint16_t>(0x0241)) << "bcdDevice after";
    EXPECT_EQ(done[1].product.outcome, Outcome::NotVerified);
    EXPECT_EQ(done[1].product.releaseAfter, std::optional<std::uint16_t>(0x0100));
    EXPECT_EQ(done[2].product.outcome, Outcome::NotReturned);
    std::ifstream record(*options.record);
    std::vector<std::string> told;
    for (std::string line; std::getline(record, line);)
        if (const auto j = nlohmann::json::parse(line); j["record"] == "product")
            told.push_back(j["serial"].get<std::string>() + " " + j["outcome"].get<std::string>() + " " +
                           j["releaseBefore"].dump() + " " + j["releaseAfter"].dump() + " " + j["verified"].dump());
    EXPECT_EQ(told, (std::vector<std::string>{"QV-V1 verified \"1.00\" \"2.41\" true",
                                              "QV-V2 not verified \"1.00\" \"1.00\" false",
                                              "QV-V3 not returned \"1.00\" null false"}));

    const auto verifying = station.events.First(Kind::Verifying, done[0].product.path);
    ASSERT_TRUE(verifying);
    const auto ms = [](SystemClock::duration d) {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    std::printf("verified on the kernel %lld ms after the product's last answer: its restart (gone, bound again) "
                "%lld ms, the kernel's enumeration to its node %lld ms, the station from the node to verified %lld "
                "ms; the station told verifying %lld ms after the last answer\n",
                ms(done[0].time - answered), ms(restarted - answered), ms(nodeBack - restarted),
                ms(done[0].time - nodeBack), ms(verifying->time - answered));
}

}  // namespace

namespace {

// The doctor's answer for `user` (this process's without one), asked in a
// child process that runs as that user when `as` is given.
int DoctorExit(const PackageOnDisk& package, const std::string& ruleFolder, std::optional<std::string> user,
               const passwd* as = nullptr) {
    const auto ask = [&] {
        DoctorQuestion question;
        question.ids = DeviceAttributes{package.contents.vendorId, package.contents.productId};
        question.user = user;
        question.ruleFolders = {ruleFolder};
        const auto hid = NativeHidSystem();
        const auto inspector = NativeAccessInspector();
        const DoctorReport report = Diagnose(*hid, *inspector, question);
        for (const auto& f : report.findings)
            std::cout << "  doctor: " << f.topic << " " << f.subject << ": " << f.text << (f.mend.empty() ? "" : " | ")
                      << f.mend << "\n";
        std::cout.flush();
        return ExitCodeOf(report.outcome);
    };
    if (!as)
        return ask();
    const pid_t child = fork();
    if (child == 0) {
        const gid_t groups[] = {as->pw_gid};
        if (setgroups(1, groups) != 0 || setgid(as->pw_gid) != 0 || setuid(as->pw_uid) != 0)
            _exit(99);
        _exit(ask());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// Faults caught on the real kernel: a node that is root's only told as open
// to another user, or the other way round; a rule that gives the product to
// a service's user not seen; the doctor as that user saying otherwise than
// the doctor asked about that user.
TEST(DoctorOnKernel, TellsWhoMayOpenTheProductAsRootAndAsTheUserARuleGivesItTo) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const PackageOnDisk package(2000, 1024);
    TempFolder rules;
    Attached product(Transport::Uhid, OptionsFor(package.contents));
    ASSERT_TRUE(product.Up()) << product.Error();
    std::string node;
    const auto hid = NativeHidSystem();
    for (const auto& found : FindAllProducts(*hid, package.contents.vendorId, package.contents.productId))
        node = found.path;
    ASSERT_FALSE(node.empty());
    ASSERT_EQ(chmod(node.c_str(), 0600), 0);  // as the kernel makes it: root's only
    ASSERT_EQ(chown(node.c_str(), 0, 0), 0);

    EXPECT_EQ(DoctorExit(package, Utf8(rules.Path()), std::nullopt), ExitSuccess) << "root may open it";
    EXPECT_EQ(DoctorExit(package, Utf8(rules.Path()), "nobody"), ExitAccessDenied);
    EXPECT_EQ(DoctorExit(package, Utf8(rules.Path()), std::nullopt, nobody), ExitAccessDenied);

    // A rule that gives it to a service's user, applied to the node as udev would.
    std::ofstream(rules / "71-qeff-station.rules")
        << "SUBSYSTEM==\"hidraw\", KERNELS==\"????:" << std::hex << std::uppercase << std::setfill('0')
        << std::setw(4) << package.contents.vendorId << ":" << std::setw(4) << package.contents.productId
        << ".*\", OWNER=\"nobody\", MODE=\"0600\"\n";
    ASSERT_EQ(chown(node.c_str(), nobody->pw_uid, 0), 0);
    EXPECT_EQ(DoctorExit(package, Utf8(rules.Path()), "nobody"), ExitSuccess);
    EXPECT_EQ(DoctorExit(package, Utf8(rules.Path()), std::nullopt, nobody), ExitSuccess);
}
