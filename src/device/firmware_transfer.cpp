#include "device/firmware_transfer.h"

#include "device/ack_codes.h"
#include "package/package_header.h"

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

namespace {

constexpr const char* kFileError = "File Error";

// The message that ends the transfer.
void Say(TransferView& view, const char* text, const char* caption,
         MessageStyle style = MessageStyle::Plain) {
    view.TransferEnding();
    view.ShowMessage(text, caption, style);
}

TransferResult GiveUp(TransferView& view, const char* text, const char* caption,
                      TransferOutcome outcome = TransferOutcome::FileError) {
    Say(view, text, caption);
    view.SetGauge(0);
    return {outcome};
}

bool IsAcknowledgement(const std::vector<std::uint8_t>& report) {
    return std::all_of(report.begin() + 1, report.begin() + 5,
                       [](std::uint8_t b) { return b == AckSignatureByte; });
}

std::uint32_t AckCodeOf(const std::vector<std::uint8_t>& report) {
    return static_cast<std::uint32_t>(report[5]) | static_cast<std::uint32_t>(report[6]) << 8 |
           static_cast<std::uint32_t>(report[7]) << 16 | static_cast<std::uint32_t>(report[8]) << 24;
}

// The product stopped answering or has gone: nothing more can be sent.
void LostProduct(TransferView& view, HidDevice& device) {
    device.CancelPendingIo([&view] { view.ProcessPendingEvents(); });
    Say(view, "Timeout error, try upgrade one more time.", "Error", MessageStyle::Exclamation);
}

}  // namespace

TransferResult TransferFirmware(TransferView& view, HidDevice& device, std::unique_ptr<PackageFile> package) {
    int progressStep = 2;
    if (!package) {
        Say(view, "Can't open file!", kFileError);
        return {TransferOutcome::FileError};
    }

    const auto fileSize = package->Size();
    if (!fileSize) {
        package.reset();
        return GiveUp(view, "Can't open file!", kFileError);
    }
    // The file may have changed since it was accepted; never look past its end.
    if (*fileSize < qeff::HeaderSize) {
        package.reset();
        return GiveUp(view, "Wrong file format!", kFileError);
    }
    std::unique_ptr<std::uint8_t[]> buffer;
    if (*fileSize <= std::numeric_limits<std::size_t>::max())
        buffer.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(*fileSize)]);
    if (!buffer) {
        package.reset();
        return GiveUp(view, "Can't allocate memory for the file context!", kFileError);
    }
    const auto size = static_cast<std::size_t>(*fileSize);
    const std::span<const std::uint8_t> file(buffer.get(), size);
    const bool readWhole = package->ReadFromStart({buffer.get(), size}) == size;
    package.reset();
    if (!readWhole)
        return GiveUp(view, "Can't open file!", kFileError);
    // The file was checked when it was chosen, but it may have been replaced
    // since: never send a product the bytes of something that is no package.
    if (!HasSignature(file))
        return GiveUp(view, "Wrong file format!", kFileError);

    // A report needs room for one payload byte; an acknowledgement for its code.
    const auto lengths = device.Capabilities();
    if (!lengths || lengths->OutputReportByteLength < 2 || lengths->InputReportByteLength < 9)
        return GiveUp(view, "Device report length not supported!", "Error", TransferOutcome::DeviceUnsupported);

    std::vector<std::uint8_t> report(lengths->OutputReportByteLength, 0);
    report[0] = lengths->OutputReportId;  // the product takes its data in that report alone
    std::vector<std::uint8_t> ack(lengths->InputReportByteLength, 0);
    const std::uint32_t blockLength = *BlockLengthOf(file);  // the header is there: checked above
    std::size_t position = qeff::PayloadOffset;
    std::uint64_t blockFill = 0;
    bool failed = false;
    TransferResult result{TransferOutcome::Success, 0, 0, size - qeff::PayloadOffset};

    while (position < size && !failed) {
        if (view.StopRequested()) {
            // Between reports: nothing is left half sent, and nothing is waited for.
            device.CancelPendingIo([&view] { view.ProcessPendingEvents(); });
            result.outcome = TransferOutcome::Interrupted;
            failed = true;
            break;
        }
        // Every block starts at byte 1 of a fresh report. Bytes after the last
        // one filled keep what the previous report carried there.
        for (std::size_t k = 1; k < report.size(); ++k) {
            report[k] = file[position];
            ++position;
            ++blockFill;
            if (position == size || blockFill == blockLength) {
                blockFill = 0;
                break;
            }
        }

        // Only a product that has gone is noticed here; a slow write is not
        // waited for further.
        if (device.WriteReport(report, WriteWaitBound) == IoOutcome::Abandoned) {
            LostProduct(view, device);
            result.outcome = TransferOutcome::Lost;
            failed = true;
            break;
        }
        result.payloadSent = position - qeff::PayloadOffset;
        view.PayloadSent(result.payloadSent, result.payloadSize);
        // The window's pending events run once the report has gone, not while
        // the product takes it: run side by side, the two took the CPU from
        // each other and the transfer was slower, not faster.
        view.ProcessPendingEvents();

        // The gauge moves at most one point per report until it catches up.
        const auto percent = static_cast<int>(static_cast<std::uint64_t>(position) * 100 / size);
        if (progressStep < percent) {
            view.SetGauge(progressStep);
            ++progressStep;
        }

        if (blockFill != 0)
            continue;  // the block is not finished yet

        // A product slow to answer must not freeze the window: its events run
        // while the acknowledgement is waited for too.
        const IoOutcome answer = device.ReadReport(ack, AckWaitBound, [&view] { view.ProcessPendingEvents(); });
        if (answer == IoOutcome::TimedOut || answer == IoOutcome::Abandoned) {
            LostProduct(view, device);
            result.outcome = TransferOutcome::Lost;
            failed = true;
            break;
        }
        if (answer != IoOutcome::Signalled || !IsAcknowledgement(ack))
            continue;  // counts as no answer: the next block is sent
        const std::uint32_t code = AckCodeOf(ack);
        const AckReaction reaction = ReactionToAck(code);
        if (reaction.text && reaction.fails)
            Say(view, reaction.text, reaction.caption);
        else if (reaction.text)
            view.ShowMessage(reaction.text, reaction.caption, MessageStyle::Plain);  // and the transfer goes on
        failed = reaction.fails;
        if (failed) {
            result.outcome = TransferOutcome::Refused;
            result.ackCode = code;
        }
    }

    if (!failed) {
        view.SetGauge(100);
        Say(view, "Firmware upgraded successfully", "OK");
    }
    view.SetGauge(0);
    return result;
}

TransferPlan PlanTransfer(std::uint64_t payloadSize, std::uint32_t blockLength, std::size_t outputReportLength) {
    TransferPlan plan;
    if (payloadSize == 0 || outputReportLength < 2)
        return plan;
    const std::uint64_t perReport = outputReportLength - 1;
    // Every block starts a fresh report; a block length of 0, or one past the
    // payload, leaves the payload's end as the only end of a block.
    const std::uint64_t block = blockLength == 0 || blockLength > payloadSize ? payloadSize : blockLength;
    const std::uint64_t fullBlocks = payloadSize / block;
    const std::uint64_t rest = payloadSize % block;
    const auto reportsFor = [perReport](std::uint64_t bytes) { return (bytes + perReport - 1) / perReport; };
    plan.blocks = fullBlocks + (rest ? 1 : 0);
    plan.reports = fullBlocks * reportsFor(block) + (rest ? reportsFor(rest) : 0);
    plan.reportBytes = plan.reports * outputReportLength;
    return plan;
}
