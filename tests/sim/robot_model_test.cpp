#include "sim/robot_model.h"

#include <gtest/gtest.h>

#include <cmath>

#include "protocol/command_frame.h"

using namespace velocart;
using namespace velocart::sim;

namespace {

constexpr double kPi = 3.14159265358979323846;

CommandBytes bytesOf(const CommandFrameBytes& frame) {
    CommandBytes bytes;
    std::copy(frame.bytes, frame.bytes + kCommandFrameSize, bytes.begin());
    return bytes;
}

RobotCommand drive(float forward, float turn) {
    CommandFrameBytes frame = {};
    encodeVelocity(forward, turn, frame);
    return decodeCommand(bytesOf(frame));
}

RobotCommand setPose(float x, float y, float heading) {
    CommandFrameBytes frame = {};
    encodeOdometry(x, y, heading, frame);
    return decodeCommand(bytesOf(frame));
}

RobotCommand freeWheels() {
    CommandFrameBytes frame = {};
    encodeFreeWheels(frame);
    return decodeCommand(bytesOf(frame));
}

void expectPose(const UnicycleModel& model, double x, double y, double heading) {
    EXPECT_NEAR(model.pose().x, x, 1e-9);
    EXPECT_NEAR(model.pose().y, y, 1e-9);
    EXPECT_NEAR(model.pose().heading, heading, 1e-9);
}

}  // namespace

TEST(DecodeCommand, ReadsTheFieldsTheDriverEncodes) {
    // The caller's first velocity is the forward speed, stored at offset 10.
    const RobotCommand velocity = drive(1.0f, -0.5f);
    EXPECT_EQ(velocity.code, kCodeVelocity);
    EXPECT_EQ(velocity.forward, 1.0);
    EXPECT_EQ(velocity.turn, -0.5);

    const RobotCommand odometry = setPose(1.0f, 2.0f, 0.5f);
    EXPECT_EQ(odometry.code, kCodeOdometry);
    EXPECT_EQ(odometry.x, 1.0f);
    EXPECT_EQ(odometry.y, 2.0f);
    EXPECT_EQ(odometry.heading, 0.5f);

    EXPECT_EQ(freeWheels().code, kCodeFreeWheels);
    // 8.8 fixed point: the driver's clamp and truncation show through.
    EXPECT_EQ(drive(40.0f, -0.001f).forward, 30.0);
    EXPECT_EQ(drive(40.0f, -0.001f).turn, 0.0);
}

TEST(UnicycleModel, StartsAtRestInFreeWheelMode) {
    UnicycleModel model(5.0);
    model.advanceTo(100.0);
    expectPose(model, 0, 0, 0);
    EXPECT_FALSE(model.driven());
}

TEST(UnicycleModel, StraightLineTurnOnTheSpotAndArc) {
    UnicycleModel straight(0.0);
    straight.apply(drive(0.5f, 0.0f), 0.0);
    straight.advanceTo(2.0);
    expectPose(straight, 1.0, 0.0, 0.0);
    EXPECT_TRUE(straight.driven());

    UnicycleModel spin(0.0);
    spin.apply(drive(0.0f, 0.5f), 0.0);
    spin.advanceTo(kPi);
    expectPose(spin, 0.0, 0.0, kPi / 2);

    // Forward 1 m/s, turning left at 1 rad/s: a quarter of the unit circle.
    UnicycleModel arc(0.0);
    arc.apply(drive(1.0f, 1.0f), 0.0);
    arc.advanceTo(kPi / 2);
    expectPose(arc, 1.0, 1.0, kPi / 2);

    // Turning right from a heading along +y.
    UnicycleModel right(0.0);
    right.apply(setPose(0.0f, 0.0f, static_cast<float>(kPi / 2)), 0.0);
    right.apply(drive(2.0f, -1.0f), 0.0);
    right.advanceTo(kPi / 2);
    EXPECT_NEAR(right.pose().x, 2.0, 1e-6);
    EXPECT_NEAR(right.pose().y, 2.0, 1e-6);
    EXPECT_NEAR(right.pose().heading, 0.0, 1e-6);
}

TEST(UnicycleModel, HeadingStaysWithinPlusMinusPiAndACircleCloses) {
    UnicycleModel model(0.0);
    model.apply(drive(0.25f, 1.0f), 0.0);
    for (int step = 1; step <= 1000; ++step) {
        model.advanceTo(2 * kPi * step / 1000.0);
        ASSERT_LE(std::fabs(model.pose().heading), kPi + 1e-12);
    }
    expectPose(model, 0.0, 0.0, 0.0);
    model.advanceTo(2 * kPi + 4.0);
    EXPECT_NEAR(model.pose().heading, 4.0 - 2 * kPi, 1e-9);
}

TEST(UnicycleModel, ManySmallStepsMatchOneLargeStep) {
    UnicycleModel stepped(0.0), once(0.0);
    for (UnicycleModel* model : {&stepped, &once}) {
        model->apply(setPose(1.0f, -2.0f, 0.5f), 0.0);
        model->apply(drive(0.75f, -0.375f), 0.0);
    }
    for (int i = 1; i <= 300; ++i) stepped.advanceTo(i * 0.01);
    once.advanceTo(3.0);
    expectPose(stepped, once.pose().x, once.pose().y, once.pose().heading);
}

TEST(UnicycleModel, OdometryCommandOverwritesPoseAndKeepsTheMotion) {
    UnicycleModel model(0.0);
    model.apply(drive(1.0f, 0.0f), 0.0);
    model.apply(setPose(5.0f, 6.0f, static_cast<float>(kPi / 2)), 1.0);
    EXPECT_NEAR(model.pose().x, 5.0, 1e-9);
    EXPECT_NEAR(model.pose().y, 6.0, 1e-9);
    EXPECT_EQ(model.forward(), 1.0);
    EXPECT_TRUE(model.driven());
    model.advanceTo(2.0);
    EXPECT_NEAR(model.pose().x, 5.0, 1e-6);
    EXPECT_NEAR(model.pose().y, 7.0, 1e-6);
}

TEST(UnicycleModel, FreeWheelsStopsTheRobotUntilTheNextDriveCommand) {
    UnicycleModel model(0.0);
    model.apply(drive(1.0f, 0.0f), 0.0);
    EXPECT_TRUE(model.apply(freeWheels(), 1.0));
    EXPECT_FALSE(model.driven());
    EXPECT_EQ(model.forward(), 0.0);
    EXPECT_EQ(model.turn(), 0.0);
    model.advanceTo(5.0);
    expectPose(model, 1.0, 0.0, 0.0);
    model.apply(drive(-0.5f, 0.0f), 5.0);
    model.advanceTo(7.0);
    expectPose(model, 0.0, 0.0, 0.0);
    EXPECT_TRUE(model.driven());
}

TEST(UnicycleModel, UnknownCodeAndEarlierTimesChangeNothing) {
    UnicycleModel model(0.0);
    model.apply(drive(1.0f, 0.0f), 0.0);
    RobotCommand unknown = drive(3.0f, 3.0f);
    unknown.code = 5;
    EXPECT_FALSE(model.apply(unknown, 1.0));
    EXPECT_EQ(model.forward(), 1.0);
    model.advanceTo(0.5);  // earlier than the last time seen
    expectPose(model, 1.0, 0.0, 0.0);
}
