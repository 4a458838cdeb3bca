#include "package_commands.h"

#include "exit_codes.h"
#include "package/package_header.h"
#include "package_writer.h"
#include "platform/exclusive_file.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

namespace {

std::optional<std::string> ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int RunMake(const MakeOptions& o) {
    PackageContents c;
    c.vendorId = o.vendorId;
    c.productId = o.productId;
    c.blockLength = o.blockLength;
    c.productName = o.name;
    c.productCode = o.code;
    c.firmwareCode = o.firmwareCode;
    c.notes = o.notes;
    if (!o.notesFile.empty()) {
        const auto notes = ReadWhole(o.notesFile);
        if (!notes) {
            std::cerr << "qefftool: cannot read " << o.notesFile << "\n";
            return ExitPackage;
        }
        c.notes = *notes;
    }
    if (!o.firmware.empty()) {
        const auto image = ReadWhole(o.firmware);
        if (!image) {
            std::cerr << "qefftool: cannot read " << o.firmware << "\n";
            return ExitPackage;
        }
        c.firmware.assign(image->begin(), image->end());
    }
    try {
        const auto bytes = BuildPackage(c);
        std::ofstream out(o.output, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            std::cerr << "qefftool: cannot write " << o.output << "\n";
            return ExitPackage;
        }
        std::cout << o.output << ": " << bytes.size() << " bytes, payload " << c.firmware.size() << "\n";
    } catch (const PackageTooLong& e) {
        std::cerr << "qefftool: " << e.what() << "\n";
        return ExitUsage;
    }
    return ExitSuccess;
}

int RunShow(const std::string& path) {
    const auto file = OpenFileExclusive(path);
    if (!file) {
        std::cerr << "qefftool: cannot open " << path << "\n";
        return ExitPackage;
    }
    const auto header = AcceptHeader(*file);
    if (!header) {
        std::cerr << "qefftool: " << path << " is not a package (wrong file format)\n";
        return ExitPackage;
    }
    const auto size = file->Size().value_or(qeff::HeaderSize);
    std::printf("vendor id:     0x%04X\nproduct id:    0x%04X\nblock length:  %u\n", header->VendorId,
                header->ProductId, header->BlockLength);
    std::cout << "product name:  " << header->ProductName << "\n"
              << "product code:  " << header->ProductCode << "\n"
              << "firmware code: " << header->FirmwareCode << "\n"
              << "payload:       " << size - qeff::HeaderSize << " bytes\n"
              << "notes:\n" << header->Notes << "\n";
    return 0;
}
