#include "simulated/virtual_product.h"

#include "simulated/product_descriptor.h"

#include "package/package_header.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

void VirtualProduct::Take(const std::uint8_t* data, std::size_t size, bool withId) {
    report_.clear();
    if (!withId)
        report_.push_back(0);
    report_.insert(report_.end(), data, data + size);
    product_.Receive(report_);  // refuses a report of another ID or length
    ++received_;
    complete_ = product_.Complete();

    while (const auto answer = product_.TakeAnswer()) {
        if (options_.answerDelay.count() > 0)
            std::this_thread::sleep_for(options_.answerDelay);  // the product writes its flash first
        switch (answer->kind) {
        case BlockAnswer::Kind::Ack:
        case BlockAnswer::Kind::NoSignature: {
            // Always a full-length report: the kernel drops shorter ones.
            const auto bytes = product_.ReportFor(*answer);
            if (options_.reportIds)
                SendInputReport(bytes.data(), bytes.size());
            else if (bytes.size() > 1)
                SendInputReport(bytes.data() + 1, bytes.size() - 1);
            break;
        }
        case BlockAnswer::Kind::AbandonWait:
            Unplug();
            return;
        case BlockAnswer::Kind::Silence:
        case BlockAnswer::Kind::FailWait:
            break;
        }
    }
    if (options_.leaveAfterLastAnswer && complete_) {
        AnswerTaken();
        Unplug();
    } else if (options_.restartRelease && complete_ && !restarted_) {
        answeredLastAt_ = std::chrono::system_clock::now().time_since_epoch().count();
        AnswerTaken();
        restarted_ = true;
        Restart(*options_.restartRelease);
    }
    if (options_.unplugAfterReports && received_ >= *options_.unplugAfterReports)
        Unplug();
}

void VirtualProduct::StartOver() {
    product_ = SimulatedProduct(options_.product);
    restarted_ = false;
    received_ = 0;
    complete_ = false;
}

bool VirtualProduct::ServeOneUpgrade(const std::atomic<bool>& stop) {
    std::atomic<bool> roundOver{false};
    // The watcher asks only what may be asked while the product is served.
    std::thread watcher([&] {
        while (!stop && !Complete() && !Unplugged())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the last answer go out
        roundOver = true;
    });
    Serve(roundOver);
    watcher.join();
    return Complete();
}

std::thread ServeInBackground(VirtualProduct& product, const std::atomic<bool>& stop) {
    return std::thread([&product, &stop] {
        sched_param p{};
        p.sched_priority = 50;
        (void)sched_setscheduler(0, SCHED_FIFO, &p);
        product.Serve(stop);
    });
}

bool LoadExpectedPackage(PackageFile& file, VirtualProductOptions& options, std::vector<std::uint8_t>& payload) {
    const auto header = AcceptHeader(file);
    const auto size = file.Size();
    if (!header || !size || *size < qeff::HeaderSize)
        return false;
    std::vector<std::uint8_t> whole(static_cast<std::size_t>(*size));
    if (file.ReadFromStart(whole) != whole.size())
        return false;  // a payload read in part would be compared as if whole
    payload.assign(whole.begin() + qeff::PayloadOffset, whole.end());
    options.vendorId = header->VendorId;
    options.productId = header->ProductId;
    options.product.blockLength = header->BlockLength;
    options.product.payloadSize = payload.size();
    if (!header->ProductName.empty())
        options.name = header->ProductName;
    return true;
}

// ---- uhid ---------------------------------------------------------------

UhidProduct::UhidProduct(const VirtualProductOptions& options, const char* uhidPath) : VirtualProduct(options) {
    fd_ = ::open(uhidPath, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        error_ = Errno(std::string("cannot open ") + uhidPath);
        return;
    }
    const auto descriptor = VendorReportDescriptor(options.product.outputReportLength, options.product.inputReportLength,
                                                   options.reportIds ? options.product.inputReportId : 0,
                                                   options.reportIds ? options.product.outputReportId : 0);
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.name), sizeof ev.u.create2.name, "%s", options.name.c_str());
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.uniq), sizeof ev.u.create2.uniq, "%s", options.serial.c_str());
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.phys), sizeof ev.u.create2.phys, "%s", options.phys.c_str());
    ev.u.create2.rd_size = static_cast<__u16>(descriptor.size());
    ev.u.create2.bus = 0x03;  // BUS_USB
    ev.u.create2.vendor = options.vendorId;
    ev.u.create2.product = options.productId;
    std::copy(descriptor.begin(), descriptor.end(), ev.u.create2.rd_data);
    if (::write(fd_, &ev, sizeof ev) != static_cast<ssize_t>(sizeof ev))
        error_ = Errno("cannot create the uhid device");
}

