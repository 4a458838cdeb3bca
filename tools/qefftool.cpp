// qefftool: writes a .qeff firmware package, or prints the header of one.
//
//   qefftool make -o OUT.qeff --vid 0x1234 --pid 0x5678 [--block 4096]
//                 [--name TEXT] [--code TEXT] [--firmware-code TEXT]
//                 [--notes TEXT | --notes-file FILE] [--firmware IMAGE.bin]
//   qefftool show FILE.qeff

#include "package/package_header.h"
#include "package_writer.h"
#include "platform/exclusive_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

namespace {

int Usage() {
    std::cerr << "usage:\n"
                 "  qefftool make -o OUT.qeff --vid ID --pid ID [--block N] [--name TEXT] [--code TEXT]\n"
                 "                [--firmware-code TEXT] [--notes TEXT | --notes-file FILE] [--firmware IMAGE]\n"
                 "  qefftool show FILE.qeff\n";
    return 2;
}

std::optional<std::string> ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::optional<unsigned long> Number(const std::string& text, unsigned long max) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || value > max || text[0] == '-')
        return std::nullopt;
    return value;
}

int Make(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc)
            return Usage();
        options[argv[i]] = argv[i + 1];
    }
    for (const auto& [name, value] : options) {
        static const char* known[] = {"-o", "--vid", "--pid", "--block", "--name", "--code",
                                      "--firmware-code", "--notes", "--notes-file", "--firmware"};
        if (std::find(std::begin(known), std::end(known), name) == std::end(known)) {
            std::cerr << "qefftool: unknown option " << name << "\n";
            return Usage();
        }
    }
    if (!options.count("-o") || !options.count("--vid") || !options.count("--pid"))
        return Usage();

    PackageContents c;
    const auto vid = Number(options["--vid"], 0xFFFF);
    const auto pid = Number(options["--pid"], 0xFFFF);
    const auto block = Number(options.count("--block") ? options["--block"] : "4096", 0xFFFFFFFFul);
    if (!vid || !pid || !block) {
        std::cerr << "qefftool: IDs take 0..0xFFFF and the block length 0..0xFFFFFFFF\n";
        return 2;
    }
    c.vendorId = static_cast<std::uint16_t>(*vid);
    c.productId = static_cast<std::uint16_t>(*pid);
    c.blockLength = static_cast<std::uint32_t>(*block);
    c.productName = options["--name"];
    c.productCode = options["--code"];
    c.firmwareCode = options["--firmware-code"];
    c.notes = options["--notes"];
    if (options.count("--notes-file")) {
        const auto notes = ReadWhole(options["--notes-file"]);
        if (!notes) {
            std::cerr << "qefftool: cannot read " << options["--notes-file"] << "\n";
            return 1;
        }
        c.notes = *notes;
    }
    if (options.count("--firmware")) {
        const auto image = ReadWhole(options["--firmware"]);
        if (!image) {
            std::cerr << "qefftool: cannot read " << options["--firmware"] << "\n";
            return 1;
        }
        c.firmware.assign(image->begin(), image->end());
    }

    try {
        const auto bytes = BuildPackage(c);
        std::ofstream out(options["-o"], std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            std::cerr << "qefftool: cannot write " << options["-o"] << "\n";
            return 1;
        }
        std::cout << options["-o"] << ": " << bytes.size() << " bytes, payload " << c.firmware.size() << "\n";
    } catch (const PackageTooLong& e) {
        std::cerr << "qefftool: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

int Show(const std::string& path) {
    const auto file = OpenFileExclusive(path);
    if (!file) {
        std::cerr << "qefftool: cannot open " << path << "\n";
        return 1;
    }
    const auto header = AcceptHeader(*file);
    if (!header) {
        std::cerr << "qefftool: " << path << " is not a package (wrong file format)\n";
        return 1;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    if (command == "make")
        return Make(argc, argv);
    if (command == "show" && argc == 3)
        return Show(argv[2]);
    return Usage();
}
