#include "device/product_watcher.h"

#include <algorithm>

namespace {

using Clock = ProductWatcher::Clock;

// The enumeration is looked at this often where no change is told: some
// systems (containers) tell none.
constexpr std::chrono::milliseconds LookEvery{2000};
// An interface with the IDs that could not be opened is tried again this
// often at first, as a node's permissions are set a moment after it appears;
// one still denied after TellDeniedAfter is told of, then tried again slowly.
constexpr std::chrono::milliseconds RetryEvery{50};
constexpr std::chrono::milliseconds TellDeniedAfter{500};
constexpr std::chrono::milliseconds RetrySlowlyEvery{1000};
// A USB device's interfaces appear one by one: it is taken once its number of
// interfaces stayed the same this long, so that a keyboard whose node came
// first is not taken for the product.
constexpr std::chrono::milliseconds SettleFor{250};

// What is new with every plug of an interface.
std::string KeyOf(const InterfaceEntry& entry) { return entry.instance.empty() ? entry.path : entry.instance; }

}  // namespace

ProductWatcher::ProductWatcher(HidSystem& hid, HidArrivals& arrivals, std::uint16_t vendorId,
                               std::uint16_t productId, ProductChoice choice, std::function<Clock::time_point()> now)
    : hid_(hid), arrivals_(arrivals), vendorId_(vendorId), productId_(productId), choice_(std::move(choice)),
      now_(now ? std::move(now) : std::function<Clock::time_point()>(Clock::now)) {}

Clock::time_point ProductWatcher::NextLook() const {
    Clock::time_point next = lastLook_ + LookEvery;
    for (const auto& [key, waiting] : waiting_)
        next = std::min(next, waiting.nextTry);
    for (const auto& [device, settling] : settling_)
        if (settling.since + SettleFor > lastLook_)  // not settled at the last look
            next = std::min(next, settling.since + SettleFor);
    return next;
}

WatchedChange ProductWatcher::Arrived(std::chrono::milliseconds bound) {
    const Clock::time_point due = NextLook();
    const auto untilDue = std::chrono::ceil<std::chrono::milliseconds>(due - now_());
    const bool changed = arrivals_.WaitForChange(std::clamp(untilDue, std::chrono::milliseconds{0}, bound));
    const Clock::time_point now = now_();
    if (!changed && now < due)
        return {};
    lastLook_ = now;
    return Look(now);
}

