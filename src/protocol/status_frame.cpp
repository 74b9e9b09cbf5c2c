#include "protocol/status_frame.h"

#include "protocol/byte_order.h"
#include "protocol/command_frame.h"
#include "protocol/frame_crc16.h"

namespace velocart {

bool checkStatusFrame(const std::uint8_t* buffer) {
    if (buffer[kStartByteOffset] != kStartByte) return false;
    if (buffer[kHeaderByteOffset] != 0x00) return false;
    const std::uint8_t length = buffer[kLengthOffset];
    const std::uint16_t crc = frameCrc16(buffer + kLengthOffset, length + 1u);
    return crc == getBe16(buffer + kStatusCrcOffset);
}

void decodeStatus(const std::uint8_t* buffer, bool valid, double vector[kStatusVectorSize]) {
    if (!valid) {
        for (int i = 0; i < kStatusVectorSize; ++i) vector[i] = 0.0;
        return;
    }
    vector[0] = 1.0;
    vector[1] = getLeFloat(buffer + kOdometry1Offset);
    vector[2] = getLeFloat(buffer + kOdometry2Offset);
    vector[3] = getLeFloat(buffer + kOdometry3Offset);
    vector[4] = getLeInt16(buffer + kVelocity1Offset) * kVelocityStep;
    vector[5] = getLeInt16(buffer + kVelocity2Offset) * kVelocityStep;
    vector[6] = getLeInt16(buffer + kAux1Offset) * kAuxScale;
    vector[7] = getLeInt16(buffer + kAux2Offset) * kAuxScale;
}

}  // namespace velocart
