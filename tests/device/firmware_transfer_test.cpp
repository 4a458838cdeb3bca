#include "device/firmware_transfer.h"
#include "support/package_files.h"
#include "package/package_header.h"
#include "package/package_writer.h"
#include "platform/exclusive_file.h"
#include "support/transfer_fixtures.h"

#include "device/ack_codes.h"

#include <functional>

#include <gtest/gtest.h>

#include <numeric>

namespace {

using Report = std::vector<std::uint8_t>;
using Kind = BlockAnswer::Kind;

// One product attached to the simulated system, opened, and a package for it.
struct Bench {
    SimulatedHid hid;
    std::unique_ptr<HidDevice> device;
    std::vector<std::uint8_t> package;
    RecordingView view;

    Bench(std::size_t lout, std::size_t lin, std::uint32_t blockLength, std::vector<std::uint8_t> payload,
          std::vector<BlockAnswer> answers = {}, std::optional<std::size_t> goneAfter = std::nullopt,
          std::optional<std::size_t> stallsAfter = std::nullopt, std::uint8_t outputReportId = 0,
          int cancelSlices = 0) {
        PackageContents c = SamplePackage();
        c.blockLength = blockLength;
        c.firmware = std::move(payload);
        package = BuildPackage(c);

        SimulatedInterface i;
        i.vendorId = c.vendorId;
        i.productId = c.productId;
        i.product = ProductFor(c, lout, lin, std::move(answers));
        i.goneAfterReports = goneAfter;
        i.stallsAfterReports = stallsAfter;
        i.product.outputReportId = outputReportId;
        i.cancelSlices = cancelSlices;
        hid.Attach(i);
        device = hid.OpenDevice(hid.PresentInterfaces()->At(0).path);
    }

