#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

// What several verbs take from the command line alike.

// A number in decimal or, with 0x, hexadecimal, up to `max`; throws
// CLI::ValidationError otherwise, so a bad one is a usage error.
unsigned long ParseNumber(const std::string& text, unsigned long max);

// The name the station goes by in its record unless given one.
std::string HostName();

// --sha256: 64 hexadecimal digits.
CLI::Validator Sha256Check();

// --trust: the certificate that must vouch for the signer of the package's
// signature beside it.
CLI::Option* AddTrustOption(CLI::App& command, std::string& trust, const std::string& refusal);

// --expect-release: a USB release number as lsusb shows it (2.41) or in hex (0x0241).
CLI::Validator ReleaseCheck();

// --record-db-file, --db-file: the ODBC connection string a file holds,
// without the line ends an editor leaves; none when it is empty or cannot be read.
std::optional<std::string> ReadConnectionFile(const std::string& path);
