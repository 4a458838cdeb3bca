#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

// The firmware-taking side of a product, without any transport: it takes output
// reports, rebuilds the payload block by block and queues one scripted answer
// per finished block. The in-process simulated HID device and the virtual
// product on a real kernel both run this same logic.

// What the product does when a block is finished.
struct BlockAnswer {
    enum class Kind {
        Ack,           // an acknowledgement with `code`
        NoSignature,   // a full input report that is not an acknowledgement
        Silence,       // no answer at all: the host's wait times out
        AbandonWait,   // the host's wait ends abandoned (in-process only)
        FailWait,      // the host's wait fails (in-process only)
    };
    Kind kind = Kind::Ack;
    std::uint32_t code = 1;

    static BlockAnswer Code(std::uint32_t c) { return {Kind::Ack, c}; }
    static BlockAnswer Of(Kind k) { return {k, 0}; }
};

struct ProductConfig {
    std::size_t outputReportLength = 65;  // counting the report-ID byte
    std::size_t inputReportLength = 65;   // counting the report-ID byte
    std::uint8_t inputReportId = 0;
    std::uint8_t outputReportId = 0;      // the only ID the product takes its data in
    std::uint32_t blockLength = 4096;     // 0: only the end of the payload ends a block
    std::size_t payloadSize = 0;          // how much the product expects in all
    std::vector<BlockAnswer> answers;     // by block index; later blocks get `otherwise`
    BlockAnswer otherwise = BlockAnswer::Code(1);
};

class SimulatedProduct {
public:
    explicit SimulatedProduct(ProductConfig config);

    const ProductConfig& Config() const { return config_; }

    // Takes one output report (byte 0 is the report ID). One of another ID or
    // length is refused, as a real product drops it: nothing of it is payload.
    void Receive(std::span<const std::uint8_t> report);

    // The next queued answer, oldest first; nullopt when none is due.
    std::optional<BlockAnswer> TakeAnswer();

    // An input report of inputReportLength bytes for `answer` (Ack or NoSignature),
    // byte 0 the report ID.
    std::vector<std::uint8_t> ReportFor(const BlockAnswer& answer) const;

    const std::vector<std::uint8_t>& Payload() const { return payload_; }
    std::size_t BlocksFinished() const { return blocks_; }
    std::size_t ReportsRefused() const { return refused_; }
    bool Complete() const { return payload_.size() >= config_.payloadSize; }

private:
    ProductConfig config_;
    std::vector<std::uint8_t> payload_;
    std::uint64_t blockFill_ = 0;
    std::size_t blocks_ = 0;
    std::size_t refused_ = 0;
    std::deque<BlockAnswer> due_;
};
