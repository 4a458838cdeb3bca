#include "simulated/simulated_product.h"

#include <algorithm>

SimulatedProduct::SimulatedProduct(ProductConfig config) : config_(std::move(config)) {}

void SimulatedProduct::Receive(std::span<const std::uint8_t> report) {
    if (report.size() != config_.outputReportLength || report.size() < 2 || report[0] != config_.outputReportId) {
        ++refused_;
        return;
    }
    if (Complete())
        return;
    // A block starts at byte 1 of a report; its last report may carry fewer
    // meaningful bytes than fit, and the rest of that report is not payload.
    std::size_t take = std::min(report.size() - 1, config_.payloadSize - payload_.size());
    if (config_.blockLength != 0)
        take = static_cast<std::size_t>(std::min<std::uint64_t>(take, config_.blockLength - blockFill_));
    payload_.insert(payload_.end(), report.begin() + 1, report.begin() + 1 + static_cast<std::ptrdiff_t>(take));
    blockFill_ += take;
    if (blockFill_ == config_.blockLength || Complete()) {
        blockFill_ = 0;
        due_.push_back(blocks_ < config_.answers.size() ? config_.answers[blocks_] : config_.otherwise);
        ++blocks_;
    }
}

std::optional<BlockAnswer> SimulatedProduct::TakeAnswer() {
    if (due_.empty())
        return std::nullopt;
    const BlockAnswer answer = due_.front();
    due_.pop_front();
    return answer;
}

std::vector<std::uint8_t> SimulatedProduct::ReportFor(const BlockAnswer& answer) const {
    std::vector<std::uint8_t> report(config_.inputReportLength, 0);
    if (report.empty())
        return report;
    report[0] = config_.inputReportId;
    if (answer.kind == BlockAnswer::Kind::Ack) {
        for (std::size_t i = 1; i < 5 && i < report.size(); ++i)
            report[i] = 0x77;
        for (std::size_t i = 0; i < 4 && 5 + i < report.size(); ++i)
            report[5 + i] = static_cast<std::uint8_t>(answer.code >> (8 * i));
    } else {
        // Looks almost like an acknowledgement, but its last signature byte is
        // off; its code would end the transfer, were it taken for one.
        for (std::size_t i = 1; i < report.size(); ++i)
            report[i] = 0x77;
        if (report.size() > 4)
            report[4] = 0x76;
        if (report.size() > 8)
            report[5] = 6, report[6] = report[7] = report[8] = 0;  // "Memory write error!"
    }
    return report;
}
