#include "package/package_signature.h"

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct CertificateFreed {
    void operator()(const CERT_CONTEXT* certificate) const { CertFreeCertificateContext(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFreed>;

bool FitsDword(std::span<const std::uint8_t> bytes) { return !bytes.empty() && bytes.size() <= MAXDWORD; }

// DER as it is, or PEM: base64 between its header and footer.
Certificate ReadCertificate(std::span<const std::uint8_t> bytes) {
    if (!FitsDword(bytes))
        return nullptr;
    const auto size = static_cast<DWORD>(bytes.size());
    if (PCCERT_CONTEXT der = CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(), size))
        return Certificate(der);
    const auto* text = reinterpret_cast<LPCSTR>(bytes.data());
    DWORD length = 0;
    if (!CryptStringToBinaryA(text, size, CRYPT_STRING_BASE64HEADER, nullptr, &length, nullptr, nullptr))
        return nullptr;
    std::vector<BYTE> der(length);
    if (!CryptStringToBinaryA(text, size, CRYPT_STRING_BASE64HEADER, der.data(), &length, nullptr, nullptr))
        return nullptr;
    return Certificate(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), length));
}

// "CN=Publisher, O=Maker": most specific first, as OpenSSL is told to write it on Linux.
std::string SubjectOf(PCCERT_CONTEXT certificate) {
    CERT_NAME_BLOB* name = &certificate->pCertInfo->Subject;
    constexpr DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    DWORD length = CertNameToStrW(X509_ASN_ENCODING, name, flags, nullptr, 0);
    std::wstring wide(length, L'\0');
    length = CertNameToStrW(X509_ASN_ENCODING, name, flags, wide.data(), length);
    wide.resize(length > 0 ? length - 1 : 0);  // without its ending nul
    if (wide.empty())
        return {};
    const int characters = static_cast<int>(wide.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), characters, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), characters, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

// The signer of a detached signature that matches `content`; the
// certificates it carries name it, and none of them is trusted for that.
Certificate Match(std::span<const std::uint8_t> content, std::span<const std::uint8_t> signature) {
    if (!FitsDword(content) || !FitsDword(signature))
        return nullptr;
    CRYPT_VERIFY_MESSAGE_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.dwMsgAndCertEncodingType = kEncoding;
    const BYTE* parts[] = {content.data()};
    DWORD sizes[] = {static_cast<DWORD>(content.size())};
    PCCERT_CONTEXT signer = nullptr;
    if (!CryptVerifyDetachedMessageSignature(&parameters, 0, signature.data(), static_cast<DWORD>(signature.size()), 1,
                                             parts, sizes, &signer)) {
        CertFreeCertificateContext(signer);  // none, or one left behind
        return nullptr;
    }
    return Certificate(signer);
}

// The publisher's own certificate, or issued by the trusted CA: its name as
// the issuer's, and its key's signature on it. (A chain engine rooted in the
// trusted certificate alone is not available under Wine; these three calls
// say the same for one certificate or one CA.)
bool Vouches(PCCERT_CONTEXT trusted, PCCERT_CONTEXT signer) {
    if (CertCompareCertificate(X509_ASN_ENCODING, signer->pCertInfo, trusted->pCertInfo))
        return true;
    return CertCompareCertificateName(X509_ASN_ENCODING, &signer->pCertInfo->Issuer, &trusted->pCertInfo->Subject) &&
           CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                             const_cast<CERT_CONTEXT*>(signer), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                             const_cast<CERT_CONTEXT*>(trusted), 0, nullptr);
}

}  // namespace

SignatureResult CheckSignature(std::span<const std::uint8_t> content, std::span<const std::uint8_t> signature) {
    const Certificate signer = Match(content, signature);
    if (!signer)
        return {SignatureCheck::DoesNotVerify, {}};
    return {SignatureCheck::Verified, SubjectOf(signer.get())};
}

SignatureResult VerifySignature(std::span<const std::uint8_t> content, std::span<const std::uint8_t> signature,
                                std::span<const std::uint8_t> trusted) {
    const Certificate trust = ReadCertificate(trusted);
    if (!trust)
        return {SignatureCheck::NotACertificate, {}};
    const Certificate signer = Match(content, signature);
    if (!signer)
        return {SignatureCheck::DoesNotVerify, {}};
    SignatureResult result{SignatureCheck::Verified, SubjectOf(signer.get())};
    if (!Vouches(trust.get(), signer.get()))
        result.check = SignatureCheck::NotVouchedFor;
    else if (CertVerifyTimeValidity(nullptr, signer->pCertInfo) != 0 ||
             CertVerifyTimeValidity(nullptr, trust->pCertInfo) != 0)
        result.check = SignatureCheck::Expired;
    return result;
}

bool SigningAvailable() { return false; }

std::optional<std::vector<std::uint8_t>> SignContent(std::span<const std::uint8_t>, std::span<const std::uint8_t>,
                                                     std::span<const std::uint8_t>, std::string& why) {
    why = "Signing is not available on this system.";
    return std::nullopt;
}
