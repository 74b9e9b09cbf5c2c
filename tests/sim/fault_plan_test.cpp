#include "sim/fault_plan.h"

#include <gtest/gtest.h>

#include <cstring>

#include "protocol/status_frame.h"

using namespace velocart;
using namespace velocart::sim;

namespace {

StatusBytes sampleFrame() {
    StatusReport report;
    report.pose = {0.5, -1.25, 3.0};
    report.forward = 0.5;
    report.aux1 = 2.0;
    return buildStatusFrame(report);
}

bool driverAccepts(const Write& bytes) {
    std::uint8_t buffer[1024] = {};
    std::memcpy(buffer, bytes.data(), std::min<std::size_t>(bytes.size(), sizeof buffer));
    return checkStatusFrame(buffer);
}

Write joined(const std::vector<Write>& writes) {
    Write all;
    for (const Write& w : writes) all.insert(all.end(), w.begin(), w.end());
    return all;
}

}  // namespace

TEST(FaultPlan, NoFaultsMeansOneIntactWritePerFrame) {
    const FaultOptions none;
    for (std::uint64_t n = 1; n <= 50; ++n) {
        const FramePlan plan = planFrame(none, n);
        EXPECT_EQ(plan.fate, FramePlan::Fate::Send);
        const std::vector<Write> writes = writesFor(sampleFrame(), plan);
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_TRUE(driverAccepts(writes[0]));
    }
}

TEST(FaultPlan, CorruptChecksumOnEveryNthFrameOnly) {
    FaultOptions faults;
    faults.crcEvery = 3;
    for (std::uint64_t n = 1; n <= 9; ++n) {
        const std::vector<Write> writes = writesFor(sampleFrame(), planFrame(faults, n));
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].size(), static_cast<std::size_t>(kStatusFrameSize));
        EXPECT_EQ(driverAccepts(writes[0]), n % 3 != 0) << "frame " << n;
        // Only the checksum is touched.
        EXPECT_TRUE(std::equal(writes[0].begin(), writes[0].begin() + kStatusCrcOffset,
                               sampleFrame().begin()));
    }
}

TEST(FaultPlan, GarbageGoesInFrontOfTheFrameInTheSameWrite) {
    FaultOptions faults;
    faults.garbageEvery = 2;
    const std::vector<Write> clean = writesFor(sampleFrame(), planFrame(faults, 1));
    const std::vector<Write> dirty = writesFor(sampleFrame(), planFrame(faults, 2));
    ASSERT_EQ(dirty.size(), 1u);
    EXPECT_EQ(dirty[0].size(), kGarbageBytes.size() + kStatusFrameSize);
    EXPECT_FALSE(driverAccepts(dirty[0]));
    EXPECT_EQ(
        Write(dirty[0].begin() + static_cast<std::ptrdiff_t>(kGarbageBytes.size()), dirty[0].end()),
        clean[0]);
}

TEST(FaultPlan, SplitFramesComeInTwoWritesThatJoinToTheFrame) {
    FaultOptions faults;
    faults.splitPauseMs = 20;
    faults.garbageEvery = 1;
    const std::vector<Write> writes = writesFor(sampleFrame(), planFrame(faults, 1));
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].size(), static_cast<std::size_t>(kStatusFrameSize - kSplitOffset));
    const StatusBytes frame = sampleFrame();
    Write expected = kGarbageBytes;
    expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(joined(writes), expected);
}

TEST(FaultPlan, SilenceAndHangUpStartAfterTheGivenCount) {
    FaultOptions silent;
    silent.silentAfter = 2;
    EXPECT_EQ(planFrame(silent, 2).fate, FramePlan::Fate::Send);
    EXPECT_EQ(planFrame(silent, 3).fate, FramePlan::Fate::Withhold);
    EXPECT_EQ(planFrame(silent, 100).fate, FramePlan::Fate::Withhold);

    FaultOptions hangup;
    hangup.hangupAfter = 0;
    EXPECT_EQ(planFrame(hangup, 1).fate, FramePlan::Fate::HangUp);

    FaultOptions both;
    both.silentAfter = 1;
    both.hangupAfter = 3;
    EXPECT_EQ(planFrame(both, 1).fate, FramePlan::Fate::Send);
    EXPECT_EQ(planFrame(both, 3).fate, FramePlan::Fate::Withhold);
    EXPECT_EQ(planFrame(both, 4).fate, FramePlan::Fate::HangUp);
}
