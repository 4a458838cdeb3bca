#pragma once

#include "device/hid_device.h"
#include "device/transfer_view.h"
#include "package/package_file.h"

#include <chrono>
#include <cstdint>
#include <memory>

// A written report is waited for this long, an acknowledgement this long.
inline constexpr std::chrono::milliseconds WriteWaitBound{50};
inline constexpr std::chrono::milliseconds AckWaitBound{300};

// How a transfer ended.
enum class TransferOutcome {
    Success,
    FileError,          // the package could not be opened, read or held in memory, or is no package
    DeviceUnsupported,  // the product's report lengths leave no room for payload or acknowledgement
    Refused,            // the product answered a block with a failing code
    Lost,               // no acknowledgement in time, or the product has gone
    Interrupted,        // stopped between reports at the user's request
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::Success;
    std::uint32_t ackCode = 0;    // the failing code, for Refused
    std::uint64_t payloadSent = 0;
    std::uint64_t payloadSize = 0;
};

// Streams the payload of `package` (nullptr: it could not be opened) to the open
// product, one acknowledgement per block of the package's BlockLength, drives
// the gauge and shows the outcome. Closes the file; leaves the device open.
TransferResult TransferFirmware(TransferView& view, HidDevice& device, std::unique_ptr<PackageFile> package);

// What a transfer of `payloadSize` bytes in blocks of `blockLength` takes with
// output reports of `outputReportLength` bytes (counting the report ID).
struct TransferPlan {
    std::uint64_t reports = 0;
    std::uint64_t blocks = 0;  // one acknowledgement each
    std::uint64_t reportBytes = 0;
};
TransferPlan PlanTransfer(std::uint64_t payloadSize, std::uint32_t blockLength, std::size_t outputReportLength);
