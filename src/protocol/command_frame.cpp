#include "protocol/command_frame.h"

#include <cmath>

#include "protocol/byte_order.h"
#include "protocol/frame_crc16.h"

namespace velocart {

namespace {

constexpr std::uint8_t kHeader[] = {kStartByte, kCommandLength, 0x00, 0x03, 0x00, 0x01};

void writeHeader(CommandFrameBytes& frame, std::uint16_t code) {
    for (int i = 0; i < 6; ++i) frame.bytes[i] = kHeader[i];
    putLe16(frame.bytes + kCommandCodeOffset, code);
}

// The covered length comes from byte 1 as it stands in the frame; the
// checksum's place is fixed whatever that length says.
void sealFrame(CommandFrameBytes& frame) {
    const std::uint8_t length = frame.bytes[kLengthOffset];
    putBe16(frame.bytes + kCommandCrcOffset, frameCrc16(frame.bytes + kLengthOffset, length + 1u));
}

}  // namespace

std::int16_t velocityToFixed(float velocity) {
    if (velocity > kVelocityLimit) {
        velocity = kVelocityLimit;
    } else if (velocity < -kVelocityLimit) {
        velocity = -kVelocityLimit;
    }
    // NaN survives both comparisons; it must not reach the integer cast.
    if (std::isnan(velocity)) return 0;
    const float scaled = velocity * kVelocityScale;
    return static_cast<std::int16_t>(static_cast<int>(scaled));
}

void encodeVelocity(float velocity1, float velocity2, CommandFrameBytes& frame) {
    writeHeader(frame, kCodeVelocity);
    putLe16(frame.bytes + kVelocity2Offset, static_cast<std::uint16_t>(velocityToFixed(velocity2)));
    putLe16(frame.bytes + kVelocity1Offset, static_cast<std::uint16_t>(velocityToFixed(velocity1)));
    sealFrame(frame);
}

void encodeOdometry(float odometry1, float odometry2, float odometry3, CommandFrameBytes& frame) {
    writeHeader(frame, kCodeOdometry);
    putLeFloat(frame.bytes + kOdometry1Offset, odometry1);
    putLeFloat(frame.bytes + kOdometry2Offset, odometry2);
    putLeFloat(frame.bytes + kOdometry3Offset, odometry3);
    sealFrame(frame);
}

void encodeFreeWheels(CommandFrameBytes& frame) {
    writeHeader(frame, kCodeFreeWheels);
    putLe16(frame.bytes + kVelocity2Offset, 0);
    putLe16(frame.bytes + kVelocity1Offset, 0);
    sealFrame(frame);
}

}  // namespace velocart