UhidProduct::~UhidProduct() {
    Unplug();
    if (fd_ >= 0)
        ::close(fd_);
}

void UhidProduct::Unplug() {
    if (fd_ < 0 || unplugged_)
        return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    (void)!::write(fd_, &ev, sizeof ev);
    unplugged_ = true;
}

void UhidProduct::SendInputReport(const std::uint8_t* data, std::size_t size) {
    uhid_event ev{};
    ev.type = UHID_INPUT2;
    ev.u.input2.size = static_cast<__u16>(std::min<std::size_t>(size, UHID_DATA_MAX));
    std::memcpy(ev.u.input2.data, data, ev.u.input2.size);
    if (::write(fd_, &ev, sizeof ev) < 0 && error_.empty())
        error_ = Errno("cannot send an input report");
}

void UhidProduct::Serve(const std::atomic<bool>& stop) {
    if (fd_ < 0)
        return;
    while (!stop && !unplugged_) {
        if (Hung()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        // Drain everything queued: uhid holds only a few dozen reports for us.
        uhid_event ev{};
        while (!unplugged_ && !Hung() && ::read(fd_, &ev, sizeof ev) > 0)
            Handle(ev);
    }
}

void UhidProduct::Handle(const uhid_event& ev) {
    {
        switch (ev.type) {
        case UHID_OUTPUT:
            // uhid hands over the report as the host wrote it, ID byte first.
            Take(ev.u.output.data, ev.u.output.size, true);
            break;
        case UHID_GET_REPORT: {  // the product has no feature reports
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = ev.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
            (void)!::write(fd_, &reply, sizeof reply);
            break;
        }
        case UHID_SET_REPORT: {
            uhid_event reply{};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = ev.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
            (void)!::write(fd_, &reply, sizeof reply);
            break;
        }
        case UHID_OPEN: ++opens_; break;
        default: break;  // start, stop, close
        }
    }
}

// ---- USB gadget -----------------------------------------------------------

bool GadgetProduct::Write(const std::string& file, const std::string& text) {
    std::ofstream out(gadget_ + "/" + file);
    out << text;
    out.flush();
    if (!out && error_.empty())
        error_ = "cannot write " + gadget_ + "/" + file;
    return static_cast<bool>(out);
}

bool GadgetProduct::AddFunction(const std::string& name, const std::vector<std::uint8_t>& descriptor,
                                std::size_t reportLength, int protocol) {
    std::error_code ec;
    const std::string function = "functions/hid." + name;
    std::filesystem::create_directories(gadget_ + "/" + function, ec);
    Write(function + "/protocol", std::to_string(protocol));
    Write(function + "/subclass", protocol ? "1" : "0");  // the boot interface subclass
    Write(function + "/report_length", std::to_string(reportLength));
    std::ofstream rd(gadget_ + "/" + function + "/report_desc", std::ios::binary);
    rd.write(reinterpret_cast<const char*>(descriptor.data()), static_cast<std::streamsize>(descriptor.size()));
    rd.close();
    std::filesystem::create_symlink(gadget_ + "/" + function, gadget_ + "/configs/c.1/hid." + name, ec);
    return !ec && error_.empty();
}

int GadgetProduct::OpenFunction(const std::string& name) {
    // A function's character device, /dev/hidgN, is named by its minor number.
    std::ifstream dev(gadget_ + "/functions/hid." + name + "/dev");
    std::string majorMinor;
    dev >> majorMinor;
    const std::string node = "/dev/hidg" + majorMinor.substr(majorMinor.find(':') + 1);
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && error_.empty())
        error_ = Errno("cannot open " + node);
    return fd;
}

