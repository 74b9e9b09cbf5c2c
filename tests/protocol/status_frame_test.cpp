#include "protocol/status_frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>

#include "support/reference_crc.h"

using namespace velocart;

namespace {

constexpr std::uint8_t kWorkedFrame[30] = {
    0xAA, 0x1A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0xFF, 0x00, 0x01, 0x00, 0x00, 0x80,
    0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x08, 0x00, 0xF0, 0x9D, 0x7A};

using Vector = std::array<double, kStatusVectorSize>;

// Frames are judged in place at the start of a 1024-byte receive buffer.
class StatusFrameTest : public ::testing::Test {
protected:
    std::uint8_t buffer[1024] = {};

    void place(const std::uint8_t* frame, std::size_t size) { std::memcpy(buffer, frame, size); }

    // Seals the buffer with the reference CRC over offsets 1..L+1.
    void seal() {
        const std::uint16_t crc = velocart_test::referenceCrc16(buffer + 1, buffer[1] + 1u);
        buffer[28] = static_cast<std::uint8_t>(crc >> 8);
        buffer[29] = static_cast<std::uint8_t>(crc & 0xFF);
    }

    Vector decode() {
        Vector v;
        v.fill(-99.0);
        decodeStatus(buffer, checkStatusFrame(buffer), v.data());
        return v;
    }
};

}  // namespace

TEST_F(StatusFrameTest, WorkedFrameDecodesToTheWorkedVector) {
    place(kWorkedFrame, sizeof kWorkedFrame);
    EXPECT_EQ(decode(), (Vector{1, 1.0, 2.0, 0.5, 1.0, -0.5, -1.0, 0.5}));
}

TEST_F(StatusFrameTest, BufferAtLoadIsInvalidAndDecodesToZeros) {
    EXPECT_FALSE(checkStatusFrame(buffer));
    EXPECT_EQ(decode(), Vector{});
}

TEST_F(StatusFrameTest, InvalidFrameGivesZerosInEveryElement) {
    place(kWorkedFrame, sizeof kWorkedFrame);
    buffer[29] ^= 0x01;
    EXPECT_EQ(decode(), Vector{});
}

TEST_F(StatusFrameTest, WrongStartByteIsInvalidEvenWithMatchingChecksum) {
    place(kWorkedFrame, sizeof kWorkedFrame);
    buffer[0] = 0xAB;  // outside the checksum: the CRC still matches
    EXPECT_FALSE(checkStatusFrame(buffer));
}

TEST_F(StatusFrameTest, NonZeroHeaderByteTwoIsInvalidEvenWithMatchingChecksum) {
    place(kWorkedFrame, sizeof kWorkedFrame);
    buffer[2] = 0x01;
    seal();
    EXPECT_FALSE(checkStatusFrame(buffer));
}

TEST_F(StatusFrameTest, HeaderBytesThreeToSevenAreNotExamined) {
    place(kWorkedFrame, sizeof kWorkedFrame);
    for (int i = 3; i < 8; ++i) buffer[i] = static_cast<std::uint8_t>(0x10 * i);
    seal();
    EXPECT_EQ(decode(), (Vector{1, 1.0, 2.0, 0.5, 1.0, -0.5, -1.0, 0.5}));
}

TEST_F(StatusFrameTest, ShortLengthsAreCheckedOverOffsetsOneToLPlusOne) {
    for (int length : {0, 1, 10, 25, 26}) {
        std::memset(buffer, 0, sizeof buffer);
        place(kWorkedFrame, 28);
        buffer[1] = static_cast<std::uint8_t>(length);
        seal();
        EXPECT_TRUE(checkStatusFrame(buffer)) << "L = " << length;
        // A byte just past the covered range does not matter (unless it is
        // the header byte or the checksum); the last covered byte does.
        if (length + 2 != 2 && length + 2 < 28) {
            buffer[length + 2] ^= 0x40;
            EXPECT_TRUE(checkStatusFrame(buffer)) << "L = " << length;
        }
        buffer[length + 1] ^= 0x40;
        EXPECT_FALSE(checkStatusFrame(buffer)) << "L = " << length;
    }
}

