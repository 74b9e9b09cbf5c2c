// The 30-byte status frame the robot sends, checked and decoded in place at
// the start of the receive buffer.
#pragma once

#include <cstdint>

namespace velocart {

constexpr int kStatusFrameSize = 30;
constexpr int kStatusVectorSize = 8;
constexpr int kHeaderByteOffset = 2;  // must be zero in a status frame
constexpr int kAux2Offset = 24;
constexpr int kAux1Offset = 26;
constexpr int kStatusCrcOffset = 28;
constexpr double kAuxScale = 1.0 / 4096.0;
constexpr double kVelocityStep = 1.0 / 256.0;

// Start byte 0xAA, header byte 2 zero, and the CRC of offsets 1..L+1 (L from
// byte 1, not required to be 26) equal to the big-endian value at offset 28.
// The buffer must hold at least 257 bytes, enough for any L.
bool checkStatusFrame(const std::uint8_t* buffer);

// Fills validity, odometry 1..3, velocity 1..2, auxiliary 1..2. For an
// invalid frame every element is zero.
void decodeStatus(const std::uint8_t* buffer, bool valid, double vector[kStatusVectorSize]);

}  // namespace velocart
