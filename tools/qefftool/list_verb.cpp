// qefftool list: the HID interfaces, and which ones a package is for.

#include "platform/native_hid.h"
#include "qefftool/list_command.h"
#include "qefftool/verbs.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

Verb AddListVerb(CLI::App& app) {
    struct Given {
        std::string package;
        bool json = false;
    };
    auto given = std::make_shared<Given>();
    auto* command = app.add_subcommand("list", "List the HID interfaces, and which ones a package is for");
    command->add_option("package", given->package, "A package to match the interfaces against");
    command->add_flag("--json", given->json, "One JSON object per interface and line, for scripts");
    return {command, [given] {
                const auto hid = NativeHidSystem();
                const std::optional<std::string> package =
                    given->package.empty() ? std::nullopt : std::optional<std::string>(given->package);
                return RunList(*hid, package, std::cout, given->json);
            }};
}
