#include "simulated/simulated_hid.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <stdexcept>

struct SimulatedHid::Slot {
    Slot(SimulatedInterface s, std::size_t attach, std::size_t number)
        : setup(std::move(s)), attach(attach), number(number), product(setup.product) {}
    SimulatedInterface setup;
    std::size_t attach;  // how many were attached before it: what is new with every attach
    std::size_t number;  // the number its path carries
    SimulatedProduct product;
    InterfaceLog log;
    std::atomic<bool> gone{false};  // set by another thread than the one using the device
};

namespace {

const std::string kPathPrefix = "sim:";

std::string PathFor(const SimulatedHid::Slot& slot) { return kPathPrefix + std::to_string(slot.number); }

class SimulatedSet final : public HidInterfaceSet {
public:
    // The slots still attached, in the order of their paths' numbers, as hidraw lists its nodes.
    explicit SimulatedSet(const std::vector<std::shared_ptr<SimulatedHid::Slot>>& slots) {
        for (const auto& slot : slots)
            if (!slot->gone)
                present_.push_back(slot);
        std::stable_sort(present_.begin(), present_.end(),
                         [](const auto& a, const auto& b) { return a->number < b->number; });
    }

    InterfaceEntry At(std::size_t index) override {
        if (index >= present_.size())
            return InterfaceEntry::End();
        const auto& slot = present_[index];
        if (!slot->setup.pathAvailable)
            return InterfaceEntry::Unavailable();
        const SimulatedInterface& s = slot->setup;
        std::optional<DeviceAttributes> ids;
        if (s.advertisesIds)
            ids = DeviceAttributes{s.vendorId, s.productId};
        std::string instance = s.tellsInstance ? "sim-instance-" + std::to_string(slot->attach) : std::string();
        return InterfaceEntry::At(PathFor(*slot), ids, std::move(instance), s.usbDevice);
    }

private:
    std::vector<std::shared_ptr<SimulatedHid::Slot>> present_;
};

class SimulatedDevice final : public HidDevice {
public:
    explicit SimulatedDevice(std::shared_ptr<SimulatedHid::Slot> slot) : slot_(std::move(slot)) {
        ++slot_->log.opens;
        ++slot_->log.openHandles;
    }
    ~SimulatedDevice() override { --slot_->log.openHandles; }
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    std::optional<DeviceAttributes> Attributes() override {
        if (!slot_->setup.attributesReadable || slot_->gone)
            return std::nullopt;
        return DeviceAttributes{slot_->setup.vendorId, slot_->setup.productId};
    }

    std::optional<ReportLengths> Capabilities() override {
        if (!slot_->setup.capabilitiesReadable || slot_->gone)
            return std::nullopt;
        const ProductConfig& p = slot_->product.Config();
        return ReportLengths{p.outputReportLength, p.inputReportLength, p.outputReportId};
    }

    IoOutcome WriteReport(std::span<const std::uint8_t> report, std::chrono::milliseconds bound) override {
        InterfaceLog& log = slot_->log;
        log.writeBounds.push_back(bound);
        log.sequence += 'W';
        if (Unplugged())
            return IoOutcome::Abandoned;
        const auto& stall = slot_->setup.stallsAfterReports;
        const bool taken = !stall || log.reports.size() < *stall;
        if (taken) {
            log.reports.emplace_back(report.begin(), report.end());
            slot_->product.Receive(report);
        }
        return taken ? IoOutcome::Signalled : IoOutcome::TimedOut;
    }

    IoOutcome ReadReport(std::span<std::uint8_t> report, std::chrono::milliseconds bound,
                         const WhileWaiting& meanwhile) override {
        slot_->log.readBounds.push_back(bound);
        slot_->log.sequence += 'R';
        if (Unplugged())
            return IoOutcome::Abandoned;
        const auto answer = slot_->product.TakeAnswer();
        // A wait that runs out spends its whole bound, slice by slice.
        const auto silent = [&] {
            for (auto waited = WaitSlice; meanwhile && waited < bound; waited += WaitSlice)
                meanwhile();
            return IoOutcome::TimedOut;
        };
        if (!answer)
            return silent();  // nothing due: the product stays silent
        switch (answer->kind) {
        case BlockAnswer::Kind::Silence: return silent();
        case BlockAnswer::Kind::AbandonWait: return IoOutcome::Abandoned;
        case BlockAnswer::Kind::FailWait: {
            // What a failed wait leaves in the buffer is no answer, however
            // much it looks like one: here a refusal.
            const auto bytes = slot_->product.ReportFor(BlockAnswer::Code(8));
            std::copy_n(bytes.begin(), std::min(bytes.size(), report.size()), report.begin());
            return IoOutcome::Failed;
        }
        case BlockAnswer::Kind::Ack:
        case BlockAnswer::Kind::NoSignature: break;
        }
        const auto bytes = slot_->product.ReportFor(*answer);
        std::copy_n(bytes.begin(), std::min(bytes.size(), report.size()), report.begin());
        return IoOutcome::Signalled;
    }

    void CancelPendingIo(const WhileWaiting& meanwhile) override {
        for (int slice = 0; meanwhile && slice < slot_->setup.cancelSlices; ++slice)
            meanwhile();
        ++slot_->log.cancels;
        slot_->log.sequence += 'C';
    }