WatchedChange ProductWatcher::Look(Clock::time_point now) {
    WatchedChange change;
    const auto set = hid_.PresentInterfaces();
    if (!set)
        return change;
    std::vector<std::pair<std::size_t, InterfaceEntry>> entries;
    for (std::size_t index = 0;; ++index) {
        InterfaceEntry entry = set->At(index);
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        if (entry.kind == InterfaceEntry::Kind::Path)
            entries.emplace_back(index, std::move(entry));
    }

    std::map<std::string, std::set<std::string>> interfacesOf;  // USB device: its interfaces now
    for (const auto& [index, entry] : entries)
        if (!entry.usbDevice.empty())
            interfacesOf[entry.usbDevice].insert(KeyOf(entry));
    std::map<std::string, std::set<std::string>> taken = StillTaken(interfacesOf);
    for (auto it = deniedDevices_.begin(); it != deniedDevices_.end();)
        it = interfacesOf.count(*it) ? std::next(it) : deniedDevices_.erase(it);  // unplugged: told anew
    const std::set<std::string> unsettled = Unsettled(interfacesOf, taken, now);

    std::set<std::string> done;
    std::map<std::string, Waiting> waiting;
    // Devices with an interface with the IDs that could not be opened a moment
    // ago: none of theirs is taken yet, as its permissions may be on their way.
    // One refused for longer (Windows keeps a keyboard for itself) holds up
    // nothing, and is not told of once another interface of its device is taken.
    std::set<std::string> held;
    std::vector<std::pair<std::string, std::string>> deniedNow;  // path, USB device
    const auto matches = [&](const std::optional<DeviceAttributes>& ids) {
        return ids && ids->VendorId == vendorId_ && ids->ProductId == productId_;
    };
    for (auto& [index, entry] : entries) {
        const std::string key = KeyOf(entry);
        const std::string& device = entry.usbDevice;
        if (done_.count(key) || (!device.empty() && taken.count(device))) {
            done.insert(key);  // told of already, not the product, or another interface of one taken
            continue;
        }
        if (!device.empty() && (unsettled.count(device) || held.count(device)))
            continue;
        const auto before = waiting_.find(key);
        if (before != waiting_.end() && now < before->second.nextTry) {
            waiting.insert(*before);
            if (!device.empty() && now - before->second.since < TellDeniedAfter)
                held.insert(device);
            continue;
        }
        OpenFailure why = OpenFailure::None;
        auto opened = hid_.OpenDevice(entry.path, &why);
        if (!opened) {
            // One that says it has the IDs is tried again, soon at first; one
            // whose IDs the system does not tell without opening it, at the
            // next look; one with other IDs, never.
            if (matches(entry.advertised)) {
                Waiting w = before != waiting_.end() ? before->second : Waiting{now, now, false};
                const bool early = now - w.since < TellDeniedAfter;
                w.nextTry = now + (early ? RetryEvery : RetrySlowlyEvery);
                if (why == OpenFailure::AccessDenied && !early && !w.told) {
                    w.told = true;  // once per plug, and once for all of one product's interfaces
                    if (device.empty() || deniedDevices_.insert(device).second)
                        deniedNow.emplace_back(entry.path, device);
                }
                waiting[key] = w;
                if (!device.empty() && early)
                    held.insert(device);
            } else if (entry.advertised) {
                done.insert(key);
            }
            continue;
        }
        done.insert(key);
        const auto ids = opened->Attributes();
        if (!matches(ids))
            continue;
        DeviceIdentity identity = opened->Identity();
        if (!choice_.Accepts(identity))
            continue;
        if (!device.empty())
            taken[device] = interfacesOf[device];
        change.arrived.push_back({index, entry.path, std::move(opened), std::move(identity)});
    }
    for (const auto& [path, device] : deniedNow)
        if (device.empty() || !taken.count(device))
            change.denied.push_back(path);
    done_ = std::move(done);
    waiting_ = std::move(waiting);
    taken_ = std::move(taken);
    return change;
}

std::map<std::string, std::set<std::string>> ProductWatcher::StillTaken(
    const std::map<std::string, std::set<std::string>>& interfacesOf) const {
    // A device stays taken while an interface present when it was taken is
    // still there; a device replugged into the same port is a new one.
    std::map<std::string, std::set<std::string>> taken;
    for (const auto& [device, keys] : taken_) {
        const auto present = interfacesOf.find(device);
        if (present != interfacesOf.end() && std::any_of(keys.begin(), keys.end(), [&](const std::string& key) {
                return present->second.count(key);
            }))
            taken[device] = present->second;
    }
    return taken;
}

std::set<std::string> ProductWatcher::Unsettled(const std::map<std::string, std::set<std::string>>& interfacesOf,
                                                const std::map<std::string, std::set<std::string>>& taken,
                                                Clock::time_point now) {
    // A device not taken with an interface not looked at yet is looked into
    // once its number of interfaces stayed the same for a while.
    std::map<std::string, Settling> settling;
    std::set<std::string> unsettled;
    for (const auto& [device, keys] : interfacesOf) {
        const bool anyNew =
            std::any_of(keys.begin(), keys.end(), [&](const std::string& key) { return !done_.count(key); });
        if (taken.count(device) || !anyNew)
            continue;
        Settling s{keys.size(), now};
        const auto before = settling_.find(device);
        if (before != settling_.end() && before->second.interfaces == keys.size())
            s.since = before->second.since;
        settling[device] = s;
        if (now - s.since < SettleFor)
            unsettled.insert(device);
    }
    settling_ = std::move(settling);
    return unsettled;
}
