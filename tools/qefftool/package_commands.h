#pragma once

#include <cstdint>
#include <iostream>
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
// The header, the payload's size, the file's SHA-256 and the notes.
int RunShow(const std::string& path, std::ostream& out = std::cout, std::ostream& err = std::cerr);
