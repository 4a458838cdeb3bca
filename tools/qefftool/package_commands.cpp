#include "qefftool/package_commands.h"

#include "platform/utf8_path.h"

#include "package/package_text.h"
#include "qefftool/exit_codes.h"
#include "package/checked_package.h"
#include "package/package_header.h"
#include "package/package_signature.h"
#include "package/package_writer.h"
#include "package/signed_package.h"
#include "platform/exclusive_file.h"
#include "platform/sha256.h"
#include "qefftool/visible_text.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <vector>

namespace {

std::optional<std::string> ReadWhole(const std::string& path) {
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
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
        std::ofstream out(PathFromUtf8(o.output), std::ios::binary | std::ios::trunc);
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

int RunShow(const std::string& path, std::ostream& out, std::ostream& err, const std::optional<std::string>& trust) {
    const auto file = OpenFileExclusive(path);
    if (!file) {
        err << "qefftool: cannot open " << path << "\n";
        return ExitPackage;
    }
    const auto header = AcceptHeader(*file);
    if (!header) {
        err << "qefftool: " << path << " is not a package (wrong file format)\n";
        return ExitPackage;
    }
    // The whole file, for its hash.
    const auto size = file->Size();
    std::vector<std::uint8_t> bytes;
    if (size && *size <= SIZE_MAX) {
        bytes.resize(static_cast<std::size_t>(*size));
        if (file->ReadFromStart(bytes) != bytes.size())
            bytes.clear();
    }
    const auto digest = bytes.size() >= qeff::HeaderSize ? Sha256(bytes) : std::nullopt;
    if (!digest) {
        err << "qefftool: cannot read the whole of " << path << "\n";
        return ExitPackage;
    }
    // The signer: verified with a trust (refused otherwise), or as the signature names it.
    std::string signer;
    if (trust) {
        const SignatureVerdict verdict = VerifyPackageSignature(path, bytes, *trust);
        if (verdict.fault != SignatureFault::None) {
            err << "qefftool: " << VisibleText(verdict.text) << "\n";
            return ExitPackage;
        }
        signer = "signer:        " + VisibleText(verdict.signer) +
                 " (verified: the trusted certificate vouches for it)\n";
    } else if (const auto named = NamedSigner(path, bytes)) {
        signer = named->fault == SignatureFault::None
                     ? "signer:        " + VisibleText(named->signer) +
                           " (as the signature names it, not checked against any trust; --trust checks it)\n"
                     : "signature:     " + VisibleText(named->text) + "\n";
    }
    // The texts come from whoever made the package: decoded, and never let
    // loose on the terminal.
    const auto text = [](const std::string& ansi) { return VisibleText(AnsiToUtf8(ansi)); };
    char ids[96];
    std::snprintf(ids, sizeof ids, "vendor id:     0x%04X\nproduct id:    0x%04X\nblock length:  %u\n",
                  header->VendorId, header->ProductId, header->BlockLength);
    out << ids << "product name:  " << text(header->ProductName) << "\n"
        << "product code:  " << text(header->ProductCode) << "\n"
        << "firmware code: " << text(header->FirmwareCode) << "\n"
        << "payload:       " << bytes.size() - qeff::HeaderSize << " bytes\n"
        << "sha256:        " << Sha256Hex(*digest) << "\n"
        << signer << "notes:\n";
    for (const std::string& line : SplitLines(AnsiToUtf8(header->Notes)))
        out << VisibleText(line) << "\n";
    return ExitSuccess;
}

int RunSign(const SignOptions& o, std::ostream& out, std::ostream& err) {
    if (!SigningAvailable()) {
        err << "qefftool: signing is not available on this system. Sign the package where OpenSSL is (qefftool "
               "sign on Linux), or with: openssl cms -sign -binary -noattr -outform DER -in PACKAGE -signer CERT "
               "-inkey KEY -out PACKAGE.p7s\n";
        return ExitUsage;
    }
    std::string why;
    const auto package = CheckPackage(o.package, why);
    if (!package) {
        err << "qefftool: " << o.package << " cannot be signed: " << why << "\n";
        return ExitPackage;
    }
    const auto certificate = ReadWhole(o.signer);
    const auto key = ReadWhole(o.key);
    if (!certificate || !key) {
        err << "qefftool: cannot read " << (certificate ? o.key : o.signer) << "\n";
        return ExitPackage;
    }
    const auto bytes = [](const std::string& s) {
        return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    const auto signature = SignContent(package->bytes, bytes(*certificate), bytes(*key), why);
    if (!signature) {
        err << "qefftool: " << why << "\n";
        return ExitPackage;
    }
    const std::string output = o.output.empty() ? SignaturePathOf(o.package) : o.output;
    std::error_code same;
    if (std::filesystem::equivalent(PathFromUtf8(output), PathFromUtf8(o.package), same)) {
        err << "qefftool: " << output << " is the package itself: name another file for its signature with -o\n";
        return ExitUsage;
    }
    std::ofstream file(PathFromUtf8(output), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(signature->data()), static_cast<std::streamsize>(signature->size()));
    if (!file.flush()) {
        err << "qefftool: cannot write " << output << "\n";
        return ExitPackage;
    }
    out << output << ": signed by \"" << QuotedText(CheckSignature(package->bytes, *signature).signer) << "\"\n";
    return ExitSuccess;
}
