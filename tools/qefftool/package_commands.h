#pragma once

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>

// Writing a package from its header fields and a firmware image, and showing
// the header of one: for firmware makers and the tests.
struct MakeOptions {
    std::string output;
    std::uint16_t vendorId = 0, productId = 0;
    std::uint32_t blockLength = 4096;
    std::string name, code, firmwareCode, notes, notesFile, firmware;
};

int RunMake(const MakeOptions& options);
// The header, the payload's size, the file's SHA-256, the signer of the
// signature beside it and the notes. With `trust`, a package whose signer that
// certificate does not vouch for is refused instead.
int RunShow(const std::string& path, std::ostream& out = std::cout, std::ostream& err = std::cerr,
            const std::optional<std::string>& trust = std::nullopt);

// The signature beside a package (or at `output`), by the publisher's
// certificate and key.
struct SignOptions {
    std::string package, signer, key, output;
};
int RunSign(const SignOptions& options, std::ostream& out = std::cout, std::ostream& err = std::cerr);
