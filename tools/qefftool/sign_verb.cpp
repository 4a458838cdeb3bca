// qefftool sign: the publisher's detached signature beside a package.

#include "qefftool/package_commands.h"
#include "qefftool/verbs.h"

#include <CLI/CLI.hpp>

#include <memory>

Verb AddSignVerb(CLI::App& app) {
    auto given = std::make_shared<SignOptions>();
    auto* command = app.add_subcommand(
        "sign", "Write the publisher's signature of a package beside it (PACKAGE.p7s), for --trust to check");
    command->add_option("package", given->package, "The package")->required();
    command->add_option("--signer", given->signer, "The publisher's certificate (PEM or DER)")->required();
    command->add_option("--key", given->key, "The certificate's private key (PEM or DER, without a passphrase)")
        ->required();
    command->add_option("-o,--output", given->output, "The signature to write (default: PACKAGE.p7s)");
    return {command, [given] { return RunSign(*given); }};
}
