// qefftool doctor: what stands between this computer and an upgrade.

#include "platform/access_inspector.h"
#include "platform/native_hid.h"
#include "qefftool/doctor_command.h"
#include "qefftool/verbs.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

Verb AddDoctorVerb(CLI::App& app) {
    struct Given {
        std::string package, user;
        bool json = false;
    };
    auto given = std::make_shared<Given>();
    auto* command = app.add_subcommand("doctor", "Tell what stands between this computer and an upgrade, and how to mend it");
    command->add_option("package", given->package, "The package whose product is to be upgraded");
    command->add_option("--user", given->user, "The user who will upgrade (a station's service user); this one by default");
    command->add_flag("--json", given->json, "One JSON object per finding and line, for scripts");
    return {command, [given] {
                const auto hid = NativeHidSystem();
                const auto inspector = NativeAccessInspector();
                const auto some = [](const std::string& s) { return s.empty() ? std::nullopt : std::optional(s); };
                return RunDoctor(*hid, *inspector, some(given->package), some(given->user), std::cout, given->json);
            }};
}
