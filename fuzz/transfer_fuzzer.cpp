// The whole transfer against a product whose report lengths, block length,
// payload and every answer (write and read outcomes, acknowledgement bytes,
// disappearance) come from the input. After every run: it ended; every byte
// sent as payload is the package's, in order; every finished block got exactly
// one read and nothing else did; the success box shows exactly when nothing
// went wrong; the gauge ends at 0.

#include "device/ack_codes.h"
#include "device/firmware_transfer.h"
#include "package/package_bytes.h"
#include "package/package_header.h"
#include "simulated/simulated_product.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

void Require(bool holds) {
    if (!holds)
        std::abort();
}

class FuzzView final : public TransferView {
public:
    std::vector<int> gauge;
    int successes = 0;
    int messages = 0;
    void SetGauge(int percent) override { gauge.push_back(percent); }
    void ShowMessage(const std::string& text, const std::string&, MessageStyle) override {
        ++messages;
        successes += text == "Firmware upgraded successfully";
    }
    void ProcessPendingEvents() override {}
};

// A device whose every answer the input decides; a SimulatedProduct beside it
// rebuilds the payload and keeps the block accounts.
class FuzzDevice final : public HidDevice {
public:
    FuzzDevice(FuzzedDataProvider& input, ProductConfig config, std::optional<ReportLengths> lengths)
        : input_(input), product_(std::move(config)), lengths_(lengths) {}

    bool wentWrong = false;  // a failing code, a time-out, an abandoned wait or a lost product
    bool gone = false;
    std::size_t reads = 0;

    const SimulatedProduct& Product() const { return product_; }

    std::optional<DeviceAttributes> Attributes() override { return DeviceAttributes{}; }
    std::optional<ReportLengths> Capabilities() override { return lengths_; }

    IoOutcome WriteReport(std::span<const std::uint8_t> report, std::chrono::milliseconds bound) override {
        Require(!gone && !wentWrong);  // nothing is sent once the transfer has failed
        Require(bound == WriteWaitBound && report.size() == lengths_->OutputReportByteLength &&
                report[0] == lengths_->OutputReportId);
        product_.Receive(report);
        const IoOutcome outcome = Outcome();
        if (outcome == IoOutcome::Abandoned)
            gone = wentWrong = true;
        return outcome;
    }

    IoOutcome ReadReport(std::span<std::uint8_t> report, std::chrono::milliseconds bound,
                         const WhileWaiting& /*meanwhile*/) override {
        Require(!gone && !wentWrong);
        Require(bound == AckWaitBound && report.size() == lengths_->InputReportByteLength);
        // Exactly one read per finished block, right after it.
        Require(product_.TakeAnswer().has_value());
        ++reads;
        const IoOutcome outcome = Outcome();
        if (outcome == IoOutcome::TimedOut || outcome == IoOutcome::Abandoned) {
            wentWrong = true;
            return outcome;
        }
        if (outcome != IoOutcome::Signalled)
            return outcome;
        if (input_.ConsumeBool()) {  // an acknowledgement with a chosen code
            std::fill(report.begin() + 1, report.begin() + 5, AckSignatureByte);
            const std::uint32_t code = input_.ConsumeBool() ? input_.ConsumeIntegralInRange<std::uint32_t>(0, 13)
                                                            : input_.ConsumeIntegral<std::uint32_t>();
            for (int i = 0; i < 4; ++i)
                report[5 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(code >> (8 * i));
            wentWrong = wentWrong || ReactionToAck(code).fails;
        } else {  // any bytes at all
            const auto bytes = input_.ConsumeBytes<std::uint8_t>(report.size());
            std::copy(bytes.begin(), bytes.end(), report.begin());
            const bool signature = std::all_of(report.begin() + 1, report.begin() + 5,
                                               [](std::uint8_t b) { return b == AckSignatureByte; });
            if (signature) {
                const std::uint32_t code = report[5] | report[6] << 8 | report[7] << 16 |
                                           static_cast<std::uint32_t>(report[8]) << 24;
                wentWrong = wentWrong || ReactionToAck(code).fails;
            }
        }
        return IoOutcome::Signalled;
    }

    void CancelPendingIo(const WhileWaiting&) override {}

private:
    IoOutcome Outcome() {
        switch (input_.ConsumeIntegralInRange(0, 15)) {
        case 1: return IoOutcome::TimedOut;
        case 2: return IoOutcome::Abandoned;
        case 3: return IoOutcome::Failed;
        default: return IoOutcome::Signalled;
        }
    }

    FuzzedDataProvider& input_;
    SimulatedProduct product_;
    std::optional<ReportLengths> lengths_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    ProductConfig config;
    config.outputReportLength = input.ConsumeIntegralInRange<std::size_t>(0, 80);
    config.inputReportLength = input.ConsumeIntegralInRange<std::size_t>(0, 80);
    config.blockLength = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(0, 300)
                                             : input.ConsumeIntegral<std::uint32_t>();
    config.payloadSize = input.ConsumeIntegralInRange<std::size_t>(0, 3000);
    std::optional<ReportLengths> lengths;
    if (input.ConsumeIntegralInRange(0, 9) != 0)
        lengths = ReportLengths{config.outputReportLength, config.inputReportLength};

    std::vector<std::uint8_t> file(qeff::HeaderSize, 0);
    std::copy(qeff::Signature.begin(), qeff::Signature.end(), file.begin());
    for (int i = 0; i < 4; ++i)
        file[13 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(config.blockLength >> (8 * i));
    for (std::size_t i = 0; i < config.payloadSize; ++i)
        file.push_back(static_cast<std::uint8_t>(i * 131 + 17));
    const std::vector<std::uint8_t> payload(file.begin() + qeff::PayloadOffset, file.end());

    FuzzDevice device(input, config, lengths);
    FuzzView view;
    TransferFirmware(view, device, std::make_unique<PackageBytes>(file));

    const bool usable = lengths && config.outputReportLength >= 2 && config.inputReportLength >= 9;
    const auto& got = device.Product().Payload();
    Require(got.size() <= payload.size() && std::equal(got.begin(), got.end(), payload.begin()));
    Require(view.successes == (usable && !device.wentWrong ? 1 : 0));
    if (view.successes)
        Require(got == payload && device.reads == device.Product().BlocksFinished());
    Require(!view.gauge.empty() && view.gauge.back() == 0);
    for (int percent : view.gauge)
        Require(percent >= 0 && percent <= 100);
    return 0;
}
