#include "package/package_signature.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <climits>
#include <memory>

namespace {

template <auto Free>
struct Freed {
    template <class T>
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Freed<BIO_free>>;
using Cms = std::unique_ptr<CMS_ContentInfo, Freed<CMS_ContentInfo_free>>;
using Certificate = std::unique_ptr<X509, Freed<X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Freed<EVP_PKEY_free>>;
using Store = std::unique_ptr<X509_STORE, Freed<X509_STORE_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Freed<X509_STORE_CTX_free>>;
struct CertificatesFreed {
    void operator()(STACK_OF(X509) * certificates) const { sk_X509_pop_free(certificates, X509_free); }
};
using Certificates = std::unique_ptr<STACK_OF(X509), CertificatesFreed>;

// OpenSSL's error queue is per thread: left empty, whatever happened here.
struct ErrorsCleared {
    ~ErrorsCleared() { ERR_clear_error(); }
};

Bio MemoryOf(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > INT_MAX)
        return nullptr;
    return Bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// Never asks for a passphrase on the terminal.
int NoPassphrase(char*, int, int, void*) { return -1; }

Certificate ReadCertificate(std::span<const std::uint8_t> bytes) {
    if (const Bio pem = MemoryOf(bytes))
        if (X509* certificate = PEM_read_bio_X509(pem.get(), nullptr, NoPassphrase, nullptr))
            return Certificate(certificate);
    const unsigned char* der = bytes.data();
    if (bytes.size() > LONG_MAX)
        return nullptr;
    return Certificate(d2i_X509(nullptr, &der, static_cast<long>(bytes.size())));
}

Key ReadKey(std::span<const std::uint8_t> bytes) {
    if (const Bio pem = MemoryOf(bytes))
        if (EVP_PKEY* key = PEM_read_bio_PrivateKey(pem.get(), nullptr, NoPassphrase, nullptr))
            return Key(key);
    const Bio der = MemoryOf(bytes);
    return Key(der ? d2i_PrivateKey_bio(der.get(), nullptr) : nullptr);
}

// "CN=Publisher, O=Maker": most specific first, as Windows writes it too.
std::string SubjectOf(X509* certificate) {
    const Bio text(BIO_new(BIO_s_mem()));
    constexpr unsigned long flags =
        (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN;
    if (!text || X509_NAME_print_ex(text.get(), X509_get_subject_name(certificate), 0, flags) < 0)
        return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(text.get(), &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

// A detached signature that matches `content`, with its signer's certificate.
struct Matched {
    Cms cms;
    Certificate signer;
};

std::optional<Matched> Match(std::span<const std::uint8_t> content, std::span<const std::uint8_t> signature) {
    const Bio der = MemoryOf(signature);
    Cms cms(der ? d2i_CMS_bio(der.get(), nullptr) : nullptr);
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed || CMS_is_detached(cms.get()) != 1)
        return std::nullopt;
    // The signature over these bytes (binary: never as text with its line ends changed), no trust yet.
    const Bio data = MemoryOf(content);
    if (!data ||
        CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1)
        return std::nullopt;
    STACK_OF(X509)* signers = CMS_get0_signers(cms.get());
    Certificate signer;
    if (signers && sk_X509_num(signers) == 1 && X509_up_ref(sk_X509_value(signers, 0)) == 1)
        signer.reset(sk_X509_value(signers, 0));
    sk_X509_free(signers);
    if (!signer)
        return std::nullopt;
    return Matched{std::move(cms), std::move(signer)};
}

// Why the store does not vouch for the signer: the chain's own verdict.
SignatureCheck Untrusted(X509_STORE* store, const Matched& matched) {
    const StoreContext context(X509_STORE_CTX_new());
    const Certificates carried(CMS_get1_certs(matched.cms.get()));
    if (!context || X509_STORE_CTX_init(context.get(), store, matched.signer.get(), carried.get()) != 1)
        return SignatureCheck::NotVouchedFor;
    if (X509_verify_cert(context.get()) == 1)
        return SignatureCheck::NotVouchedFor;  // the chain holds, the signature's own use of it does not
    const int error = X509_STORE_CTX_get_error(context.get());
    return error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID
               ? SignatureCheck::Expired
               : SignatureCheck::NotVouchedFor;
}

}  // namespace

SignatureResult CheckSignature(std::span<const std::uint8_t> content, std::span<const std::uint8_t> signature) {
    const ErrorsCleared cleared;
    const auto matched = Match(content, signature);
    if (!matched)
        return {SignatureCheck::DoesNotVerify, {}};
    return {SignatureCheck::Verified, SubjectOf(matched->signer.get())};
}

SignatureResult VerifySignature(std::span<const std::uint8_t> content, std::span<const std::uint8_t> signature,
                                std::span<const std::uint8_t> trusted) {
    const ErrorsCleared cleared;
    const Certificate trust = ReadCertificate(trusted);
    if (!trust)
        return {SignatureCheck::NotACertificate, {}};
    const auto matched = Match(content, signature);
    if (!matched)
        return {SignatureCheck::DoesNotVerify, {}};
    SignatureResult result{SignatureCheck::Verified, SubjectOf(matched->signer.get())};
    // The trusted certificate alone, never the system's roots; a trusted
    // publisher's own certificate ends the chain as well as a CA does.
    const Store store(X509_STORE_new());
    const Bio data = MemoryOf(content);
    if (!store || !data || X509_STORE_add_cert(store.get(), trust.get()) != 1 ||
        X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1 ||
        // A publisher signs with a certificate for signing code, not for mail:
        // whom the trusted certificate vouches for is the question, not the use.
        X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY) != 1) {
        result.check = SignatureCheck::NotVouchedFor;
        return result;
    }
    if (CMS_verify(matched->cms.get(), nullptr, store.get(), data.get(), nullptr, CMS_BINARY) != 1)
        result.check = Untrusted(store.get(), *matched);
    return result;
}

bool SigningAvailable() { return true; }

std::optional<std::vector<std::uint8_t>> SignContent(std::span<const std::uint8_t> content,
                                                     std::span<const std::uint8_t> certificate,
                                                     std::span<const std::uint8_t> key, std::string& why) {
    const ErrorsCleared cleared;
    const Certificate signer = ReadCertificate(certificate);
    why = "The signer's certificate is not a certificate (PEM or DER).";
    if (!signer)
        return std::nullopt;
    const Key privateKey = ReadKey(key);
    why = "The key is not a private key (PEM or DER, without a passphrase).";
    if (!privateKey)
        return std::nullopt;
    why = "The key is not the signer certificate's own.";
    if (X509_check_private_key(signer.get(), privateKey.get()) != 1)
        return std::nullopt;
    const Bio data = MemoryOf(content);
    why = "The signature cannot be made.";
    const Cms cms(data ? CMS_sign(signer.get(), privateKey.get(), nullptr, data.get(),
                                  CMS_BINARY | CMS_DETACHED | CMS_NOATTR)
                       : nullptr);
    const Bio out(BIO_new(BIO_s_mem()));
    if (!cms || !out || i2d_CMS_bio(out.get(), cms.get()) != 1)
        return std::nullopt;
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(out.get(), &bytes);
    if (length <= 0)
        return std::nullopt;
    why.clear();
    return std::vector<std::uint8_t>(bytes, bytes + length);
}
