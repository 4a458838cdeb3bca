#pragma once

#include "package/checked_package.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// A package signed by its publisher: a detached signature beside it, named
// as the package with ".p7s" added, checked against the one certificate the
// user trusts.

// More than any signature or certificate holds: a larger file is none, and is
// not read further.
inline constexpr std::size_t MaxSignatureFileSize = std::size_t{1024} * 1024;

std::string SignaturePathOf(const std::string& packagePath);

enum class SignatureFault {
    None,
    NoSignature,          // nothing lies beside the package
    SignatureUnreadable,  // the signature file cannot be read, or is far too large
    DoesNotVerify,        // the package or its signature was changed, or the file is not a signature
    NotVouchedFor,        // signed by someone the trusted certificate does not vouch for
    Expired,              // the signer's certificate (or its issuer's) is not valid now
    TrustUnreadable,      // the trusted certificate cannot be read or is not one
};

struct SignatureVerdict {
    SignatureFault fault = SignatureFault::None;
    std::string signer;  // the signer's subject, once the signature matched the package
    std::string text;    // what the user is told when it is refused
};

// The signature beside the package at `path` (whose bytes are `package`),
// checked against the certificate in the file `trust`.
SignatureVerdict VerifyPackageSignature(const std::string& path, std::span<const std::uint8_t> package,
                                        const std::string& trust);

// The signer as the signature beside the package names it, checked against no
// trust; nullopt when no signature lies there.
std::optional<SignatureVerdict> NamedSigner(const std::string& path, std::span<const std::uint8_t> package);

// Why `package` is refused under the certificate in the file `trust`, if it
// is; accepted, its summary names the signer. No trust given, nothing is checked.
std::optional<std::string> TrustRefusal(CheckedPackage& package, const std::optional<std::string>& trust);
