// qefftool make: a package from its header fields and a firmware image.

#include "qefftool/package_commands.h"
#include "qefftool/verb_options.h"
#include "qefftool/verbs.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <string>

Verb AddMakeVerb(CLI::App& app) {
    struct Given {
        MakeOptions make;
        std::string vid, pid, block = "4096";
    };
    auto given = std::make_shared<Given>();
    MakeOptions& make = given->make;
    auto* command = app.add_subcommand("make", "Write a package from its header fields and a firmware image");
    command->add_option("-o,--output", make.output, "The package to write")->required();
    command->add_option("--vid", given->vid, "USB vendor ID of the product")->required();
    command->add_option("--pid", given->pid, "USB product ID of the product")->required();
    command->add_option("--block", given->block, "Payload bytes per acknowledgement (0: only at the end)")
        ->capture_default_str();
    command->add_option("--name", make.name, "Product name");
    command->add_option("--code", make.code, "Product code");
    command->add_option("--firmware-code", make.firmwareCode, "Firmware code");
    auto* notes = command->add_option("--notes", make.notes, "Notes for the user");
    command->add_option("--notes-file", make.notesFile, "Read the notes from a file")->excludes(notes);
    command->add_option("--firmware", make.firmware, "The firmware image");

    // Read the numbers once the whole line is parsed, while a bad one is still
    // a usage error reported after any other fault of the line.
    command->callback([given] {
        given->make.vendorId = static_cast<std::uint16_t>(ParseNumber(given->vid, 0xFFFF));
        given->make.productId = static_cast<std::uint16_t>(ParseNumber(given->pid, 0xFFFF));
        given->make.blockLength = static_cast<std::uint32_t>(ParseNumber(given->block, 0xFFFFFFFFul));
    });
    return {command, [given] { return RunMake(given->make); }};
}
