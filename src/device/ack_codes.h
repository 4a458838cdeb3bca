#pragma once

#include <cstdint>

// The product answers each block with an acknowledgement: four bytes 0x77 and a
// little-endian status code. This is what each code means for the transfer.
inline constexpr std::uint8_t AckSignatureByte = 0x77;

struct AckReaction {
    bool fails = false;            // the transfer stops
    const char* text = nullptr;    // message to show, or nullptr for none
    const char* caption = nullptr;
};

AckReaction ReactionToAck(std::uint32_t code);
