#include "platform/hid_windows.h"
#include "platform/native_hid.h"

#include "platform/hid_report_descriptor.h"

#include "device/usb_release.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <windows.h>
#include <initguid.h>  // the property keys are defined here, not only declared
#include <cfgmgr32.h>
#include <devpkey.h>
#include <setupapi.h>
// mingw-w64's HID headers have no C++ guards of their own.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

namespace {

// How long cancelled requests are waited for, all together, before they are
// left to the driver: a write stuck at an unplug never holds the caller.
constexpr DWORD CancelledWithin = 1000;

constexpr DWORD NoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, which mingw-w64's headers lack

bool DeviceGone(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE || error == ERROR_DEV_NOT_EXIST ||
           error == ERROR_NOT_READY || error == ERROR_BAD_COMMAND || error == ERROR_INVALID_HANDLE ||
           error == NoSuchDevice;
}

IoOutcome FromWait(DWORD waited) {
    switch (waited) {
    case WAIT_OBJECT_0: return IoOutcome::Signalled;
    case WAIT_TIMEOUT: return IoOutcome::TimedOut;
    case WAIT_ABANDONED: return IoOutcome::Abandoned;
    default: return IoOutcome::Failed;
    }
}

// Every request, each write and the read, waits on an event of its own: with
// one event shared among them, a late write's completion woke the wait of
// another request, which then took that request for finished and freed its
// memory while the driver still held it, or polled out its bound without
// letting the window's events run.
class WindowsDevice final : public HidDevice {
public:
    WindowsDevice(HANDLE device, std::string path, EventMaker makeEvent, RequestCanceller cancel)
        : device_(device), path_(std::move(path)), makeEvent_(makeEvent), cancel_(cancel), readEvent_(makeEvent()) {
        readSlot_.emplace_back();
        read_().overlapped.hEvent = readEvent_;
    }

    ~WindowsDevice() override {
        CancelPendingIo({});
        for (HANDLE e : spareEvents_)
            CloseHandle(e);
        if (readEvent_)
            CloseHandle(readEvent_);
        CloseHandle(device_);
    }
    WindowsDevice(const WindowsDevice&) = delete;
    WindowsDevice& operator=(const WindowsDevice&) = delete;

    std::optional<DeviceAttributes> Attributes() override {
        HIDD_ATTRIBUTES a{};
        a.Size = sizeof a;
        if (!HidD_GetAttributes(device_, &a))
            return std::nullopt;
        return DeviceAttributes{a.VendorID, a.ProductID};
    }

    std::optional<ReportLengths> Capabilities() override {
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (!HidD_GetPreparsedData(device_, &preparsed))
            return std::nullopt;
        HIDP_CAPS caps{};
        const bool ok = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
        const std::uint8_t outputId = ok ? OutputReportId(preparsed, caps) : 0;
        HidD_FreePreparsedData(preparsed);
        if (!ok)
            return std::nullopt;
        return ReportLengths{caps.OutputReportByteLength, caps.InputReportByteLength, outputId};
    }

    IoOutcome WriteReport(std::span<const std::uint8_t> report, std::chrono::milliseconds bound) override {
        ForgetFinishedWrites();
        // A device on which no request can be waited for can do no I/O at all:
        // that ends the transfer, never passes for a report sent.
        const HANDLE event = TakeEvent();
        if (!event)
            return IoOutcome::Abandoned;
        // A write may outlive its wait: it keeps its own bytes, OVERLAPPED and
        // event until the driver is done with them.
        auto& w = writes_.emplace_back();
        w.bytes.assign(report.begin(), report.end());
        w.overlapped.hEvent = event;
        if (!WriteFile(device_, w.bytes.data(), static_cast<DWORD>(w.bytes.size()), nullptr, &w.overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                spareEvents_.push_back(event);
                writes_.pop_back();
                return DeviceGone(error) ? IoOutcome::Abandoned : IoOutcome::Failed;
            }
        }
        const IoOutcome waited = FromWait(WaitForSingleObject(event, static_cast<DWORD>(bound.count())));
        if (waited != IoOutcome::Signalled)
            return waited;
        DWORD written = 0;
        if (!GetOverlappedResult(device_, &w.overlapped, &written, FALSE) && DeviceGone(GetLastError()))
            return IoOutcome::Abandoned;
        return IoOutcome::Signalled;
    }

