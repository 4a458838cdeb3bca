// qeff-virtual-product: plays a Quorvella product on Linux without hardware, so
// that the utility can upgrade it. It creates a HID device (through /dev/uhid,
// or as a USB gadget on a device controller such as dummy_hcd), takes the
// firmware block by block and answers every block as scripted.
//
//   sudo qeff-virtual-product --package firmware.qeff
//   sudo qeff-virtual-product --vid 0x1d50 --pid 0x6018 --block 4096 --payload-size 35664
//        --answers 1,1,6 --transport gadget

#include "device/usb_release.h"
#include "package/package_header.h"
#include "platform/exclusive_file.h"
#include "simulated/virtual_product.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include <sched.h>

namespace {

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

int Usage() {
    std::cerr << "usage: qeff-virtual-product [--transport uhid|gadget]\n"
                 "         (--package FILE | --vid ID --pid ID --block N --payload-size N)\n"
                 "         [--out LEN] [--in LEN] [--report-ids] [--answers LIST] [--otherwise CODE]\n"
                 "         [--unplug-after N] [--stop-reading-after N] [--leave-after-last-block]\n"
                 "         [--answer-delay MS] [--serial TEXT] [--phys TEXT] [--udc NAME] [--release BCD] [--save FILE]\n"
                 "         [--keyboard-interface] [--restart-release VERSION]\n"
                 "  LEN counts the report-ID byte (default 65: 64 data bytes).\n"
                 "  LIST answers the blocks in turn: a code number, 'silence', 'garbage' or 'unplug';\n"
                 "  blocks after the list get --otherwise (default 1: go on).\n"
                 "  --stop-reading-after N: takes N reports, then reads no more, as a product that hangs.\n"
                 "  --leave-after-last-block: leaves the bus as soon as the last block is answered,\n"
                 "    as a product that restarts into its new firmware.\n"
                 "  --serial: its USB serial number; --phys (uhid): where the host sees it plugged in\n"
                 "    (over the gadget, the port of the USB device controller tells that: --udc names it,\n"
                 "    one of /sys/class/udc; by default the first).\n"
                 "  --keyboard-interface (gadget): a boot keyboard as a second interface under the same\n"
                 "    IDs, as a composite product has; it says how many reports reached it.\n"
                 "  --report-ids: reports carry ID 1, and a shorter output report ID 2 is described too.\n"
                 "  --release (gadget): its USB release number (bcdDevice), as lsusb shows it (2.13) or 0x0213.\n"
                 "  --restart-release VERSION (gadget): once the last block is answered, it restarts: leaves\n"
                 "    the bus and comes back with this release, as a product running its new firmware\n"
                 "    (its old one, to play one whose upgrade did not take). --leave-after-last-block\n"
                 "    plays one that never comes back.\n";
    return 2;
}

std::optional<unsigned long> Number(const std::string& text) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || text[0] == '-')
        return std::nullopt;
    return v;
}

