// The 30-byte status frame the simulated robot sends back.
//
//   bytes 0..2    AA 1A 00 (start, length 26, header)
//   bytes 3..7    zero
//   8, 10         turn rate and forward speed, 8.8 fixed point
//   12, 16, 20    x, y, heading as singles
//   24            auxiliary value 2, 4.12 fixed point
//   26            auxiliary value 1, 4.12 fixed point
//   28            CRC-16/CMS of offsets 1..27, big-endian
#pragma once

#include <array>
#include <cstdint>

#include "protocol/status_frame.h"
#include "sim/robot_model.h"

namespace velocart::sim {

using StatusBytes = std::array<std::uint8_t, kStatusFrameSize>;

struct StatusReport {
    Pose pose;
    double forward = 0.0;
    double turn = 0.0;
    double aux1 = 0.0;
    double aux2 = 0.0;
};

// The values the robot reports: its pose and velocities, then
//   aux1  the robot's clock: seconds since it started, modulo 8
//   aux2  1 while the wheels are driven, 0 in free-wheel mode
StatusReport reportOf(const UnicycleModel& model, double secondsSinceStart);

// Rounds to the nearest 1/4096 and saturates to the field's range
// (-8 to 8 - 1/4096). NaN gives 0.
std::int16_t auxToFixed(double value);

StatusBytes buildStatusFrame(const StatusReport& report);

}  // namespace velocart::sim
