// qefftool show: the header of a package.

#include "qefftool/package_commands.h"
#include "qefftool/verb_options.h"
#include "qefftool/verbs.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

Verb AddShowVerb(CLI::App& app) {
    struct Given {
        std::string package, trust;
    };
    auto given = std::make_shared<Given>();
    auto* command = app.add_subcommand("show", "Print the header of a package");
    command->add_option("package", given->package, "The package")->required();
    AddTrustOption(*command, given->trust, "Refuse the package");
    return {command, [given] {
                return RunShow(given->package, std::cout, std::cerr,
                               given->trust.empty() ? std::nullopt : std::optional(given->trust));
            }};
}