std::optional<std::vector<BlockAnswer>> Answers(const std::string& list) {
    std::vector<BlockAnswer> answers;
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item == "silence")
            answers.push_back(BlockAnswer::Of(BlockAnswer::Kind::Silence));
        else if (item == "garbage")
            answers.push_back(BlockAnswer::Of(BlockAnswer::Kind::NoSignature));
        else if (item == "unplug")
            answers.push_back(BlockAnswer::Of(BlockAnswer::Kind::AbandonWait));
        else if (const auto code = Number(item); code && *code <= 0xFFFFFFFFul)
            answers.push_back(BlockAnswer::Code(static_cast<std::uint32_t>(*code)));
        else
            return std::nullopt;
    }
    return answers;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    bool reportIds = false, leave = false, keyboard = false;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--report-ids") {
            reportIds = true;
        } else if (name == "--leave-after-last-block") {
            leave = true;
        } else if (name == "--keyboard-interface") {
            keyboard = true;
        } else if (name.rfind("--", 0) == 0 && i + 1 < argc) {
            options[name] = argv[++i];
        } else {
            return Usage();
        }
    }

    VirtualProductOptions o;
    o.reportIds = reportIds;
    o.leaveAfterLastAnswer = leave;
    o.secondInterface = keyboard;
    std::vector<std::uint8_t> expected;
    bool checkPayload = false;
    if (options.count("--package")) {
        const auto file = OpenFileExclusive(options["--package"]);
        if (!file || !LoadExpectedPackage(*file, o, expected)) {
            std::cerr << "qeff-virtual-product: " << options["--package"] << " is not a readable package\n";
            return 1;
        }
        checkPayload = true;
    }
    const auto number = [&](const char* name, unsigned long max) -> std::optional<unsigned long> {
        if (!options.count(name))
            return std::nullopt;
        const auto v = Number(options[name]);
        if (!v || *v > max) {
            std::cerr << "qeff-virtual-product: bad value for " << name << "\n";
            std::exit(2);
        }
        return v;
    };
    if (auto v = number("--vid", 0xFFFF)) o.vendorId = static_cast<std::uint16_t>(*v);
    if (auto v = number("--pid", 0xFFFF)) o.productId = static_cast<std::uint16_t>(*v);
    if (auto v = number("--block", 0xFFFFFFFFul)) o.product.blockLength = static_cast<std::uint32_t>(*v);
    if (auto v = number("--payload-size", 1ul << 31)) o.product.payloadSize = *v;
    if (auto v = number("--out", 4096)) o.product.outputReportLength = *v;
    if (auto v = number("--in", 4096)) o.product.inputReportLength = *v;
    if (auto v = number("--unplug-after", 1ul << 31)) o.unplugAfterReports = *v;
    if (auto v = number("--answer-delay", 60000)) o.answerDelay = std::chrono::milliseconds(*v);
    if (auto v = number("--stop-reading-after", 1ul << 31)) o.stopReadingAfterReports = *v;
    if (auto v = number("--otherwise", 0xFFFFFFFFul)) o.product.otherwise = BlockAnswer::Code(static_cast<std::uint32_t>(*v));
    o.product.inputReportId = reportIds ? 1 : 0;
    o.product.outputReportId = reportIds ? 1 : 0;
    const auto release = [&](const char* name) -> std::optional<std::uint16_t> {
        if (!options.count(name))
            return std::nullopt;
        const auto v = ParseRelease(options[name]);
        if (!v) {
            std::cerr << "qeff-virtual-product: " << name << " takes a release as lsusb shows it (2.41) or 0x0241\n";
            std::exit(2);
        }
        return v;
    };
    o.release = release("--release");
    o.restartRelease = release("--restart-release");
    if (o.restartRelease && leave) {
        std::cerr << "qeff-virtual-product: give --restart-release or --leave-after-last-block: it comes back "
                     "or it does not\n";
        return 2;
    }
    if (options.count("--serial"))
        o.serial = options["--serial"];
    if (options.count("--phys"))
        o.phys = options["--phys"];
    if (options.count("--udc"))
        o.udc = options["--udc"];
    if (options.count("--answers")) {
        const auto answers = Answers(options["--answers"]);
        if (!answers)
            return Usage();
        o.product.answers = *answers;
    }
    if (!checkPayload && !options.count("--payload-size"))
        return Usage();
    if (o.product.inputReportLength < 9 || o.product.outputReportLength < 2) {
        std::cerr << "qeff-virtual-product: --in must be at least 9 and --out at least 2\n";
        return 2;
    }

    std::unique_ptr<VirtualProduct> product;
    const std::string transport = options.count("--transport") ? options["--transport"] : "uhid";
    if (transport == "uhid")
        product = std::make_unique<UhidProduct>(o);
    else if (transport == "gadget")
        product = std::make_unique<GadgetProduct>(o);
    else
        return Usage();
    if (!product->Error().empty()) {
        std::cerr << "qeff-virtual-product: " << product->Error() << "\n";
        return 1;
    }

    // Take reports as soon as they come, as a real product does: uhid keeps
    // only a few dozen for us and drops the rest (needs root; best effort).
    sched_param realtime{};
    realtime.sched_priority = 20;
    if (sched_setscheduler(0, SCHED_FIFO, &realtime) != 0)
        std::fprintf(stderr, "qeff-virtual-product: not at real-time priority; large blocks may lose reports\n");

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("Product %04X:%04X is attached over %s; waiting for the firmware (Ctrl-C ends).\n", o.vendorId,
                o.productId, transport.c_str());
    std::fflush(stdout);

    // Serve upgrade by upgrade so that each finished one is reported.
    int upgrades = 0;
    while (!stopRequested && !product->Unplugged()) {
        if (!product->ServeOneUpgrade(stopRequested)) {
            if (product->Unplugged())
                std::printf("Unplugged after %zu reports, as scripted.\n", product->ReportsReceived());
            break;
        }
        const auto& got = product->Product().Payload();
        ++upgrades;
        std::printf("Upgrade %d: %zu reports, %zu blocks, %zu payload bytes", upgrades, product->ReportsReceived(),
                    product->Product().BlocksFinished(), got.size());
        if (const std::size_t refused = product->Product().ReportsRefused())
            std::printf(", %zu reports refused (another ID or length)", refused);
        if (checkPayload)
            std::printf(", payload %s", got == expected ? "matches the package" : "DIFFERS from the package");
        if (const auto* gadget = dynamic_cast<const GadgetProduct*>(product.get()); gadget && o.secondInterface)
            std::printf(", %zu reports reached the keyboard interface", gadget->SecondInterfaceReports());
        std::printf("\n");
        if (options.count("--save")) {
            std::ofstream(options["--save"], std::ios::binary)
                .write(reinterpret_cast<const char*>(got.data()), static_cast<std::streamsize>(got.size()));
        }
        std::fflush(stdout);
        product->StartOver();
    }
    if (!product->Error().empty())
        std::cerr << "qeff-virtual-product: " << product->Error() << "\n";
    return 0;
}
