// Packages signed by their publisher, against signatures the openssl command
// made (tests/package/make_signatures.sh): the same table on every system.

#include "package/package_signature.h"
#include "package/signed_package.h"
#include "support/package_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>

namespace {

const std::filesystem::path kMade = QEFF_SIGNATURES_FOLDER;

std::string Made(const std::string& name) { return Utf8(kMade / name); }

struct Row {
    const char* caught;  // the fault the row catches
    const char* folder;  // its package.qeff, and what lies beside it
    const char* trust;
    SignatureFault fault;
    const char* signer;
    const char* told;  // a part of the text the user is told
};

const Row kRows[] = {
    {"the publisher's own certificate not taken as a trust", "good", "leaf.pem", SignatureFault::None, "CN=Publisher",
     ""},
    {"the CA that issued the signer's certificate not taken, nor a DER one", "good", "ca.der", SignatureFault::None,
     "CN=Publisher", ""},
    {"a certificate for signing code refused for want of the mail signer's use", "code", "ca.pem",
     SignatureFault::None, "CN=Code Publisher", ""},
    {"a trusted code-signing certificate of the publisher's own refused", "code", "code.pem", SignatureFault::None,
     "CN=Code Publisher", ""},
    {"a signature checked against the system's roots or the signature's own certificates", "other", "ca.pem",
     SignatureFault::NotVouchedFor, "CN=Someone Else",
     "is signed by \"CN=Someone Else\", whom the trusted certificate"},
    {"a trusted leaf taken for any signer", "good", "other.pem", SignatureFault::NotVouchedFor, "CN=Publisher",
     "does not vouch for"},
    {"a package changed after it was signed accepted", "changed", "leaf.pem", SignatureFault::DoesNotVerify, "",
     "does not verify: the package or its signature was changed"},
    {"an expired signer accepted, or told as a stranger", "expired", "ca.pem", SignatureFault::Expired,
     "CN=Old Publisher", "has expired or is not yet valid"},
    {"an expired trusted certificate accepted", "expired", "expired.pem", SignatureFault::Expired, "CN=Old Publisher",
     "has expired"},
    {"random bytes taken for a signature", "garbage", "leaf.pem", SignatureFault::DoesNotVerify, "", "does not verify"},
    {"a signature cut short read past its end", "truncated", "leaf.pem", SignatureFault::DoesNotVerify, "",
     "does not verify"},
    {"a huge file taken for a signature, read without a bound", "huge", "leaf.pem",
     SignatureFault::SignatureUnreadable, "", "is larger than 1 MiB"},
    {"a package without a signature accepted", "none", "leaf.pem", SignatureFault::NoSignature, "",
     "is not signed: no signature"},
    {"a trust that is no certificate taken for one", "good", "garbage.pem", SignatureFault::TrustUnreadable, "",
     "is not a certificate (PEM or DER)"},
    {"a missing trust file taken for none", "good", "absent.pem", SignatureFault::TrustUnreadable, "",
     "cannot be read"},
};

// Each row by what it catches, in the test's name and its failures.
void PrintTo(const Row& row, std::ostream* out) { *out << row.caught; }

class SignedPackage : public testing::TestWithParam<Row> {};

TEST_P(SignedPackage, IsAcceptedOnlyWhenTheTrustedCertificateVouchesForItsSigner) {
    const Row& row = GetParam();
    SCOPED_TRACE(row.caught);
    const auto package = kMade / row.folder / "package.qeff";
    const SignatureVerdict verdict = VerifyPackageSignature(Utf8(package), ReadBytes(package), Made(row.trust));
    EXPECT_EQ(verdict.fault, row.fault);
    EXPECT_EQ(verdict.signer, row.signer);
    EXPECT_NE(verdict.text.find(row.told), std::string::npos) << verdict.text;
    EXPECT_EQ(verdict.text.empty(), row.fault == SignatureFault::None);
}

INSTANTIATE_TEST_SUITE_P(MadeByOpenssl, SignedPackage, testing::ValuesIn(kRows));

// Fault caught: show naming no signer, or a changed package's signer, without --trust.
TEST(NamedSigner, IsTheSignaturesOwnWhenItMatchesThePackage) {
    const auto named = [](const char* folder) {
        const auto package = kMade / folder / "package.qeff";
        return NamedSigner(Utf8(package), ReadBytes(package));
    };
    ASSERT_TRUE(named("other"));
    EXPECT_EQ(named("other")->signer, "CN=Someone Else");
    EXPECT_EQ(named("expired")->fault, SignatureFault::None);
    EXPECT_EQ(named("changed")->fault, SignatureFault::DoesNotVerify);
    EXPECT_EQ(named("huge")->fault, SignatureFault::SignatureUnreadable);
    EXPECT_FALSE(named("none"));
}

// Fault caught: a signature made here that another implementation cannot verify
// (not binary, attributes, the content inside it).
TEST(SignContent, MakesWhatTheTrustAcceptsAndTheOtherKeyCannot) {
    const auto content = ReadBytes(kMade / "package.qeff");
    std::string why;
    if (!SigningAvailable())
        GTEST_SKIP() << "this system makes no signatures";
    const auto signature = SignContent(content, ReadBytes(kMade / "leaf.pem"), ReadBytes(kMade / "leaf.key"), why);
    ASSERT_TRUE(signature) << why;
    const SignatureResult result = VerifySignature(content, *signature, ReadBytes(kMade / "ca.pem"));
    EXPECT_EQ(result.check, SignatureCheck::Verified);
    EXPECT_EQ(result.signer, "CN=Publisher");
    EXPECT_FALSE(SignContent(content, ReadBytes(kMade / "leaf.pem"), ReadBytes(kMade / "other.key"), why));
    EXPECT_EQ(why, "The key is not the signer certificate's own.");
#ifndef _WIN32
    TempFolder folder;
    WriteBytes(folder / "p.p7s", *signature);
    const std::string verify = "openssl cms -verify -binary -inform DER -in '" + Utf8(folder / "p.p7s") +
                               "' -content '" + Utf8(kMade / "package.qeff") + "' -CAfile '" + Made("ca.pem") +
                               "' -out /dev/null 2>/dev/null";
    EXPECT_EQ(std::system(verify.c_str()), 0);
#endif
}

}  // namespace