GadgetProduct::GadgetProduct(const VirtualProductOptions& options, const std::string& configfs) : VirtualProduct(options) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // The controller asked for, or the first by name: each is one USB port of
    // the host, which the product's location then names.
    std::vector<std::string> controllers;
    for (const auto& entry : fs::directory_iterator("/sys/class/udc", ec))
        controllers.push_back(entry.path().filename().string());
    std::sort(controllers.begin(), controllers.end());
    if (!options.udc.empty() && std::find(controllers.begin(), controllers.end(), options.udc) != controllers.end())
        udc_ = options.udc;
    else if (options.udc.empty() && !controllers.empty())
        udc_ = controllers.front();
    if (udc_.empty()) {
        error_ = options.udc.empty() ? "no USB device controller (load dummy_hcd)" : "no USB device controller " + options.udc;
        return;
    }
    gadget_ = configfs + "/usb_gadget/qeff_" + udc_;  // one gadget a controller
    const auto descriptor = VendorReportDescriptor(options.product.outputReportLength, options.product.inputReportLength,
                                                   options.reportIds ? options.product.inputReportId : 0,
                                                   options.reportIds ? options.product.outputReportId : 0);
    // The endpoint carries the longer report as the gadget sees it.
    const std::size_t id = options.reportIds ? 1 : 0;
    reportLength_ = std::max(options.product.inputReportLength, options.product.outputReportLength) - 1 + id;

    if (!fs::create_directories(gadget_ + "/strings/0x409", ec) && ec) {
        error_ = "cannot create the gadget in " + configfs + " (is configfs mounted?)";
        return;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04x", options.vendorId);
    Write("idVendor", hex);
    std::snprintf(hex, sizeof hex, "0x%04x", options.productId);
    Write("idProduct", hex);
    if (options.release) {
        std::snprintf(hex, sizeof hex, "0x%04x", *options.release);
        Write("bcdDevice", hex);
    }
    Write("strings/0x409/product", options.name);
    if (!options.serial.empty())
        Write("strings/0x409/serialnumber", options.serial);
    fs::create_directories(gadget_ + "/configs/c.1", ec);
    constexpr int Keyboard = 1;  // the boot protocol's keyboard
    if (!AddFunction("usb0", descriptor, reportLength_) ||
        (options.secondInterface && !AddFunction("usb1", BootKeyboardReportDescriptor(), 8, Keyboard)))
        return;
    if (!Write("UDC", udc_))
        return;
    fd_ = OpenFunction("usb0");
    if (options.secondInterface)
        secondFd_ = OpenFunction("usb1");
}

GadgetProduct::~GadgetProduct() { TearDown(); }

void GadgetProduct::Unplug() {
    if (unplugged_ || gadget_.empty())
        return;
    Write("UDC", "\n");
    unplugged_ = true;
}

void GadgetProduct::TearDown() {
    for (int* fd : {&fd_, &secondFd_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    if (gadget_.empty())
        return;
    Unplug();
    // configfs wants its objects removed in the reverse order of their making.
    for (const char* link : {"/configs/c.1/hid.usb0", "/configs/c.1/hid.usb1"})
        ::unlink((gadget_ + link).c_str());
    for (const char* path : {"/configs/c.1", "/functions/hid.usb0", "/functions/hid.usb1", "/strings/0x409", ""})
        ::rmdir((gadget_ + path).c_str());
}

void GadgetProduct::AnswerTaken() {
    // The host fetches a USB product's answer when it polls; the gadget's node
    // is writable again once it has (bounded: a host that never asks).
    pollfd p{fd_, POLLOUT, 0};
    (void)::poll(&p, 1, 1000);
    // The host's side of the transfer ends a moment after ours (dummy_hcd
    // gives the host its data later); a product restarting takes longer still.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void GadgetProduct::Restart(std::uint16_t release) {
    // Its function's node goes with the unbind and comes back with the bind.
    for (int* fd : {&fd_, &secondFd_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    Write("UDC", "\n");
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04x", release);
    Write("bcdDevice", hex);
    if (!Write("UDC", udc_))
        return;
    fd_ = OpenFunction("usb0");
    if (options_.secondInterface)
        secondFd_ = OpenFunction("usb1");
    restartedAt_ = std::chrono::system_clock::now().time_since_epoch().count();
}

void GadgetProduct::SendInputReport(const std::uint8_t* data, std::size_t size) {
    if (::write(fd_, data, size) < 0 && error_.empty() && !unplugged_)
        error_ = Errno("cannot send an input report");
}

void GadgetProduct::Serve(const std::atomic<bool>& stop) {
    if (fd_ < 0)
        return;
    std::vector<std::uint8_t> buffer(reportLength_ + 1);
    while (!stop && !unplugged_) {
        if (Hung()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pollfd p[2] = {{fd_, POLLIN, 0}, {secondFd_, POLLIN, 0}};
        if (::poll(p, secondFd_ >= 0 ? 2 : 1, 20) <= 0)
            continue;
        // usbhid sends a numbered report whole, ID first, and strips the 0 ID
        // of an unnumbered one: what arrives is the product's to check.
        ssize_t n = 0;
        while (!unplugged_ && !Hung() && (n = ::read(fd_, buffer.data(), buffer.size())) > 0)
            Take(buffer.data(), static_cast<std::size_t>(n), options_.reportIds);
        // The host's keyboard driver sets the keyboard's LEDs of its own
        // accord, one byte at a time: anything longer was meant for the product.
        while (secondFd_ >= 0 && (n = ::read(secondFd_, buffer.data(), buffer.size())) > 0)
            if (n > 1)
                ++secondReports_;
    }
}