    IoOutcome ReadReport(std::span<std::uint8_t> report, std::chrono::milliseconds bound,
                         const WhileWaiting& meanwhile) override {
        if (!readEvent_)
            return IoOutcome::Abandoned;
        // The driver fills our own buffer, which outlives a wait that gives up.
        // Only that earlier read is cancelled: writes still on their way go on.
        if (read_().pending)
            CancelPendingRead(GetTickCount64() + CancelledWithin, meanwhile);
        read_().bytes.assign(report.size(), 0);
        read_().overlapped = OVERLAPPED{};
        read_().overlapped.hEvent = readEvent_;
        ResetEvent(readEvent_);  // a read that cannot start must not find the last one's signal
        const ULONGLONG start = GetTickCount64();
        if (ReadFile(device_, read_().bytes.data(), static_cast<DWORD>(read_().bytes.size()), nullptr,
                     &read_().overlapped) ||
            GetLastError() == ERROR_IO_PENDING) {
            read_().pending = true;
        } else if (DeviceGone(GetLastError())) {
            return IoOutcome::Abandoned;
        }
        // Whether the read started is not examined: the wait decides. A read
        // that never started leaves its event unset, so the wait runs its bound.
        DWORD result = WAIT_TIMEOUT;
        for (;;) {
            const ULONGLONG spent = GetTickCount64() - start;
            const auto whole = static_cast<ULONGLONG>(bound.count());
            const ULONGLONG left = spent < whole ? whole - spent : 0;
            const auto slice = static_cast<ULONGLONG>(WaitSlice.count());
            result = WaitForSingleObject(readEvent_, static_cast<DWORD>(meanwhile ? std::min(left, slice) : left));
            if (result != WAIT_TIMEOUT || !meanwhile || left <= slice)
                break;
            meanwhile();
        }
        const IoOutcome waited = FromWait(result);
        if (waited != IoOutcome::Signalled)
            return waited;
        if (!read_().pending)
            return IoOutcome::Failed;
        read_().pending = false;
        DWORD got = 0;
        if (!GetOverlappedResult(device_, &read_().overlapped, &got, FALSE))
            return DeviceGone(GetLastError()) ? IoOutcome::Abandoned : IoOutcome::Failed;
        // A shorter report must not show what the last one left behind.
        const std::size_t n = std::min<std::size_t>(got, report.size());
        std::copy_n(read_().bytes.begin(), n, report.begin());
        std::fill(report.begin() + static_cast<std::ptrdiff_t>(n), report.end(), std::uint8_t{0});
        return IoOutcome::Signalled;
    }

    void CancelPendingIo(const WhileWaiting& meanwhile) override {
        // Every request on the handle, whichever thread started it.
        cancel_(device_, nullptr);
        // Cancelled requests still end, but when is the driver's to say: each
        // is waited for on its own event, all within one bound, and one that
        // has not ended by then is left to the driver with its memory.
        const ULONGLONG until = GetTickCount64() + CancelledWithin;
        if (read_().pending)
            CancelPendingRead(until, meanwhile);
        for (auto w = writes_.begin(); w != writes_.end();) {
            const auto next = std::next(w);
            if (Ended(w->overlapped.hEvent, until, meanwhile)) {
                spareEvents_.push_back(w->overlapped.hEvent);
                writes_.erase(w);
            } else {
                std::list<Request> stranded;
                stranded.splice(stranded.end(), writes_, w);
                LeaveToDriver(stranded);
            }
            w = next;
        }
    }

    std::string Description() override {
        const std::string maker = Text(HidD_GetManufacturerString), product = Text(HidD_GetProductString);
        return maker.empty() || product.empty() ? maker + product : maker + " " + product;
    }

