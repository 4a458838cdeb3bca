// qefftool upgrade: the product, or every one attached, with a package.

#include "device/usb_release.h"
#include "platform/interrupt.h"
#include "platform/native_hid.h"
#include "platform/sha256.h"
#include "qefftool/terminal.h"
#include "qefftool/exit_codes.h"
#include "qefftool/json_output.h"
#include "qefftool/text_output.h"
#include "device/product_upgrade.h"
#include "qefftool/verb_options.h"
#include "qefftool/verbs.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace {

struct UpgradeGiven {
    UpgradeOptions upgrade;
    double waitSeconds = -1;
    std::string device, serial, location, sha256, trust, expectRelease;
    double verifyWithin = 30;
    bool json = false;
};

int Upgrade(UpgradeGiven& given) {
    UpgradeOptions& upgrade = given.upgrade;
    const auto hid = NativeHidSystem();
    if (given.waitSeconds >= 0)
        upgrade.wait = std::chrono::milliseconds(static_cast<long long>(given.waitSeconds * 1000));
    if (!given.device.empty())
        upgrade.device = given.device;
    if (!given.sha256.empty())
        upgrade.sha256 = ParseSha256Hex(given.sha256);
    if (!given.trust.empty())
        upgrade.trust = given.trust;
    if (!given.serial.empty())
        upgrade.choice.serial = given.serial;
    if (!given.location.empty())
        upgrade.choice.location = given.location;
    if (!given.expectRelease.empty())
        upgrade.expectRelease = ParseRelease(given.expectRelease);
    upgrade.verifyWithin = std::chrono::milliseconds(static_cast<long long>(given.verifyWithin * 1000));
    CatchInterrupts();
    if (given.json) {
        JsonOutput out(std::cout);
        return ExitCodeOf(RunUpgrade(upgrade, *hid, out, InterruptRequested()));
    }
    // Progress drawn in place only on a terminal; a pipe or a file gets lines.
    TextOutput out(std::cout, IsTerminal(stdout));
    return ExitCodeOf(RunUpgrade(upgrade, *hid, out, InterruptRequested()));
}

}  // namespace

Verb AddUpgradeVerb(CLI::App& app) {
    auto given = std::make_shared<UpgradeGiven>();
    auto* command = app.add_subcommand("upgrade", "Upgrade the product (or every one attached) with a package");
    command->add_option("package", given->upgrade.package, "The package")->required();
    command
        ->add_option("--wait", given->waitSeconds,
                     "Keep looking this many seconds for a product that is not there yet")
        ->check(CLI::Range(0.0, 86400.0));
    auto* device = command->add_option("--device", given->device, "Upgrade this interface (a path from 'list')");
    command->add_flag("--all", given->upgrade.all, "Upgrade every attached product with the package's IDs at once")
        ->excludes(device);
    command->add_option("--serial", given->serial, "Only the product with this USB serial number (see 'list')")
        ->excludes(device);
    command->add_option("--location", given->location, "Only the product plugged in at this location (see 'list')")
        ->excludes(device);
    command->add_flag("--dry-run", given->upgrade.dryRun, "Find and open the product and print the plan; send nothing");
    command->add_flag("--json", given->json, "One JSON object per line, for scripts");
    command
        ->add_option("--sha256", given->sha256,
                     "Refuse the package, before looking for any product, unless this is its SHA-256")
        ->check(Sha256Check());
    AddTrustOption(*command, given->trust, "Refuse the package, before looking for any product,");
    auto* expect = command
                       ->add_option("--expect-release", given->expectRelease,
                                    "After the upgrade, wait for the product to come back with this USB release "
                                    "number (as lsusb shows it, 2.41, or 0x0241): its new firmware seen running")
                       ->check(ReleaseCheck());
    command
        ->add_option("--verify-within", given->verifyWithin,
                     "With --expect-release: how many seconds the product has to come back")
        ->check(CLI::PositiveNumber & CLI::Range(0.0, 86400.0))
        ->capture_default_str()
        ->needs(expect);
    command->footer(ExitCodeTable);
    return {command, [given] { return Upgrade(*given); }};
}
