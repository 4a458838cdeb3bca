// Runs inside a guest kernel as root, with the host's files: qefftool's station
// watching for uhid products through the kernel's own uevents (no udevd runs
// there), as they are plugged in one after another and several at once.

#include "attached_product.h"
#include "qefftool/exit_codes.h"
#include "package_files.h"
#include "platform/native_arrivals.h"
#include "platform/native_hid.h"
#include "qefftool/station_output.h"
#include "qefftool/text_output.h"
#include "qefftool/upgrade_command.h"
#include "qefftool/watch_command.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits up to 10 s for `done`.
bool Within10s(const std::function<bool()>& done) {
    for (const auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(1ms))
        if (done())
            return true;
    return false;
}

// The station on a thread of its own, watching the guest's real HID devices
// through the kernel's uevents; stopped and joined however the test ends, a
// failed assertion included.
struct RunningStation {
    explicit RunningStation(const WatchOptions& options) : thread([this, options] {
        exitCode = RunWatch(options, *hid, *arrivals, out, stop);
    }) {
        std::this_thread::sleep_for(200ms);  // watching
    }
    ~RunningStation() {
        stop = true;
        Finish();
    }
    // Waits for the station to end (set `stop` first, or give it a count); its exit code.
    int Finish() {
        if (thread.joinable())
            thread.join();
        return exitCode;
    }
    std::unique_ptr<HidSystem> hid = NativeHidSystem();
    std::unique_ptr<HidArrivals> arrivals = NativeHidArrivals();
    std::ostringstream lines;  // read once the station ended
    StationOutput out{lines, true};
    std::atomic<bool> stop{false};
    int exitCode = -1;
    std::thread thread;
};