    std::string Description() override { return slot_->setup.description; }
    DeviceIdentity Identity() override {
        ++slot_->log.identityReads;
        return slot_->setup.identity;
    }

private:
    // A product set to leave after N reports is gone for whatever comes next.
    bool Unplugged() {
        const auto& after = slot_->setup.goneAfterReports;
        if (after && slot_->log.reports.size() >= *after)
            slot_->gone = true;
        return slot_->gone;
    }

    std::shared_ptr<SimulatedHid::Slot> slot_;
};

}  // namespace

SimulatedHid::SimulatedHid(Paths paths) : paths_(paths) {}
SimulatedHid::~SimulatedHid() = default;

std::size_t SimulatedHid::Attach(SimulatedInterface attached) {
    const std::lock_guard lock(mutex_);
    std::size_t number = slots_.size();
    if (paths_ == Paths::LowestFree) {
        std::set<std::size_t> held;
        for (const auto& slot : slots_)
            if (!slot->gone)
                held.insert(slot->number);
        for (number = 0; held.count(number); ++number) {
        }
    }
    slots_.push_back(std::make_shared<Slot>(std::move(attached), attaches_++, number));
    ++changes_;
    changed_.notify_all();
    return slots_.size() - 1;
}

void SimulatedHid::Detach(std::size_t index) {
    const std::lock_guard lock(mutex_);
    slots_.at(index)->gone = true;
    ++changes_;
    changed_.notify_all();
}

void SimulatedHid::GrantAccess(std::size_t index) {
    const std::lock_guard lock(mutex_);
    slots_.at(index)->setup.accessDenied = false;
}

void SimulatedHid::Forget(std::size_t index) {
    const std::lock_guard lock(mutex_);
    auto& slot = slots_.at(index);
    if (!slot->gone)
        return;
    // A new, empty slot in its place: the station may still hold a device of
    // the old one, which counts its handle closed there when it goes.
    auto forgotten = std::make_shared<Slot>(SimulatedInterface{}, slot->attach, slot->number);
    forgotten->gone = true;
    slot = std::move(forgotten);
}

void SimulatedHid::DetachAll() {
    const std::lock_guard lock(mutex_);
    for (auto& slot : slots_)
        slot->gone = true;
    slots_.clear();
    ++changes_;
    changed_.notify_all();
}

namespace {

class SimulatedArrivals final : public HidArrivals {
public:
    SimulatedArrivals(std::mutex& mutex, std::condition_variable& changed, const std::uint64_t& changes)
        : mutex_(mutex), changed_(changed), changes_(changes) {}
    bool WaitForChange(std::chrono::milliseconds bound) override {
        std::unique_lock lock(mutex_);
        if (!seen_ || changed_.wait_for(lock, bound, [&] { return changes_ != *seen_; })) {
            seen_ = changes_;
            return true;
        }
        return false;
    }

private:
    std::mutex& mutex_;
    std::condition_variable& changed_;
    const std::uint64_t& changes_;
    std::optional<std::uint64_t> seen_;  // none: the first call
};

}  // namespace

std::unique_ptr<HidArrivals> SimulatedHid::Arrivals() {
    return std::make_unique<SimulatedArrivals>(mutex_, changed_, changes_);
}

std::string SimulatedHid::PathOf(std::size_t index) const {
    const std::lock_guard lock(mutex_);
    return PathFor(*slots_.at(index));
}

std::size_t SimulatedHid::Count() const {
    const std::lock_guard lock(mutex_);
    return slots_.size();
}

const InterfaceLog& SimulatedHid::Log(std::size_t index) const {
    const std::lock_guard lock(mutex_);
    return slots_.at(index)->log;
}

const SimulatedProduct& SimulatedHid::Product(std::size_t index) const {
    const std::lock_guard lock(mutex_);
    return slots_.at(index)->product;
}

int SimulatedHid::OpenHandles() const {
    const std::lock_guard lock(mutex_);
    int open = 0;
    for (const auto& slot : slots_)
        open += slot->log.openHandles;
    return open;
}

std::unique_ptr<HidInterfaceSet> SimulatedHid::PresentInterfaces() {
    const std::lock_guard lock(mutex_);
    return std::make_unique<SimulatedSet>(slots_);
}

std::unique_ptr<HidDevice> SimulatedHid::OpenDevice(const std::string& path, OpenFailure* why) {
    const auto fail = [why](OpenFailure failure) -> std::unique_ptr<HidDevice> {
        if (why)
            *why = failure;
        return nullptr;
    };
    if (path.rfind(kPathPrefix, 0) != 0)
        return fail(OpenFailure::Other);
    const std::lock_guard lock(mutex_);
    std::size_t number = 0;
    try {
        number = std::stoul(path.substr(kPathPrefix.size()));
    } catch (const std::exception&) {
        return fail(OpenFailure::Other);
    }
    // The attached interface that holds the path now, whichever held it before.
    const auto slot = std::find_if(slots_.begin(), slots_.end(),
                                   [&](const auto& s) { return !s->gone && s->number == number; });
    if (slot == slots_.end())
        return fail(OpenFailure::Other);
    ++(*slot)->log.openAttempts;
    const SimulatedInterface& s = (*slot)->setup;
    if (s.accessDenied)
        return fail(OpenFailure::AccessDenied);
    if (!s.opens)
        return fail(OpenFailure::Other);
    return std::make_unique<SimulatedDevice>(*slot);
}