TEST_F(StatusFrameTest, LongLengthsCoverTheChecksumAndTheBytesAfterIt) {
    for (int length : {30, 64, 100, 254}) {
        std::memset(buffer, 0, sizeof buffer);
        place(kWorkedFrame, sizeof kWorkedFrame);
        for (int i = 30; i < 300; ++i) buffer[i] = static_cast<std::uint8_t>(i * 7);
        buffer[1] = static_cast<std::uint8_t>(length);
        // The last two covered bytes map one to one onto the CRC register,
        // so exactly one pair makes the frame valid.
        bool found = false;
        for (unsigned tail = 0; tail <= 0xFFFF && !found; ++tail) {
            buffer[length] = static_cast<std::uint8_t>(tail >> 8);
            buffer[length + 1] = static_cast<std::uint8_t>(tail & 0xFF);
            found = checkStatusFrame(buffer);
        }
        ASSERT_TRUE(found) << "L = " << length;
        EXPECT_EQ(velocart_test::referenceCrc16(buffer + 1, length + 1u),
                  buffer[28] << 8 | buffer[29]);
        buffer[29] ^= 0x01;  // the checksum bytes are covered too
        EXPECT_FALSE(checkStatusFrame(buffer)) << "L = " << length;
    }
}

TEST_F(StatusFrameTest, LengthOf255ReadsNoFurtherThanOffset256) {
    // Put the frame at the very end of an exactly sized heap block so that
    // a sanitizer run catches any read past the covered bytes.
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[257]);
    std::memset(block.get(), 0x33, 257);
    block[0] = 0xAA;
    block[1] = 255;
    block[2] = 0;
    block[28] = 0x12;
    block[29] = 0x34;
    // The checksum covers itself here. The last two covered bytes map one to
    // one onto the CRC register, so exactly one pair makes the frame valid.
    bool found = false;
    for (unsigned tail = 0; tail <= 0xFFFF && !found; ++tail) {
        block[255] = static_cast<std::uint8_t>(tail >> 8);
        block[256] = static_cast<std::uint8_t>(tail & 0xFF);
        found = checkStatusFrame(block.get());
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(velocart_test::referenceCrc16(block.get() + 1, 256), block[28] << 8 | block[29]);
}

TEST_F(StatusFrameTest, SixteenBitFieldsAreSignExtended) {
    place(kWorkedFrame, sizeof kWorkedFrame);
    // velocity 1 = -1 (0xFFFF), velocity 2 = -32768, aux 1 = 4096, aux 2 = -32768
    const std::uint8_t fields[] = {0x00, 0x80, 0xFF, 0xFF};
    std::memcpy(buffer + 8, fields, sizeof fields);
    buffer[24] = 0x00;
    buffer[25] = 0x80;
    buffer[26] = 0x00;
    buffer[27] = 0x10;
    seal();
    const Vector v = decode();
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[4], -1.0 / 256);
    EXPECT_EQ(v[5], -128.0);
    EXPECT_EQ(v[6], 1.0);
    EXPECT_EQ(v[7], -8.0);
}

TEST_F(StatusFrameTest, EdgeValuesFromTheFieldTable) {
    place(kWorkedFrame, sizeof kWorkedFrame);
    buffer[8] = 0x80;  // velocity 2 = -128 -> -0.5
    buffer[9] = 0xFF;
    buffer[26] = 0x00;  // aux 1 = 4096 -> 1.0
    buffer[27] = 0x10;
    seal();
    const Vector v = decode();
    EXPECT_EQ(v[5], -0.5);
    EXPECT_EQ(v[6], 1.0);
}

TEST_F(StatusFrameTest, BytesAfterTheFrameDoNotChangeTheDecodedVector) {
    place(kWorkedFrame, sizeof kWorkedFrame);
    for (int i = 30; i < 1024; ++i) buffer[i] = 0xAA;
    EXPECT_EQ(decode(), (Vector{1, 1.0, 2.0, 0.5, 1.0, -0.5, -1.0, 0.5}));
}

// Random frames sealed by the bitwise reference must validate, and flipping
// any single bit in offsets 1..29 must break them, unless the flip lands in
// byte 1 and the checksum happens to hold for the new length.
TEST_F(StatusFrameTest, RandomSealedFramesValidateAndAnySingleBitFlipBreaksThem) {
    std::mt19937 rng(2026);
    for (int round = 0; round < 200; ++round) {
        for (auto& b : buffer) b = static_cast<std::uint8_t>(rng());
        buffer[0] = 0xAA;
        buffer[1] = 26;
        buffer[2] = 0;
        seal();
        ASSERT_TRUE(checkStatusFrame(buffer)) << "round " << round;
        for (int offset = 1; offset < 30; ++offset) {
            for (int bit = 0; bit < 8; ++bit) {
                buffer[offset] ^= static_cast<std::uint8_t>(1u << bit);
                bool expected = false;
                if (offset == 1) {
                    const std::uint16_t crc =
                        velocart_test::referenceCrc16(buffer + 1, buffer[1] + 1u);
                    expected = crc == (buffer[28] << 8 | buffer[29]);
                }
                EXPECT_EQ(checkStatusFrame(buffer), expected)
                    << "round " << round << " offset " << offset << " bit " << bit;
                buffer[offset] ^= static_cast<std::uint8_t>(1u << bit);
            }
        }
    }
}