// Faults caught on the real kernel: a product missed or taken late because
// the uevent came before its node could be opened, one upgraded twice, the
// products plugged in together taken one after the other, a failure counted
// as an upgrade.
TEST(StationOnKernel, UpgradesEachUhidProductAsItIsPluggedIn) {
    TempFolder folder;
    PackageContents package = SamplePackage();
    package.firmware = CountingPayload(40000);
    package.blockLength = 1024;  // 16 reports a block: never more than uhid's 32 waiting for a product
    WriteBytes(folder / "p.qeff", BuildPackage(package));
    const auto with = [&](const char* serial, const char* phys, std::vector<BlockAnswer> answers = {}) {
        auto options = OptionsFor(package, std::move(answers));
        options.serial = serial;
        options.phys = phys;
        return options;
    };

    WatchOptions options;
    options.package = (folder / "p.qeff").string();
    options.limits.count = 3;
    RunningStation station(options);

    Attached first(Transport::Uhid, with("QV-1", "usb-station-1"));
    ASSERT_TRUE(first.Up()) << first.Error();
    const auto up = Clock::now();
    ASSERT_TRUE(Within10s([&] { return first.ReportsTaken() > 0; }));
    const auto firstReport = Clock::now() - up;
    ASSERT_TRUE(Within10s([&] { return first.Complete(); }));

    // Two at once, one of them refusing the second block; then one unplugged midway.
    Attached second(Transport::Uhid, with("QV-2", "usb-station-2"));
    Attached refusing(Transport::Uhid, with("QV-3", "usb-station-3", {BlockAnswer::Code(1), BlockAnswer::Code(6)}));
    ASSERT_TRUE(second.Up() && refusing.Up());
    ASSERT_TRUE(Within10s([&] { return second.Complete(); }));
    auto unpluggedOptions = with("QV-4", "usb-station-4");
    unpluggedOptions.unplugAfterReports = 100;
    Attached unplugged(Transport::Uhid, unpluggedOptions);
    ASSERT_TRUE(unplugged.Up());
    ASSERT_TRUE(Within10s([&] { return unplugged.Unplugged(); }));

    Attached third(Transport::Uhid, with("QV-5", "usb-station-5"));
    ASSERT_TRUE(third.Up());
    station.Finish();  // ends by itself at its count
    EXPECT_EQ(station.exitCode, ExitLost) << "the worst outcome: a product unplugged midway\n" << station.lines.str();

    for (Attached* product : {&first, &second, &third})
        EXPECT_EQ(product->Product().Product().Payload(), package.firmware);
    EXPECT_EQ(first.Product().ReportsReceived(), (40000u + 63) / 64) << "upgraded once while it stayed";
    EXPECT_EQ(refusing.Product().ReportsReceived(), 2u * 16) << "nothing after the refused block";
    const std::string text = station.lines.str();
    for (const char* serial : {"QV-1", "QV-2", "QV-3", "QV-4", "QV-5"})
        EXPECT_NE(text.find(std::string("\"event\":\"arrived\",\"location\":\"usb-station-") + serial[3] +
                            "\",\"path\""),
                  std::string::npos)
            << serial << "\n" << text;
    EXPECT_NE(text.find("\"outcomes\":{\"refused the firmware\":1,\"timed out or lost\":1,\"upgraded\":3}"),
              std::string::npos)
        << text;
    std::printf("station on the kernel: the first report %lld ms after the product's node appeared\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(firstReport).count()));
    EXPECT_LT(firstReport, 500ms);
}

// Fault caught on the real kernel: two products on two USB ports, alike in
// all else, not told apart by their location.
TEST(StationOnKernel, TwoGadgetsOnTwoPortsAreToldApartByLocation) {
    TempFolder folder;
    PackageContents package = SamplePackage();
    package.firmware = CountingPayload(20000);
    WriteBytes(folder / "p.qeff", BuildPackage(package));
    const auto on = [&](const char* controller) {
        auto options = OptionsFor(package);
        options.serial = "QV-G";
        options.udc = controller;
        return options;
    };
    Attached left(Transport::Gadget, on("dummy_udc.0"));
    Attached right(Transport::Gadget, on("dummy_udc.1"));
    ASSERT_TRUE(left.Up() && right.Up()) << left.Error() << right.Error();

    const auto hid = NativeHidSystem();
    const auto arrivals = NativeHidArrivals();
    std::ostringstream lines;
    StationOutput out(lines, true);
    WatchOptions options;
    options.package = (folder / "p.qeff").string();
    options.limits.count = 1;
    options.choice.location = "usb-dummy_hcd.1-1/input0";
    const std::atomic<bool> stop{false};
    EXPECT_EQ(RunWatch(options, *hid, *arrivals, out, stop), ExitSuccess) << lines.str();
    EXPECT_EQ(right.Product().Product().Payload(), package.firmware);
    EXPECT_EQ(left.Product().ReportsReceived(), 0u) << "the other port's product\n" << lines.str();
    EXPECT_NE(lines.str().find("\"location\":\"usb-dummy_hcd.1-1/input0\""), std::string::npos) << lines.str();
}

// Faults caught on the real kernel: a composite product (a vendor interface
// and a keyboard interface under the same IDs) upgraded once per interface,
// the firmware sent to its keyboard, or the keyboard taken instead of the
// vendor interface; by the station and by upgrade --all.
TEST(StationOnKernel, ACompositeGadgetIsUpgradedOnceAndItsKeyboardGetsNothing) {
    TempFolder folder;
    PackageContents package = SamplePackage();
    package.firmware = CountingPayload(20000);
    WriteBytes(folder / "p.qeff", BuildPackage(package));
    auto composite = OptionsFor(package);
    composite.secondInterface = true;
    const auto hid = NativeHidSystem();
    const std::size_t reports = (20000u + 63) / 64;
    {
        WatchOptions options;
        options.package = (folder / "p.qeff").string();
        RunningStation station(options);

        Attached product(Transport::Gadget, composite);
        ASSERT_TRUE(product.Up()) << product.Error();
        ASSERT_TRUE(Within10s([&] { return product.Complete(); })) << station.lines.str();
        std::this_thread::sleep_for(1s);  // time for a second upgrade to start, were it to
        station.stop = true;
        station.Finish();
        EXPECT_EQ(station.exitCode, ExitInterrupted) << "stopped by hand, its one product upgraded\n" << station.lines.str();
        EXPECT_NE(station.lines.str().find("\"outcomes\":{\"upgraded\":1}"), std::string::npos) << station.lines.str();
        const auto& gadget = dynamic_cast<const GadgetProduct&>(product.Product());
        EXPECT_EQ(gadget.Product().Payload(), package.firmware);
        EXPECT_EQ(gadget.ReportsReceived(), reports) << "upgraded once\n" << station.lines.str();
        EXPECT_EQ(gadget.SecondInterfaceReports(), 0u) << station.lines.str();
        const std::string text = station.lines.str();
        std::size_t arrived = 0;
        for (auto at = text.find("\"event\":\"arrived\""); at != std::string::npos;
             at = text.find("\"event\":\"arrived\"", at + 1))
            ++arrived;
        EXPECT_EQ(arrived, 1u) << text;
    }

    Attached product(Transport::Gadget, composite);
    ASSERT_TRUE(product.Up()) << product.Error();
    ASSERT_TRUE(Within10s([&] { return NodesWith(package.vendorId, package.productId) == 2; }));
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
    options.package = (folder / "p.qeff").string();
    options.all = true;
    const std::atomic<bool> stop{false};
    EXPECT_EQ(RunUpgrade(options, *hid, out, stop), 0) << text.str();
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
    TempFolder folder;
    PackageContents package = SamplePackage();
    package.firmware = CountingPayload(20000);
    package.blockLength = 1024;
    WriteBytes(folder / "p.qeff", BuildPackage(package));
    auto restarting = OptionsFor(package);
    restarting.serial = "QV-R";
    restarting.phys = "usb-station-r";
    restarting.leaveAfterLastAnswer = true;

    WatchOptions options;
    options.package = (folder / "p.qeff").string();
    options.choice.serial = "QV-R";  // a node of the test before, unplugged, may linger a moment
    RunningStation station(options);

    Attached before(Transport::Uhid, restarting);
    ASSERT_TRUE(before.Up()) << before.Error();
    ASSERT_TRUE(Within10s([&] { return before.Complete() && before.Unplugged(); }));
    std::this_thread::sleep_for(1s);  // restarting
    Attached after(Transport::Uhid, restarting);
    ASSERT_TRUE(after.Up()) << after.Error();
    std::this_thread::sleep_for(1500ms);  // long past the time an upgrade takes to start
    station.stop = true;
    station.Finish();

    const std::string text = station.lines.str();
    EXPECT_EQ(station.exitCode, ExitInterrupted) << "ended by the stop\n" << text;
    EXPECT_EQ(before.Product().Product().Payload(), package.firmware);
    EXPECT_EQ(after.Product().ReportsReceived(), 0u) << "upgraded once\n" << text;
    std::size_t done = 0;
    for (std::size_t at = 0; (at = text.find("\"event\":\"done\"", at)) != std::string::npos; ++at)
        ++done;
    EXPECT_EQ(done, 1u) << text;
    EXPECT_NE(text.find("\"event\":\"returned\",\"location\":\"usb-station-r\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"serial\":\"QV-R\""), std::string::npos) << text;
}

}  // namespace
