#include "device/ack_codes.h"

#include <array>

namespace {

constexpr const char* kError = "Error";

// Codes 0 to 11; every code above goes on silently.
constexpr std::array<AckReaction, 12> kReactions = {{
    {true, "Reserved ACK value, should never receive this", kError},
    {false, nullptr, nullptr},
    {false, nullptr, nullptr},
    {true, "Timeout error, packet too short or no next packet!", kError},
    {true, "Overflow error, packet too big or device is busy!", kError},
    {true, "Memory address error!", kError},
    {true, "Memory write error!", kError},
    {true, "Packet type error!", kError},
    {true, "Hardware ID mismatch!", kError},
    {true, "Packet data length error!", kError},
    {true, "Packet data type error!", kError},
    {false, "Ack with data packet", "Data"},
}};

}  // namespace

AckReaction ReactionToAck(std::uint32_t code) {
    return code < kReactions.size() ? kReactions[code] : AckReaction{};
}