    // The serial number is the product's USB serial string; the location is
    // the location path of the nearest device up the tree that has one (for a
    // USB product its port: "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)"), the same
    // each time the product is plugged into that port. The release number is
    // the USB device's (bcdDevice), as its hardware IDs tell it (REV_0241):
    // a product not on USB has none.
    DeviceIdentity Identity() override {
        return {Text(HidD_GetSerialNumberString), LocationPath(), UsbRelease()};
    }

private:
    static std::string Utf8(const wchar_t* wide) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), n, nullptr, nullptr);
        utf8.resize(utf8.find('\0'));
        return utf8;
    }

    std::string Text(BOOLEAN(__stdcall * get)(HANDLE, PVOID, ULONG)) const {
        wchar_t buffer[128] = {};  // the most a USB string descriptor holds (126), its terminator and one more
        if (!get(device_, buffer, sizeof buffer - sizeof(wchar_t)))
            return {};
        return Utf8(buffer);
    }

    // The release in the hardware IDs (SPDRP_HARDWAREID) of the HID
    // collection, else of its parents: a composite product's interface, the USB device.
    std::optional<std::uint16_t> UsbRelease() const {
        const auto found = DeviceNode();
        if (!found)
            return std::nullopt;
        DEVINST node = *found;
        for (int up = 0; up < 3; ++up) {
            char ids[2048] = {};
            ULONG size = sizeof ids - 2;  // the list ends with two NULs
            if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, nullptr, ids, &size, 0) == CR_SUCCESS)
                for (const char* id = ids; *id != '\0'; id += std::strlen(id) + 1)
                    if (const auto release = ReleaseInHardwareId(id))
                        return release;
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
                break;
            node = parent;
        }
        return std::nullopt;
    }

    // The device node of the interface's HID collection.
    std::optional<DEVINST> DeviceNode() const {
        const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        if (set == INVALID_HANDLE_VALUE)
            return std::nullopt;
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        // Opening the interface puts its device in the set, as the set's only one.
        const bool found = SetupDiOpenDeviceInterfaceA(set, path_.c_str(), 0, &data) && SetupDiEnumDeviceInfo(set, 0, &info);
        SetupDiDestroyDeviceInfoList(set);
        if (!found)
            return std::nullopt;
        return info.DevInst;
    }

    std::string LocationPath() const {
        const auto found = DeviceNode();
        if (!found)
            return {};
        DEVINST node = *found;
        for (int up = 0; up < 8; ++up) {  // the HID collection, its interface, its USB device...
            wchar_t paths[1024] = {};
            DEVPROPTYPE type = 0;
            ULONG size = sizeof paths - 2 * sizeof(wchar_t);  // the list ends with two NULs
            if (CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths, &type, reinterpret_cast<PBYTE>(paths),
                                         &size, 0) == CR_SUCCESS &&
                type == DEVPROP_TYPE_STRING_LIST && paths[0] != L'\0')
                return Utf8(paths);  // the first of the list
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
                break;
            node = parent;
        }
        return {};
    }

    struct Request {
        OVERLAPPED overlapped{};
        std::vector<std::uint8_t> bytes;
        bool pending = false;  // the read's only: started and not yet collected
    };

    // Requests that a driver did not end within the bound after their cancel:
    // it may still write into them, so they are kept, events and all, for the
    // life of the process (a few bytes for each product that hung).
    static void LeaveToDriver(std::list<Request>& requests) {
        static std::mutex guard;
        static auto* kept = new std::list<Request>();  // never freed, on purpose
        const std::lock_guard lock(guard);
        kept->splice(kept->end(), requests);
    }

    // A read is cancelled before the next starts; its memory is used again
    // only once it has ended.
    void CancelPendingRead(ULONGLONG until, const WhileWaiting& meanwhile = {}) {
        cancel_(device_, &read_().overlapped);
        read_().pending = false;
        if (Ended(readEvent_, until, meanwhile))
            return;
        // Still the driver's: it keeps this request, buffer and event, and the
        // next read gets new ones.
        LeaveToDriver(readSlot_);
        readSlot_.emplace_back();
        readEvent_ = makeEvent_();
        read_().overlapped.hEvent = readEvent_;
    }

    // Whether the request of `event` ended by `until`, with `meanwhile`
    // called between slices of the wait.
    static bool Ended(HANDLE event, ULONGLONG until, const WhileWaiting& meanwhile) {
        for (;;) {
            const DWORD left = Left(until);
            const DWORD slice = meanwhile ? std::min<DWORD>(left, static_cast<DWORD>(WaitSlice.count())) : left;
            if (WaitForSingleObject(event, slice) == WAIT_OBJECT_0)
                return true;
            if (slice == left)
                return false;
            meanwhile();
        }
    }

    static DWORD Left(ULONGLONG until) {
        const ULONGLONG now = GetTickCount64();
        return now < until ? static_cast<DWORD>(until - now) : 0;
    }

    // The ID of the output report of the output report length, the one the
    // product takes its data in: the parser tells the fields of each report,
    // which are summed by report ID. 0 when the reports carry no ID. (The HID
    // class driver refuses a report whose ID the product does not have.)
    static std::uint8_t OutputReportId(PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS& caps) {
        std::map<std::uint8_t, std::uint64_t> bits;
        std::vector<HIDP_VALUE_CAPS> values(caps.NumberOutputValueCaps);
        USHORT n = caps.NumberOutputValueCaps;
        if (n && HidP_GetValueCaps(HidP_Output, values.data(), &n, preparsed) == HIDP_STATUS_SUCCESS)
            for (USHORT i = 0; i < n && i < values.size(); ++i)
                bits[values[i].ReportID] += std::uint64_t{values[i].BitSize} * values[i].ReportCount;
        std::vector<HIDP_BUTTON_CAPS> buttons(caps.NumberOutputButtonCaps);
        n = caps.NumberOutputButtonCaps;
        if (n && HidP_GetButtonCaps(HidP_Output, buttons.data(), &n, preparsed) == HIDP_STATUS_SUCCESS)
            for (USHORT i = 0; i < n && i < buttons.size(); ++i) {
                const HIDP_BUTTON_CAPS& b = buttons[i];
                bits[b.ReportID] += b.IsRange && b.Range.UsageMax >= b.Range.UsageMin
                                        ? std::uint64_t{1} + b.Range.UsageMax - b.Range.UsageMin
                                        : 1;  // a bit a button
            }
        return LongestReportId(bits);
    }

    // An event for a new write, not signalled: one a finished write left, or a new one.
    HANDLE TakeEvent() {
        if (spareEvents_.empty())
            return makeEvent_();
        const HANDLE event = spareEvents_.back();
        spareEvents_.pop_back();
        ResetEvent(event);
        return event;
    }

    // A write is over once its own event is set: the driver has let go of it.
    void ForgetFinishedWrites() {
        for (auto w = writes_.begin(); w != writes_.end();) {
            if (WaitForSingleObject(w->overlapped.hEvent, 0) != WAIT_OBJECT_0) {
                ++w;
                continue;
            }
            spareEvents_.push_back(w->overlapped.hEvent);
            w = writes_.erase(w);
        }
    }

    HANDLE device_;
    const std::string path_;
    EventMaker makeEvent_;
    RequestCanceller cancel_;
    HANDLE readEvent_;
    std::list<Request> readSlot_;  // the read's one request; a list, so that it can be left to the driver
    Request& read_() { return readSlot_.front(); }
    std::list<Request> writes_;  // a list: entries never move while the driver holds them
    std::vector<HANDLE> spareEvents_;
};

