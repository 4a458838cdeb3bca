#include "package/signed_package.h"

#include "package/package_signature.h"
#include "platform/utf8_path.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace {

enum class FileRead { Done, Missing, Unreadable, TooLarge };

// At most one byte more than the bound: a huge or endless file is never read whole.
FileRead ReadBounded(const std::string& path, std::vector<std::uint8_t>& into) {
    const auto name = PathFromUtf8(path);
    std::error_code error;
    if (!std::filesystem::exists(name, error))
        return error ? FileRead::Unreadable : FileRead::Missing;
    if (!std::filesystem::is_regular_file(name, error))
        return FileRead::Unreadable;  // a pipe or a device could be read from for ever
    std::ifstream in(name, std::ios::binary);
    if (!in)
        return FileRead::Unreadable;
    into.resize(MaxSignatureFileSize + 1);
    in.read(reinterpret_cast<char*>(into.data()), static_cast<std::streamsize>(into.size()));
    if (in.bad() || (!in && !in.eof()))
        return FileRead::Unreadable;
    into.resize(static_cast<std::size_t>(in.gcount()));
    return into.size() > MaxSignatureFileSize ? FileRead::TooLarge : FileRead::Done;
}

SignatureVerdict Refused(SignatureFault fault, std::string text, std::string signer = {}) {
    return {fault, std::move(signer), std::move(text)};
}

// The signature file read, or why it cannot be used.
std::optional<SignatureVerdict> ReadSignature(const std::string& path, std::vector<std::uint8_t>& signature) {
    const std::string name = SignaturePathOf(path);
    switch (ReadBounded(name, signature)) {
    case FileRead::Done: return std::nullopt;
    case FileRead::Missing:
        return Refused(SignatureFault::NoSignature, path + " is not signed: no signature " + name +
                                                        " lies beside it. Get the package's signature from its "
                                                        "publisher and put it there.");
    case FileRead::Unreadable:
        return Refused(SignatureFault::SignatureUnreadable, "The signature " + name + " cannot be read.");
    case FileRead::TooLarge: break;
    }
    return Refused(SignatureFault::SignatureUnreadable,
                   "The signature " + name + " is larger than 1 MiB, far more than any signature: it is not one. "
                   "Get the signature again from the package's publisher.");
}

std::string DoesNotVerifyText(const std::string& path) {
    return "The signature " + SignaturePathOf(path) +
           " does not verify: the package or its signature was changed, or the file is not a signature. Get both "
           "again from the package's publisher.";
}

}  // namespace

std::string SignaturePathOf(const std::string& packagePath) { return packagePath + ".p7s"; }

SignatureVerdict VerifyPackageSignature(const std::string& path, std::span<const std::uint8_t> package,
                                        const std::string& trust) {
    std::vector<std::uint8_t> trusted;
    switch (ReadBounded(trust, trusted)) {
    case FileRead::Done: break;
    case FileRead::Missing:
    case FileRead::Unreadable:
        return Refused(SignatureFault::TrustUnreadable, "The trusted certificate " + trust + " cannot be read.");
    case FileRead::TooLarge:
        return Refused(SignatureFault::TrustUnreadable,
                       "The trusted certificate " + trust + " is larger than 1 MiB: it is not a certificate.");
    }
    std::vector<std::uint8_t> signature;
    if (auto unread = ReadSignature(path, signature))
        return *unread;
    const SignatureResult result = VerifySignature(package, signature, trusted);
    switch (result.check) {
    case SignatureCheck::Verified: return {SignatureFault::None, result.signer, {}};
    case SignatureCheck::DoesNotVerify: return Refused(SignatureFault::DoesNotVerify, DoesNotVerifyText(path));
    case SignatureCheck::NotVouchedFor:
        return Refused(SignatureFault::NotVouchedFor,
                       path + " is signed by \"" + result.signer + "\", whom the trusted certificate " + trust +
                           " does not vouch for. Use only a package from its publisher, and give --trust the "
                           "publisher's certificate or the CA's that issued it.",
                       result.signer);
    case SignatureCheck::Expired:
        return Refused(SignatureFault::Expired,
                       "The certificate of " + path + "'s signer \"" + result.signer +
                           "\" (or of the CA that issued it) has expired or is not yet valid. Ask the publisher for "
                           "the package signed with a valid certificate.",
                       result.signer);
    case SignatureCheck::NotACertificate: break;
    }
    return Refused(SignatureFault::TrustUnreadable,
                   trust + " is not a certificate (PEM or DER). Give --trust the publisher's certificate or the "
                           "CA's that issued it.");
}

std::optional<SignatureVerdict> NamedSigner(const std::string& path, std::span<const std::uint8_t> package) {
    std::vector<std::uint8_t> signature;
    if (auto unread = ReadSignature(path, signature)) {
        if (unread->fault == SignatureFault::NoSignature)
            return std::nullopt;
        return unread;
    }
    const SignatureResult result = CheckSignature(package, signature);
    if (result.check != SignatureCheck::Verified)
        return Refused(SignatureFault::DoesNotVerify, DoesNotVerifyText(path));
    return SignatureVerdict{SignatureFault::None, result.signer, {}};
}

std::optional<std::string> TrustRefusal(CheckedPackage& package, const std::optional<std::string>& trust) {
    if (!trust)
        return std::nullopt;
    SignatureVerdict verdict = VerifyPackageSignature(package.summary.path, package.bytes, *trust);
    if (verdict.fault != SignatureFault::None)
        return verdict.text;
    package.summary.signer = std::move(verdict.signer);
    return std::nullopt;
}
