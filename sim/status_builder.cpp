#include "sim/status_builder.h"

#include <cmath>

#include "protocol/byte_order.h"
#include "protocol/command_frame.h"
#include "protocol/frame_crc16.h"

namespace velocart::sim {

namespace {

constexpr std::uint8_t kStatusLength = 26;  // checksum covers offsets 1..27
constexpr double kClockWrap = 8.0;          // the largest span a 4.12 field holds

}  // namespace

StatusReport reportOf(const UnicycleModel& model, double secondsSinceStart) {
    StatusReport report;
    report.pose = model.pose();
    report.forward = model.forward();
    report.turn = model.turn();
    report.aux1 = std::fmod(secondsSinceStart, kClockWrap);
    report.aux2 = model.driven() ? 1.0 : 0.0;
    return report;
}

std::int16_t auxToFixed(double value) {
    if (std::isnan(value)) return 0;
    const double scaled = std::round(value / kAuxScale);
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    return static_cast<std::int16_t>(scaled);
}

StatusBytes buildStatusFrame(const StatusReport& report) {
    StatusBytes frame{};
    std::uint8_t* bytes = frame.data();
    bytes[kStartByteOffset] = kStartByte;
    bytes[kLengthOffset] = kStatusLength;
    // The velocities went out as 8.8 fixed point and come back the same way.
    putLe16(bytes + kVelocity2Offset,
            static_cast<std::uint16_t>(velocityToFixed(static_cast<float>(report.turn))));
    putLe16(bytes + kVelocity1Offset,
            static_cast<std::uint16_t>(velocityToFixed(static_cast<float>(report.forward))));
    putLeFloat(bytes + kOdometry1Offset, static_cast<float>(report.pose.x));
    putLeFloat(bytes + kOdometry2Offset, static_cast<float>(report.pose.y));
    putLeFloat(bytes + kOdometry3Offset, static_cast<float>(report.pose.heading));
    putLe16(bytes + kAux2Offset, static_cast<std::uint16_t>(auxToFixed(report.aux2)));
    putLe16(bytes + kAux1Offset, static_cast<std::uint16_t>(auxToFixed(report.aux1)));
    putBe16(bytes + kStatusCrcOffset, frameCrc16(bytes + kLengthOffset, kStatusLength + 1u));
    return frame;
}

}  // namespace velocart::sim
