#include "protocol/command_frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/reference_crc.h"

using namespace velocart;

namespace {

std::vector<std::uint8_t> bytesOf(const CommandFrameBytes& frame) {
    return {frame.bytes, frame.bytes + kCommandFrameSize};
}

std::vector<std::uint8_t> withZeros(std::vector<std::uint8_t> head, int zeros,
                                    std::vector<std::uint8_t> tail) {
    head.insert(head.end(), static_cast<std::size_t>(zeros), 0x00);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Each test starts from a frame in the state the module has at load.
class CommandFrameTest : public ::testing::Test {
protected:
    CommandFrameBytes frame = {};
};

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

}  // namespace

TEST_F(CommandFrameTest, VelocityRightAfterLoadMatchesWorkedFrame) {
    encodeVelocity(1.0f, -0.5f, frame);
    EXPECT_EQ(bytesOf(frame),
              withZeros({0xAA, 0x16, 0x00, 0x03, 0x00, 0x01, 0x03, 0x00, 0x80, 0xFF, 0x00, 0x01},
                        12, {0x63, 0x11}));
}

TEST_F(CommandFrameTest, FreeWheelsRightAfterLoadMatchesWorkedFrame) {
    encodeFreeWheels(frame);
    EXPECT_EQ(bytesOf(frame),
              withZeros({0xAA, 0x16, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                        12, {0xDE, 0xA5}));
}

TEST_F(CommandFrameTest, OdometryThenClampedVelocityMatchWorkedFrames) {
    encodeOdometry(1.0f, 2.0f, 0.5f, frame);
    EXPECT_EQ(bytesOf(frame),
              (std::vector<std::uint8_t>{0xAA, 0x16, 0x00, 0x03, 0x00, 0x01, 0x07, 0x00, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00,
                                         0x00, 0x40, 0x00, 0x00, 0x00, 0x3F, 0xAC, 0xC8}));
    encodeVelocity(40.0f, -0.001f, frame);
    EXPECT_EQ(bytesOf(frame),
              (std::vector<std::uint8_t>{0xAA, 0x16, 0x00, 0x03, 0x00, 0x01, 0x03, 0x00, 0x00,
                                         0x00, 0x00, 0x1E, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00,
                                         0x00, 0x40, 0x00, 0x00, 0x00, 0x3F, 0x79, 0x85}));
}

struct FixedCase {
    const char* label;
    float velocity;
    std::int16_t fixed;
};

// Without this the test list shows the case's raw bytes, pointer included,
// which change from build to build.
void PrintTo(const FixedCase& c, std::ostream* out) {
    *out << c.label << " (" << c.velocity << " -> " << c.fixed << ")";
}

class VelocityToFixed : public ::testing::TestWithParam<FixedCase> {};

TEST_P(VelocityToFixed, ClampsScalesAndTruncatesTowardZero) {
    EXPECT_EQ(velocityToFixed(GetParam().velocity), GetParam().fixed)
        << "velocity " << GetParam().velocity;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, VelocityToFixed,
    ::testing::Values(
        FixedCase{"Plus30", 30.0f, 7680}, FixedCase{"Minus30", -30.0f, -7680},
        FixedCase{"JustAbove30", 30.001f, 7680}, FixedCase{"JustBelowMinus30", -30.001f, -7680},
        FixedCase{"Huge", 1e30f, 7680}, FixedCase{"HugeNegative", -1e30f, -7680},
        FixedCase{"PlusInf", kInf, 7680}, FixedCase{"MinusInf", -kInf, -7680},
        FixedCase{"NaN", kNaN, 0}, FixedCase{"NegativeNaN", -kNaN, 0},
        FixedCase{"HalfStep", 0.5f / 256, 0}, FixedCase{"MinusHalfStep", -0.5f / 256, 0},
        FixedCase{"AlmostOneStep", 0.999f / 256, 0},
        FixedCase{"MinusAlmostOneStep", -0.999f / 256, 0}, FixedCase{"OneStep", 1.0f / 256, 1},
        FixedCase{"MinusOneStep", -1.0f / 256, -1}, FixedCase{"AlmostTwoSteps", 1.99f / 256, 1},
        FixedCase{"MinusAlmostTwoSteps", -1.99f / 256, -1},
        FixedCase{"MinusPointNine", -0.9f, -230}, FixedCase{"JustUnder30", 29.999f, 7679},
        FixedCase{"NegativeZero", -0.0f, 0}),
    [](const ::testing::TestParamInfo<FixedCase>& param) {
        return std::string(param.param.label);
    });

TEST_F(CommandFrameTest, ClampedVelocitiesLandLittleEndianWithComponentTwoFirst) {
    encodeVelocity(-30.0f, 30.0f, frame);
    EXPECT_EQ(frame.bytes[8], 0x00);  // component 2: +7680 = 0x1E00
    EXPECT_EQ(frame.bytes[9], 0x1E);
    EXPECT_EQ(frame.bytes[10], 0x00);  // component 1: -7680 = 0xE200
    EXPECT_EQ(frame.bytes[11], 0xE2);
}

TEST_F(CommandFrameTest, VelocityBeforeAnyOdometryCarriesZeroOdometry) {
    encodeVelocity(2.0f, 1.0f, frame);
    for (int i = 12; i < 24; ++i) EXPECT_EQ(frame.bytes[i], 0) << "byte " << i;
}

TEST_F(CommandFrameTest, OdometryIsCarriedIntoLaterVelocityAndFreeWheelFrames) {
    encodeOdometry(-3.25f, 1e-3f, 6.5f, frame);
    std::uint8_t odometry[12];
    std::memcpy(odometry, frame.bytes + 12, sizeof odometry);

    encodeVelocity(0.25f, -0.125f, frame);
    EXPECT_EQ(0, std::memcmp(frame.bytes + 12, odometry, sizeof odometry));
    encodeFreeWheels(frame);
    EXPECT_EQ(0, std::memcmp(frame.bytes + 12, odometry, sizeof odometry));
}

TEST_F(CommandFrameTest, OdometryFrameKeepsTheLastVelocityFields) {
    encodeVelocity(1.0f, -0.5f, frame);
    encodeOdometry(1.0f, 2.0f, 3.0f, frame);
    EXPECT_EQ(frame.bytes[8], 0x80);
    EXPECT_EQ(frame.bytes[9], 0xFF);
    EXPECT_EQ(frame.bytes[10], 0x00);
    EXPECT_EQ(frame.bytes[11], 0x01);
    EXPECT_EQ(frame.bytes[6], 7);
}

TEST_F(CommandFrameTest, FreeWheelsZeroesOnlyTheVelocityFields) {
    encodeOdometry(1.0f, 2.0f, 0.5f, frame);
    encodeVelocity(5.0f, -5.0f, frame);
    encodeFreeWheels(frame);
    for (int i = 8; i < 12; ++i) EXPECT_EQ(frame.bytes[i], 0) << "byte " << i;
    CommandFrameBytes odometryOnly = {};
    encodeOdometry(1.0f, 2.0f, 0.5f, odometryOnly);
    EXPECT_EQ(0, std::memcmp(frame.bytes + 12, odometryOnly.bytes + 12, 12));
    EXPECT_EQ(frame.bytes[6], 0);
}

TEST_F(CommandFrameTest, OdometryIsStoredUnclampedAndUnscaled) {
    encodeOdometry(1e30f, -kInf, kNaN, frame);
    float stored[3];
    std::memcpy(stored, frame.bytes + 12, sizeof stored);  // this host is little-endian
    EXPECT_EQ(stored[0], 1e30f);
    EXPECT_EQ(stored[1], -kInf);
    EXPECT_TRUE(std::isnan(stored[2]));
}

TEST_F(CommandFrameTest, ChecksumCoversExactlyOffsetsOneToTwentyThree) {
    encodeOdometry(1.5f, -2.5f, 0.75f, frame);
    EXPECT_EQ(frame.bytes[24] << 8 | frame.bytes[25],
              velocart_test::referenceCrc16(frame.bytes + 1, 23));
}

TEST_F(CommandFrameTest, OldChecksumBytesDoNotEnterTheNewChecksum) {
    CommandFrameBytes fresh = {};
    encodeVelocity(1.0f, 2.0f, fresh);
    frame.bytes[24] = 0x5A;
    frame.bytes[25] = 0xA5;
    encodeVelocity(1.0f, 2.0f, frame);
    EXPECT_EQ(bytesOf(frame), bytesOf(fresh));
}

TEST_F(CommandFrameTest, EveryEncoderRewritesTheHeader) {
    std::memset(frame.bytes, 0x5A, sizeof frame.bytes);
    encodeFreeWheels(frame);
    const std::uint8_t header[] = {0xAA, 0x16, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(frame.bytes, header, sizeof header));
    std::memset(frame.bytes, 0x5A, sizeof frame.bytes);
    encodeOdometry(0, 0, 0, frame);
    EXPECT_EQ(frame.bytes[1], 0x16);
    EXPECT_EQ(frame.bytes[6], 7);
    // The odometry frame keeps velocity bytes it does not own.
    EXPECT_EQ(frame.bytes[8], 0x5A);
}