class WindowsSet final : public HidInterfaceSet {
public:
    WindowsSet(HDEVINFO set, GUID hid) : set_(set), hid_(hid) {}
    ~WindowsSet() override { SetupDiDestroyDeviceInfoList(set_); }
    WindowsSet(const WindowsSet&) = delete;
    WindowsSet& operator=(const WindowsSet&) = delete;

    InterfaceEntry At(std::size_t index) override {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &hid_, static_cast<DWORD>(index), &data))
            return InterfaceEntry::End();
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set_, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            return InterfaceEntry::Unavailable();
        std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[size]);
        if (!buffer)
            return InterfaceEntry::Unavailable();
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // the fixed part only
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiGetDeviceInterfaceDetailA(set_, &data, detail, size, nullptr, &info))
            return InterfaceEntry::Unavailable();
        char instance[MAX_DEVICE_ID_LEN] = {};
        if (!SetupDiGetDeviceInstanceIdA(set_, &info, instance, sizeof instance, nullptr))
            instance[0] = '\0';
        return InterfaceEntry::At(detail->DevicePath, IdsFromInterfacePath(detail->DevicePath), instance,
                                  UsbDeviceOf(info.DevInst));
    }

private:
    // The USB device a HID collection belongs to: its parent, or for a
    // composite product the parent of its interface node (USB\VID_1D50&PID_6018&MI_01\...).
    // Empty for one not on USB (Bluetooth, Wine's own devices).
    static std::string UsbDeviceOf(DEVINST collection) {
        DEVINST node = collection;
        for (int up = 0; up < 3; ++up) {
            DEVINST parent = 0;
            char id[MAX_DEVICE_ID_LEN] = {};
            if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS ||
                CM_Get_Device_IDA(parent, id, sizeof id, 0) != CR_SUCCESS)
                return {};
            std::string upper = id;
            std::transform(upper.begin(), upper.end(), upper.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            if (upper.rfind("USB\\", 0) != 0)
                return {};
            if (upper.find("&MI_") == std::string::npos)
                return id;
            node = parent;
        }
        return {};
    }

    HDEVINFO set_;
    GUID hid_;
};

