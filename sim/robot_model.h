// What the simulated robot does with a command: a unicycle that integrates
// its pose in real time between commands.
//
//   code 3  drive: velocity component 1 is the forward speed in m/s,
//           component 2 the turn rate in rad/s (counter-clockwise positive)
//   code 7  overwrite the odometry: x and y in metres, heading in radians
//   code 0  free wheels: the motors let go and the robot stands still
//
// There is no inertia: a new velocity holds from the moment it arrives.
#pragma once

#include <array>
#include <cstdint>

#include "protocol/command_frame.h"

namespace velocart::sim {

using CommandBytes = std::array<std::uint8_t, kCommandFrameSize>;

struct RobotCommand {
    std::uint16_t code = 0;
    double forward = 0.0;  // velocity component 1 (offset 10), m/s
    double turn = 0.0;     // velocity component 2 (offset 8), rad/s
    float x = 0.0f;        // odometry components 1..3 (offsets 12, 16, 20)
    float y = 0.0f;
    float heading = 0.0f;
};

// Reads every field, whatever the code; the model uses those the code owns.
RobotCommand decodeCommand(const CommandBytes& frame);

struct Pose {
    double x = 0.0;
    double y = 0.0;
    double heading = 0.0;
};

class UnicycleModel {
public:
    // Times are seconds on any clock that does not go backwards.
    explicit UnicycleModel(double startTime = 0.0) : time_(startTime) {}

    // Integrates the motion up to `time`: exact arcs for a constant forward
    // speed and turn rate. The heading is kept within [-pi, pi] while the
    // robot moves. A time earlier than the last one changes nothing.
    void advanceTo(double time);

    // Advances to `time`, then obeys the command. False for a command code
    // the robot does not know (nothing changes but the pose's progress).
    bool apply(const RobotCommand& command, double time);

    const Pose& pose() const { return pose_; }
    double forward() const { return forward_; }
    double turn() const { return turn_; }
    // True after a drive command, false at start and in free-wheel mode.
    bool driven() const { return driven_; }

private:
    double time_;
    Pose pose_;
    double forward_ = 0.0;
    double turn_ = 0.0;
    bool driven_ = false;
};

}  // namespace velocart::sim
