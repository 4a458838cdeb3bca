// qefftool show: the header of a package.

#include "qefftool/package_commands.h"
#include "qefftool/verbs.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

Verb AddShowVerb(CLI::App& app) {
    auto shown = std::make_shared<std::string>();
    auto* command = app.add_subcommand("show", "Print the header of a package");
    command->add_option("package", *shown, "The package")->required();
    return {command, [shown] { return RunShow(*shown); }};
}
