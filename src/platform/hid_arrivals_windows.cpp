#include "platform/native_arrivals.h"

#include <windows.h>
#include <cfgmgr32.h>
extern "C" {
#include <hidsdi.h>
}

namespace {

// The notification's functions are looked up when the program runs: Windows
// before 8, and Wine, have none, and a program that imported them would not
// start there at all.
using RegisterNotification = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
using UnregisterNotification = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

template <class Function>
Function Lookup(const char* name) {
    const HMODULE cfgmgr32 = GetModuleHandleA("cfgmgr32.dll") ? GetModuleHandleA("cfgmgr32.dll") : LoadLibraryA("cfgmgr32.dll");
    return cfgmgr32 ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(cfgmgr32, name))) : nullptr;
}

// The configuration manager's notice of HID interfaces arriving and leaving
// (CM_Register_Notification): its callback, on a thread of the system's, sets
// an event that a wait waits on.
class NotifiedArrivals final : public HidArrivals {
public:
    NotifiedArrivals() : changed_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
        if (!changed_)
            return;
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        HidD_GetHidGuid(&filter.u.DeviceInterface.ClassGuid);
        const auto registerNotification = Lookup<RegisterNotification>("CM_Register_Notification");
        unregister_ = Lookup<UnregisterNotification>("CM_Unregister_Notification");
        if (!registerNotification || !unregister_ ||
            registerNotification(&filter, changed_, &NotifiedArrivals::OnChange, &notification_) != CR_SUCCESS)
            notification_ = nullptr;
    }
    ~NotifiedArrivals() override {
        if (notification_)
            unregister_(notification_);  // waits for a callback that is running
        if (changed_)
            CloseHandle(changed_);
    }
    NotifiedArrivals(const NotifiedArrivals&) = delete;
    NotifiedArrivals& operator=(const NotifiedArrivals&) = delete;

    bool Ready() const { return notification_ != nullptr; }

    bool WaitForChange(std::chrono::milliseconds bound) override {
        if (first_) {
            first_ = false;
            return true;
        }
        return WaitForSingleObject(changed_, static_cast<DWORD>(bound.count())) == WAIT_OBJECT_0;
    }

private:
    static DWORD CALLBACK OnChange(HCMNOTIFICATION, PVOID changed, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA, DWORD) {
        SetEvent(static_cast<HANDLE>(changed));
        return ERROR_SUCCESS;
    }

    HANDLE changed_;
    HCMNOTIFICATION notification_ = nullptr;
    UnregisterNotification unregister_ = nullptr;
    bool first_ = true;
};

}  // namespace

std::unique_ptr<HidArrivals> NativeHidArrivals() {
    auto arrivals = std::make_unique<NotifiedArrivals>();
    if (arrivals->Ready())
        return arrivals;
    return PollingArrivals();  // Windows before 8, or Wine: no notification to be had
}
