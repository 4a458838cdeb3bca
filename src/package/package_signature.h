#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Detached CMS (PKCS #7) signatures over a whole package, as
// `openssl cms -sign -binary -noattr -outform DER` makes them, by the system's
// own implementation: OpenSSL on Linux, CryptoAPI on Windows. The platform
// layer provides these; nothing here reads ASN.1 itself.

enum class SignatureCheck {
    Verified,         // a signature over exactly these bytes (and, with a trust, vouched for)
    DoesNotVerify,    // not a signature, or not over these bytes
    NotVouchedFor,    // a good signature by someone the trusted certificate does not vouch for
    Expired,          // vouched for, but a certificate is not valid now
    NotACertificate,  // the trusted certificate is not one (neither PEM nor DER)
};

struct SignatureResult {
    SignatureCheck check = SignatureCheck::DoesNotVerify;
    std::string signer;  // the signer's subject ("CN=Publisher"), UTF-8, once the signature matched the bytes
};

// That `signature` is a detached CMS signature over exactly `content`, and
// whose: no trust asked (Verified means only that).
SignatureResult CheckSignature(std::span<const std::uint8_t> content, std::span<const std::uint8_t> signature);

// The same, and that `trusted` (a certificate in PEM or DER: the signer's own,
// or the CA that issued it) vouches for the signer now. Nothing else is trusted:
// never the system's own roots.
SignatureResult VerifySignature(std::span<const std::uint8_t> content, std::span<const std::uint8_t> signature,
                                std::span<const std::uint8_t> trusted);

// Whether this system makes signatures.
bool SigningAvailable();

// A signature over `content` by `certificate` (PEM or DER) with its private
// `key` (PEM or DER, without a passphrase); empty, with `why`, when it cannot be made.
std::optional<std::vector<std::uint8_t>> SignContent(std::span<const std::uint8_t> content,
                                                     std::span<const std::uint8_t> certificate,
                                                     std::span<const std::uint8_t> key, std::string& why);
