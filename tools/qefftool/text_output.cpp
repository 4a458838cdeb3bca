#include "qefftool/text_output.h"

#include "device/usb_release.h"

#include "qefftool/product_ids_text.h"
#include "qefftool/visible_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedraw = std::chrono::milliseconds(100);  // at most ten times a second

std::string Bytes(double n) {
    char text[32];
    if (n >= 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", n / (1024 * 1024));
    else if (n >= 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", n / 1024);
    else
        std::snprintf(text, sizeof text, "%.0f B", n);
    return text;
}

}  // namespace

std::string TextOutput::Prefix(const std::string& path) const {
    return products_ > 1 && !path.empty() ? VisibleText(path) + ": " : "";
}

void TextOutput::EndBar() {
    // The bar shows the latest step before anything is said under it.
    if (barOpen_ && bar_ && !bar_->drawn)
        DrawBar(*bar_, Clock::now());
    if (barOpen_)
        out_ << "\n";
    barOpen_ = false;
}

void TextOutput::DrawBar(Transfer& t, Clock::time_point now) {
    t.lastShown = now;
    t.drawn = true;
    const std::uint64_t sent = t.sent, total = t.total;
    const int percent = total ? static_cast<int>(sent * 100 / total) : 100;
    const double seconds = std::chrono::duration<double>(now - t.start).count();
    const double rate = seconds > 0 ? static_cast<double>(sent) / seconds : 0;
    const double left = rate > 0 ? static_cast<double>(total - sent) / rate : 0;
    const int filled = percent * 30 / 100;
    char line[160];
    std::snprintf(line, sizeof line, "\r[%s%s] %3d%%  %s / %s  %s/s  %ds left ", std::string(filled, '#').c_str(),
                  std::string(30 - filled, '.').c_str(), percent, Bytes(static_cast<double>(sent)).c_str(),
                  Bytes(static_cast<double>(total)).c_str(), Bytes(rate).c_str(), static_cast<int>(std::lround(left)));
    out_ << line << std::flush;
    barOpen_ = true;
}

void TextOutput::Package(const PackageSummary& p) {
    const std::lock_guard lock(mutex_);
    // The texts come from whoever made the package: never let loose on the terminal.
    out_ << VisibleText(p.path) << ": \"" << QuotedText(p.productName) << "\" (product code "
         << VisibleText(p.productCode) << ", firmware code " << VisibleText(p.firmwareCode) << ") for "
         << ProductIdsText(p.vendorId, p.productId) << ", payload "
         << p.payloadSize << " bytes in blocks of " << p.blockLength << "\n";
    if (!p.signer.empty())
        out_ << "signed by \"" << QuotedText(p.signer) << "\", whom the trusted certificate vouches for\n";
}

void TextOutput::Found(const std::string& path, std::size_t index, const DeviceIdentity& identity) {
    const std::lock_guard lock(mutex_);
    ++products_;
    out_ << "found " << VisibleText(path) << " (interface " << index;
    if (!identity.serial.empty())
        out_ << ", serial \"" << QuotedText(identity.serial) << "\"";
    if (!identity.location.empty())
        out_ << ", at \"" << QuotedText(identity.location) << "\"";
    out_ << ")\n";
}

void TextOutput::Plan(const std::string& path, const ReportLengths& lengths, const TransferPlan& plan) {
    const std::lock_guard lock(mutex_);
    out_ << VisibleText(path) << ": reports of " << lengths.OutputReportByteLength << " bytes out, "
         << lengths.InputReportByteLength << " in; would send " << plan.reports << " reports (" << plan.reportBytes
         << " bytes) in " << plan.blocks << " blocks and read " << plan.blocks
         << " acknowledgements; nothing sent\n";
}

void TextOutput::Progress(const std::string& path, std::uint64_t sent, std::uint64_t total) {
    const std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    Transfer& t = transfers_[path];
    if (!t.shown) {
        t.start = now;
        t.shown = true;
    }
    const bool last = sent >= total;
    const int percent = total ? static_cast<int>(sent * 100 / total) : 100;
    if (terminal_ && products_ <= 1) {
        t.sent = sent;
        t.total = total;
        t.drawn = false;
        bar_ = &t;
        if (last || t.lastShown.time_since_epoch().count() == 0 || now - t.lastShown >= kRedraw)
            DrawBar(t, now);
        return;
    }
    // Plain lines: one at each tenth of the way.
    const int tenth = percent / 10;
    if (tenth == t.lastTenth)
        return;
    t.lastTenth = tenth;
    out_ << Prefix(path) << tenth * 10 << "% (" << sent << " of " << total << " bytes)\n";
}

void TextOutput::Message(const std::string& path, const std::string& caption, const std::string& text,
                         MessageStyle) {
    const std::lock_guard lock(mutex_);
    EndBar();
    std::string shown = text;
    std::replace(shown.begin(), shown.end(), '\n', ' ');  // one line a message
    out_ << Prefix(path) << caption << ": " << VisibleText(shown) << "\n";
}

void TextOutput::Result(const UpgradeEnd& end) {
    const std::lock_guard lock(mutex_);
    EndBar();
    if (end.verified.value_or(false) && end.releaseAfter)
        out_ << VisibleText(end.path) << ": verified: back with release " << ReleaseText(*end.releaseAfter) << "\n";
    if (products_ > 1)
        out_ << VisibleText(end.path) << ": " << OutcomeName(end.outcome) << " (exit code "
             << OutcomeNumber(end.outcome) << ")\n";
}

void TextOutput::Summary(const std::map<Outcome, int>& outcomes, Outcome end) {
    const std::lock_guard lock(mutex_);
    EndBar();
    int products = 0, upgraded = 0;
    for (const auto& [outcome, count] : outcomes) {
        products += count;
        upgraded += Succeeded(outcome) ? count : 0;
    }
    if (products > 1)
        out_ << upgraded << " of " << products
             << " products upgraded; exit code " << OutcomeNumber(end) << "\n";
}
