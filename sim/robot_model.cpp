#include "sim/robot_model.h"

#include <cmath>

#include "protocol/byte_order.h"
#include "protocol/status_frame.h"

namespace velocart::sim {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

// Below this turn rate the arc formulas lose precision; a straight line is
// exact to far better than the single-precision odometry on the wire.
constexpr double kStraightTurnRate = 1e-9;

}  // namespace

RobotCommand decodeCommand(const CommandBytes& frame) {
    const std::uint8_t* bytes = frame.data();
    RobotCommand command;
    command.code = getLe16(bytes + kCommandCodeOffset);
    command.forward = getLeInt16(bytes + kVelocity1Offset) * kVelocityStep;
    command.turn = getLeInt16(bytes + kVelocity2Offset) * kVelocityStep;
    command.x = getLeFloat(bytes + kOdometry1Offset);
    command.y = getLeFloat(bytes + kOdometry2Offset);
    command.heading = getLeFloat(bytes + kOdometry3Offset);
    return command;
}

void UnicycleModel::advanceTo(double time) {
    if (!(time > time_)) return;
    const double dt = time - time_;
    time_ = time;
    if (forward_ == 0.0 && turn_ == 0.0) return;

    const double start = pose_.heading;
    const double end = start + turn_ * dt;
    if (std::fabs(turn_) < kStraightTurnRate) {
        pose_.x += forward_ * dt * std::cos(start);
        pose_.y += forward_ * dt * std::sin(start);
    } else {
        const double radius = forward_ / turn_;
        pose_.x += radius * (std::sin(end) - std::sin(start));
        pose_.y -= radius * (std::cos(end) - std::cos(start));
    }
    pose_.heading = std::remainder(end, kTwoPi);
}

bool UnicycleModel::apply(const RobotCommand& command, double time) {
    advanceTo(time);
    switch (command.code) {
        case kCodeVelocity:
            forward_ = command.forward;
            turn_ = command.turn;
            driven_ = true;
            return true;
        case kCodeOdometry: pose_ = {command.x, command.y, command.heading}; return true;
        case kCodeFreeWheels:
            forward_ = 0.0;
            turn_ = 0.0;
            driven_ = false;
            return true;
        default: return false;
    }
}

}  // namespace velocart::sim
