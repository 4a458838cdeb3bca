#pragma once

#include "device/hid_device.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

// A HID system whose products take `delay` to answer each read, as a real
// product takes its time to write a block to flash; all else is the wrapped
// system's. It counts the devices closed, for another thread to look at.
class SlowAnswers final : public HidSystem {
public:
    SlowAnswers(HidSystem& inner, std::chrono::milliseconds delay) : inner_(inner), delay_(delay) {}

    std::unique_ptr<HidInterfaceSet> PresentInterfaces() override { return inner_.PresentInterfaces(); }
    std::unique_ptr<HidDevice> OpenDevice(const std::string& path, OpenFailure* why = nullptr) override {
        auto device = inner_.OpenDevice(path, why);
        return device ? std::make_unique<Device>(std::move(device), delay_, closed_) : nullptr;
    }
    int Closed() const { return closed_; }

private:
    class Device final : public HidDevice {
    public:
        Device(std::unique_ptr<HidDevice> inner, std::chrono::milliseconds delay, std::atomic<int>& closed)
            : inner_(std::move(inner)), delay_(delay), closed_(closed) {}
        ~Device() override {
            inner_.reset();
            ++closed_;
        }
        std::optional<DeviceAttributes> Attributes() override { return inner_->Attributes(); }
        std::optional<ReportLengths> Capabilities() override { return inner_->Capabilities(); }
        IoOutcome WriteReport(std::span<const std::uint8_t> report, std::chrono::milliseconds bound) override {
            return inner_->WriteReport(report, bound);
        }
        IoOutcome ReadReport(std::span<std::uint8_t> report, std::chrono::milliseconds bound,
                             const WhileWaiting& meanwhile = {}) override {
            const IoOutcome outcome = inner_->ReadReport(report, bound, meanwhile);
            if (outcome == IoOutcome::Signalled)
                std::this_thread::sleep_for(delay_);  // the answer comes this much later
            return outcome;
        }
        void CancelPendingIo(const WhileWaiting& meanwhile) override { inner_->CancelPendingIo(meanwhile); }
        std::string Description() override { return inner_->Description(); }
        DeviceIdentity Identity() override { return inner_->Identity(); }

    private:
        std::unique_ptr<HidDevice> inner_;
        std::chrono::milliseconds delay_;
        std::atomic<int>& closed_;
    };

    HidSystem& inner_;
    std::chrono::milliseconds delay_;
    std::atomic<int> closed_{0};
};
