#pragma once

#include "device/device_discovery.h"
#include "package/checked_package.h"
#include "platform/sha256.h"
#include "device/upgrade_output.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class HidSystem;

struct UpgradeOptions {
    std::string package;
    // Keep looking this long for a product that is not there yet; without it,
    // one more search two seconds after the first, as the window does.
    std::optional<std::chrono::milliseconds> wait;
    std::optional<std::string> device;  // upgrade this interface only
    bool all = false;                   // upgrade every interface with the IDs, at the same time
    bool dryRun = false;                // find, open and plan; send nothing
    std::optional<Sha256Digest> sha256;  // the package must have this hash, or nothing is looked for
    std::optional<std::string> trust;    // the certificate that must vouch for the package's signer, or as above
    ProductChoice choice;                // only the products with this serial number and location
    // Upgraded, a product must come back this soon with this USB release
    // number: its new firmware seen running.
    std::optional<std::uint16_t> expectRelease;
    std::chrono::milliseconds verifyWithin{30000};
};

// Checks the package, finds the product(s) and runs the same transfer as the
// window, telling `out` how it goes. `stop` ends it between reports. Returns
// how it ended: the worst product's outcome.
Outcome RunUpgrade(const UpgradeOptions& options, HidSystem& hid, UpgradeOutput& out, const std::atomic<bool>& stop);