    void Run() { TransferFirmware(view, *device, std::make_unique<MemoryPackage>(package)); }
    void RunWith(std::unique_ptr<PackageFile> file) { TransferFirmware(view, *device, std::move(file)); }
    const InterfaceLog& Log() const { return hid.Log(0); }
    std::vector<std::uint8_t> Payload() const {
        return {package.begin() + qeff::PayloadOffset, package.end()};
    }
};

Report Bytes(std::initializer_list<int> values) {
    Report r;
    for (int v : values)
        r.push_back(static_cast<std::uint8_t>(v));
    return r;
}

TEST(TransferGeometry, BlocksOfTwentyInReportsOfEight) {
    // Lout 9 (eight payload bytes per report), BlockLength 20, 45 payload bytes.
    std::vector<std::uint8_t> payload(45);
    std::iota(payload.begin(), payload.end(), 100);  // p[i] = 100 + i
    Bench b(9, 9, 20, payload);
    b.Run();

    EXPECT_EQ(b.Log().sequence, "WWWRWWWRWR");
    const std::vector<Report> expected = {
        Bytes({0, 100, 101, 102, 103, 104, 105, 106, 107}),
        Bytes({0, 108, 109, 110, 111, 112, 113, 114, 115}),
        // The block ends after four bytes; the rest still holds the previous report's bytes.
        Bytes({0, 116, 117, 118, 119, 112, 113, 114, 115}),
        Bytes({0, 120, 121, 122, 123, 124, 125, 126, 127}),
        Bytes({0, 128, 129, 130, 131, 132, 133, 134, 135}),
        Bytes({0, 136, 137, 138, 139, 132, 133, 134, 135}),
        Bytes({0, 140, 141, 142, 143, 144, 133, 134, 135}),
    };
    EXPECT_EQ(b.Log().reports, expected);
    EXPECT_EQ(b.hid.Product(0).Payload(), payload) << "the product rebuilds the payload exactly";
    EXPECT_EQ(b.view.messages, std::vector<std::string>{kSuccess});
}

TEST(TransferGeometry, OneAcknowledgementPerReportWhenABlockFillsAReport) {
    Bench b(9, 9, 8, CountingPayload(30));
    b.Run();
    EXPECT_EQ(b.Log().sequence, "WRWRWRWR");
    EXPECT_EQ(b.hid.Product(0).Payload(), b.Payload());
}

TEST(TransferGeometry, WithoutACompletingBlockOnlyTheEndIsAcknowledged) {
    for (std::uint32_t blockLength : {0u, 1000u}) {
        Bench b(9, 9, blockLength, CountingPayload(45));
        b.Run();
        EXPECT_EQ(b.Log().sequence, "WWWWWWR") << "BlockLength " << blockLength;
        EXPECT_EQ(b.view.messages, std::vector<std::string>{kSuccess});
        EXPECT_EQ(b.hid.Product(0).Payload(), b.Payload());
    }
}

TEST(TransferGeometry, AnEmptyPayloadSendsNothingAndSucceeds) {
    Bench b(65, 65, 4096, {});
    b.Run();
    EXPECT_EQ(b.Log().sequence, "");
    EXPECT_EQ(b.view.messages, std::vector<std::string>{kSuccess});
    EXPECT_EQ(b.view.gauge, (std::vector<int>{100, 0}));
}

// Fault caught (report ID 2): byte 0 left at 0 for a product whose reports
// carry IDs, which then takes none of them.
TEST(TransferGeometry, ReportsCarryTheProductsOwnReportIdAndTheBoundsAreFixed) {
    for (const std::uint8_t id : {0, 2}) {
        SCOPED_TRACE("output report ID " + std::to_string(id));
        Bench b(65, 65, 100, CountingPayload(1000), {}, std::nullopt, std::nullopt, id);
        b.Run();
        ASSERT_FALSE(b.Log().reports.empty());
        for (const Report& r : b.Log().reports) {
            EXPECT_EQ(r.size(), 65u);
            EXPECT_EQ(r[0], id);
        }
        for (auto bound : b.Log().writeBounds)
            EXPECT_EQ(bound, std::chrono::milliseconds(50));
        for (auto bound : b.Log().readBounds)
            EXPECT_EQ(bound, std::chrono::milliseconds(300));
        EXPECT_EQ(b.Log().readBounds.size(), 10u);
        EXPECT_EQ(b.view.eventRounds, static_cast<int>(b.Log().reports.size())) << "events run after every report";
        EXPECT_EQ(b.hid.Product(0).Payload(), b.Payload());
        EXPECT_EQ(b.hid.Product(0).ReportsRefused(), 0u);
        EXPECT_EQ(b.view.messages, std::vector<std::string>{kSuccess});
    }
}

TEST(TransferGauge, CountsReportsUntilItCatchesUp) {
    // A payload as long as the header: the first report already makes P 50.
    Bench b(65, 65, 1u << 20, CountingPayload(4411));
    b.Run();
    std::vector<int> expected;
    for (int v = 2; v <= 70; ++v)  // 69 reports: one point each
        expected.push_back(v);
    expected.push_back(100);
    expected.push_back(0);
    EXPECT_EQ(b.Log().reports.size(), 69u);
    EXPECT_EQ(b.view.gauge, expected);
}

TEST(TransferGauge, FollowsProgressOnALongPayload) {
    Bench b(65, 65, 4096, CountingPayload(200000));
    b.Run();
    std::vector<int> expected;
    for (int v = 2; v <= 99; ++v)
        expected.push_back(v);
    expected.push_back(100);
    expected.push_back(0);
    EXPECT_EQ(b.view.gauge, expected);
}

TEST(TransferAnswers, FailingCodesStopTheTransferWithTheirMessage) {
    for (std::uint32_t code : {0u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u}) {
        // Four blocks; the second one is refused.
        Bench b(9, 9, 8, CountingPayload(32), {BlockAnswer::Code(1), BlockAnswer::Code(code)});
        b.Run();
        EXPECT_EQ(b.Log().sequence, "WRWR") << code;
        ASSERT_EQ(b.view.messages.size(), 1u) << code;
        EXPECT_EQ(b.view.messages[0], Msg("Error", ReactionToAck(code).text)) << code;
        EXPECT_EQ(b.view.gauge.back(), 0);
    }
}

TEST(TransferAnswers, GoOnCodesAreSilent) {
    for (std::uint32_t code : {1u, 2u, 12u, 99u, 0xFFFFFFFFu}) {
        Bench c(9, 9, 8, CountingPayload(24),
                {BlockAnswer::Code(code), BlockAnswer::Code(code), BlockAnswer::Code(code)});
        c.Run();
        EXPECT_EQ(c.Log().sequence, "WRWRWR") << code;
        EXPECT_EQ(c.view.messages, std::vector<std::string>{kSuccess}) << code;
    }
}

TEST(TransferAnswers, CodeElevenIsShownEachTimeAndTheTransferGoesOn) {
    Bench b(9, 9, 8, CountingPayload(32),
            {BlockAnswer::Code(11), BlockAnswer::Code(1), BlockAnswer::Code(11), BlockAnswer::Code(11)});
    b.Run();
    const std::string data = Msg("Data", "Ack with data packet");
    EXPECT_EQ(b.view.messages, (std::vector<std::string>{data, data, data, kSuccess}));
    EXPECT_EQ(b.Log().sequence, "WRWRWRWR");
}

TEST(TransferAnswers, NoAnswerOrAnAbandonedWaitEndsWithTheTimeoutMessage) {
    for (Kind kind : {Kind::Silence, Kind::AbandonWait}) {
        Bench b(9, 9, 8, CountingPayload(32), {BlockAnswer::Code(1), BlockAnswer::Of(kind)});
        b.Run();
        EXPECT_EQ(b.Log().sequence, "WRWRC") << "pending I/O is cancelled, nothing more is sent";
        EXPECT_EQ(b.view.messages, std::vector<std::string>{kTimeout});
        EXPECT_EQ(b.view.gauge.back(), 0);
    }
}

TEST(TransferAnswers, GarbageOrAFailedWaitCountsAsNoAnswer) {
    for (Kind kind : {Kind::NoSignature, Kind::FailWait}) {
        // Also for the very last block: the success box still follows.
        Bench b(9, 9, 8, CountingPayload(24), {BlockAnswer::Of(kind), BlockAnswer::Code(1), BlockAnswer::Of(kind)});
        b.Run();
        EXPECT_EQ(b.Log().sequence, "WRWRWR");
        EXPECT_EQ(b.view.messages, std::vector<std::string>{kSuccess});
    }
}

TEST(TransferAnswers, AcknowledgementSignatureNeedsAllFourBytes) {
    // An acknowledgement whose code says "fail" but whose signature is one byte
    // short is no acknowledgement: the transfer goes on.
    Bench b(9, 9, 8, CountingPayload(16), {BlockAnswer::Of(Kind::NoSignature)});
    b.Run();
    EXPECT_EQ(b.view.messages, std::vector<std::string>{kSuccess});
}

TEST(TransferAnswers, AProductThatDisappearsNeverEndsInSuccess) {
    const auto payload = CountingPayload(40);  // five reports of eight, block 16
    for (std::size_t gone = 0; gone <= 5; ++gone) {
        Bench b(9, 9, 16, payload, {}, gone);
        b.Run();
        EXPECT_EQ(b.Log().reports.size(), gone);
        EXPECT_EQ(b.view.messages, std::vector<std::string>{kTimeout}) << "gone after " << gone;
        EXPECT_EQ(b.view.gauge.back(), 0);
    }
}

TEST(TransferAnswers, AProductThatStopsTakingReportsEndsWithTheTimeoutMessage) {
    // Blocks of three reports; the product takes four reports, then no more.
    // Writes that time out are not the end: the block is sent out, then its
    // acknowledgement is waited for in vain.
    // Its driver takes three slices to end what is cancelled.
    Bench b(9, 9, 24, CountingPayload(72), {}, std::nullopt, 4, 0, 3);
    b.Run();
    EXPECT_EQ(b.Log().sequence, "WWWRWWWRC");
    EXPECT_EQ(b.Log().reports.size(), 4u);
    // Events run with every report, through the silent wait and through the
    // cancel's: 6 + 300 ms / 10 ms - 1 + 3. Fault caught: a window frozen
    // while a driver takes its time to end the cancelled requests.
    EXPECT_EQ(b.view.eventRounds, 38);
    EXPECT_EQ(b.view.messages, std::vector<std::string>{kTimeout});
    EXPECT_EQ(b.view.gauge.back(), 0);
}

TEST(TransferFiles, FileProblemsSendNothing) {
    struct Case {
        const char* what;
        std::function<std::unique_ptr<PackageFile>(const std::vector<std::uint8_t>&)> file;
        std::string message;
        std::vector<int> gauge;
    };
    const std::string cantOpen = Msg("File Error", "Can't open file!");
    const std::vector<Case> cases = {
        {"cannot be opened", [](auto&) { return nullptr; }, cantOpen, {}},
        {"size unknown",
         [](auto& bytes) {
             auto f = std::make_unique<MemoryPackage>(bytes);
             f->sizeUnknown = true;
             return f;
         },
         cantOpen, {0}},
        {"shorter than a header now",
         [](auto& bytes) { return std::make_unique<MemoryPackage>(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4410)); },
         Msg("File Error", "Wrong file format!"), {0}},
        {"no package any more",
         [](auto& bytes) {
             auto replaced = bytes;
             replaced[0] = 'X';
             return std::make_unique<MemoryPackage>(replaced);
         },
         Msg("File Error", "Wrong file format!"), {0}},
        {"read stops early",
         [](auto& bytes) {
             auto f = std::make_unique<MemoryPackage>(bytes);
             f->deliversAtMost = bytes.size() - 1;
             return f;
         },
         cantOpen, {0}},
        {"too large to hold",
         [](auto& bytes) {
             auto f = std::make_unique<MemoryPackage>(bytes);
             f->claimedSize = std::uint64_t{1} << 62;  // no allocator can give this
             return f;
         },
         Msg("File Error", "Can't allocate memory for the file context!"), {0}},
    };
    for (const Case& c : cases) {
        Bench b(9, 9, 8, CountingPayload(24));
        b.RunWith(c.file(b.package));
        EXPECT_EQ(b.Log().sequence, "") << c.what;
        EXPECT_EQ(b.view.messages, std::vector<std::string>{c.message}) << c.what;
        EXPECT_EQ(b.view.gauge, c.gauge) << c.what;
    }
}

