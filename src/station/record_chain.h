#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The record as a hash chain. Each line ends in `,"prev":"HEX"}`: the SHA-256
// of the line before it as written, without its newline (of nothing for a
// file's first line). With a key each line then ends in `,"mac":"HEX"}` too:
// the HMAC-SHA256 under the key of the line's bytes without that member and
// without its newline. All hexadecimal is lower-case.

// What a file's first line chains to: the SHA-256 of nothing.
inline constexpr std::string_view kChainStart = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// The SHA-256 of `line`'s bytes in hexadecimal; empty when it cannot be computed.
std::string LineHash(std::string_view line);
// The HMAC-SHA256 of `bytes` under `key` in hexadecimal; empty when it cannot be computed.
std::string LineMac(std::string_view key, std::string_view bytes);

// What the next line appended to `record` (read before the torn end is closed
// with a newline) chains to: its last line that is a JSON object, with or
// without its newline. A torn line, no JSON object, is passed over.
std::string ChainTail(std::string_view record);

// `line` (a JSON object's text and its newline) with `prev` and, with a key,
// `mac` added; empty when a digest cannot be computed.
std::string SealLine(std::string_view line, std::string_view prev, const std::optional<std::string>& key);

// How the chain of a record reads.
struct ChainCheck {
    enum class Fault { None, Changed, Removed, Inserted, Reordered, Broken };
    Fault fault = Fault::None;
    std::size_t line = 0;  // the first line that does not hold, counted from 1
    std::string why;       // what it looks like, a sentence
    std::size_t lines = 0;           // lines read, torn ones included
    std::vector<std::size_t> torn;   // lines torn by a crash, which the next run passed over
    std::size_t unchained = 0;       // the first lines, written before the record was chained
    bool Holds() const { return fault == Fault::None; }
};

// Checks the chain of `record`, and every line's MAC when `key` is given. The
// record is outside data: any bytes are taken.
ChainCheck CheckRecordChain(std::string_view record, const std::optional<std::string>& key);
