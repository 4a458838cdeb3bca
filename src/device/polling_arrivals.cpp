#include "device/hid_arrivals.h"

#include <algorithm>
#include <thread>

namespace {

class Polling final : public HidArrivals {
public:
    explicit Polling(std::chrono::milliseconds every) : every_(every) {}

    bool WaitForChange(std::chrono::milliseconds bound) override {
        using Clock = std::chrono::steady_clock;
        if (Clock::now() < nextLook_)
            std::this_thread::sleep_until(std::min(Clock::now() + bound, nextLook_));
        if (Clock::now() < nextLook_)
            return false;
        nextLook_ = Clock::now() + every_;
        return true;
    }

private:
    std::chrono::milliseconds every_;
    std::chrono::steady_clock::time_point nextLook_{};  // the first call looks at once
};

}  // namespace

std::unique_ptr<HidArrivals> PollingArrivals(std::chrono::milliseconds every) {
    return std::make_unique<Polling>(every);
}
