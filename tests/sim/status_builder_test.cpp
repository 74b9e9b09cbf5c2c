#include "sim/status_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "protocol/status_frame.h"

using namespace velocart;
using namespace velocart::sim;

namespace {

std::array<double, kStatusVectorSize> driverView(const StatusBytes& frame) {
    // The driver judges a frame at the start of its 1024-byte buffer.
    std::uint8_t buffer[1024] = {};
    std::memcpy(buffer, frame.data(), frame.size());
    std::array<double, kStatusVectorSize> vector{};
    decodeStatus(buffer, checkStatusFrame(buffer), vector.data());
    return vector;
}

}  // namespace

TEST(StatusBuilder, ReproducesTheReferenceFrameByteForByte) {
    StatusReport report;
    report.pose = {1.0, 2.0, 0.5};
    report.forward = 1.0;
    report.turn = -0.5;
    report.aux1 = -1.0;
    report.aux2 = 0.5;
    const StatusBytes expected = {0xAA, 0x1A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0xFF,
                                  0x00, 0x01, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40,
                                  0x00, 0x00, 0x00, 0x3F, 0x00, 0x08, 0x00, 0xF0, 0x9D, 0x7A};
    EXPECT_EQ(buildStatusFrame(report), expected);
}

TEST(StatusBuilder, DriverDecodesWhatTheModelReports) {
    UnicycleModel model(0.0);
    RobotCommand drive;
    drive.code = kCodeVelocity;
    drive.forward = 0.75;
    drive.turn = -0.25;
    model.apply(drive, 0.0);
    model.advanceTo(3.0);
    const StatusReport report = reportOf(model, 11.5);
    const auto vector = driverView(buildStatusFrame(report));
    EXPECT_EQ(vector[0], 1.0);
    EXPECT_EQ(vector[1], static_cast<float>(model.pose().x));
    EXPECT_EQ(vector[2], static_cast<float>(model.pose().y));
    EXPECT_EQ(vector[3], static_cast<float>(model.pose().heading));
    EXPECT_EQ(vector[4], 0.75);
    EXPECT_EQ(vector[5], -0.25);
    EXPECT_EQ(vector[6], 3.5);  // the clock, modulo 8
    EXPECT_EQ(vector[7], 1.0);  // driven
}

TEST(StatusBuilder, FreeWheelModeReportsZeroDriveState) {
    UnicycleModel model(0.0);
    EXPECT_EQ(reportOf(model, 0.0).aux2, 0.0);
    RobotCommand drive;
    drive.code = kCodeVelocity;
    model.apply(drive, 0.0);
    EXPECT_EQ(reportOf(model, 0.0).aux2, 1.0);
    RobotCommand release;
    release.code = kCodeFreeWheels;
    model.apply(release, 1.0);
    EXPECT_EQ(reportOf(model, 1.0).aux2, 0.0);
}

TEST(StatusBuilder, AuxiliaryValuesRoundAndSaturate) {
    EXPECT_EQ(auxToFixed(1.0), 4096);
    EXPECT_EQ(auxToFixed(-0.5), -2048);
    EXPECT_EQ(auxToFixed(0.6 / 4096), 1);
    EXPECT_EQ(auxToFixed(0.4 / 4096), 0);
    EXPECT_EQ(auxToFixed(7.99999), 32767);
    EXPECT_EQ(auxToFixed(100.0), 32767);
    EXPECT_EQ(auxToFixed(-8.0), -32768);
    EXPECT_EQ(auxToFixed(-1e300), -32768);
    EXPECT_EQ(auxToFixed(std::numeric_limits<double>::infinity()), 32767);
    EXPECT_EQ(auxToFixed(std::numeric_limits<double>::quiet_NaN()), 0);
}