TEST(TransferFiles, TheWholeFileIsReadAgainFromDisk) {
    TempFolder folder;
    Bench b(65, 65, 4096, CountingPayload(5000));
    WriteBytes(folder / "p.qeff", b.package);
    b.RunWith(OpenFileExclusive((folder / "p.qeff").string()));
    EXPECT_EQ(b.hid.Product(0).Payload(), b.Payload());
    EXPECT_EQ(b.view.messages, std::vector<std::string>{kSuccess});
}

TEST(TransferDevice, UnsupportedReportLengthsSendNothing) {
    struct Lengths {
        std::size_t lout, lin;
    };
    for (Lengths l : {Lengths{1, 65}, Lengths{0, 65}, Lengths{65, 8}, Lengths{65, 0}}) {
        Bench b(l.lout, l.lin, 8, CountingPayload(24));
        b.Run();
        EXPECT_EQ(b.Log().sequence, "") << l.lout << "/" << l.lin;
        EXPECT_EQ(b.view.messages, std::vector<std::string>{Msg("Error", "Device report length not supported!")});
        EXPECT_EQ(b.view.gauge, std::vector<int>{0});
    }
    // The smallest lengths that work: one payload byte per report, a bare acknowledgement.
    Bench smallest(2, 9, 3, CountingPayload(7));
    smallest.Run();
    EXPECT_EQ(smallest.Log().sequence, "WWWRWWWRWR");
    EXPECT_EQ(smallest.hid.Product(0).Payload(), smallest.Payload());
}

TEST(TransferDevice, LengthsThatCannotBeReadSendNothing) {
    SimulatedHid hid;
    SimulatedInterface i;
    i.capabilitiesReadable = false;
    hid.Attach(i);
    auto device = hid.OpenDevice(hid.PresentInterfaces()->At(0).path);
    RecordingView view;
    TransferFirmware(view, *device, std::make_unique<MemoryPackage>(BuildPackage(SamplePackage())));
    EXPECT_EQ(hid.Log(0).sequence, "");
    EXPECT_EQ(view.messages, std::vector<std::string>{Msg("Error", "Device report length not supported!")});
}

}  // namespace
