// The 26-byte command frame sent to the robot, and its three encoders.
//
// A frame lives as long as the module and is never cleared: each encoder
// rewrites only the header, the command code, its own payload fields and the
// checksum, so fields it does not own go out with the value an earlier
// command left in them.
#pragma once

#include <cstdint>

namespace velocart {

constexpr int kCommandFrameSize = 26;

// Byte offsets shared with the status frame (same envelope, same fields).
constexpr int kStartByteOffset = 0;
constexpr int kLengthOffset = 1;
constexpr int kCommandCodeOffset = 6;
constexpr int kVelocity2Offset = 8;
constexpr int kVelocity1Offset = 10;
constexpr int kOdometry1Offset = 12;
constexpr int kOdometry2Offset = 16;
constexpr int kOdometry3Offset = 20;
constexpr int kCommandCrcOffset = 24;

constexpr std::uint8_t kStartByte = 0xAA;
constexpr std::uint8_t kCommandLength = 22;  // checksum covers offsets 1..23

constexpr std::uint16_t kCodeFreeWheels = 0;
constexpr std::uint16_t kCodeVelocity = 3;
constexpr std::uint16_t kCodeOdometry = 7;

// Velocities are clamped to this magnitude before the 8.8 conversion.
constexpr float kVelocityLimit = 30.0f;
constexpr float kVelocityScale = 256.0f;

struct CommandFrameBytes {
    std::uint8_t bytes[kCommandFrameSize];
};

// Each encoder rewrites the frame it is given; the module keeps one frame
// per link, all zero at load.
void encodeVelocity(float velocity1, float velocity2, CommandFrameBytes& frame);
void encodeOdometry(float odometry1, float odometry2, float odometry3, CommandFrameBytes& frame);
void encodeFreeWheels(CommandFrameBytes& frame);

// Clamp to +-30 and scale to 8.8 fixed point with truncation toward zero,
// all in single precision. NaN gives 0.
std::int16_t velocityToFixed(float velocity);

}  // namespace velocart
