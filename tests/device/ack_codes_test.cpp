#include "device/ack_codes.h"

#include <gtest/gtest.h>

#include <string>

TEST(AckCodes, EachCodeHasItsMeaning) {
    struct Row {
        std::uint32_t code;
        bool fails;
        const char* text;
        const char* caption;
    };
    const Row table[] = {
        {0, true, "Reserved ACK value, should never receive this", "Error"},
        {1, false, nullptr, nullptr},
        {2, false, nullptr, nullptr},
        {3, true, "Timeout error, packet too short or no next packet!", "Error"},
        {4, true, "Overflow error, packet too big or device is busy!", "Error"},
        {5, true, "Memory address error!", "Error"},
        {6, true, "Memory write error!", "Error"},
        {7, true, "Packet type error!", "Error"},
        {8, true, "Hardware ID mismatch!", "Error"},
        {9, true, "Packet data length error!", "Error"},
        {10, true, "Packet data type error!", "Error"},
        {11, false, "Ack with data packet", "Data"},
        {12, false, nullptr, nullptr},
        {0x100, false, nullptr, nullptr},
        {0xFFFFFFFF, false, nullptr, nullptr},
    };
    for (const Row& row : table) {
        const AckReaction r = ReactionToAck(row.code);
        EXPECT_EQ(r.fails, row.fails) << row.code;
        EXPECT_EQ(r.text ? std::string(r.text) : "", row.text ? std::string(row.text) : "") << row.code;
        EXPECT_EQ(r.caption ? std::string(r.caption) : "", row.caption ? std::string(row.caption) : "") << row.code;
    }
}