class WindowsHidSystem final : public HidSystem {
public:
    WindowsHidSystem(EventMaker makeEvent, RequestCanceller cancel) : makeEvent_(makeEvent), cancel_(cancel) {}

    std::unique_ptr<HidInterfaceSet> PresentInterfaces() override {
        GUID hid{};
        HidD_GetHidGuid(&hid);
        const HDEVINFO set = SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE)
            return nullptr;
        return std::make_unique<WindowsSet>(set, hid);
    }

    std::unique_ptr<HidDevice> OpenDevice(const std::string& path, OpenFailure* why) override {
        const HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (device == INVALID_HANDLE_VALUE) {
            if (why)
                *why = GetLastError() == ERROR_ACCESS_DENIED ? OpenFailure::AccessDenied : OpenFailure::Other;
            return nullptr;
        }
        return std::make_unique<WindowsDevice>(device, path, makeEvent_, cancel_);
    }

private:
    EventMaker makeEvent_;
    RequestCanceller cancel_;
};

HANDLE NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

int CancelRequest(void* device, void* overlapped) {
    return CancelIoEx(static_cast<HANDLE>(device), static_cast<LPOVERLAPPED>(overlapped));
}

}  // namespace

std::optional<DeviceAttributes> IdsFromInterfacePath(const std::string& path) {
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto hex4 = [&](std::size_t at) -> std::optional<std::uint16_t> {
        if (at + 4 > lower.size())
            return std::nullopt;
        unsigned value = 0;
        for (std::size_t i = at; i < at + 4; ++i) {
            const char c = lower[i];
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        return static_cast<std::uint16_t>(value);
    };
    const std::size_t vid = lower.find("vid_");
    if (vid == std::string::npos || lower.compare(vid + 8, 5, "&pid_") != 0)
        return std::nullopt;
    const auto vendor = hex4(vid + 4), product = hex4(vid + 13);
    if (!vendor || !product)
        return std::nullopt;
    return DeviceAttributes{*vendor, *product};
}

std::unique_ptr<HidSystem> MakeWindowsHidSystem(EventMaker makeEvent, RequestCanceller cancel) {
    return std::make_unique<WindowsHidSystem>(makeEvent ? makeEvent : NewEvent, cancel ? cancel : CancelRequest);
}

std::unique_ptr<HidSystem> NativeHidSystem() { return MakeWindowsHidSystem(); }
