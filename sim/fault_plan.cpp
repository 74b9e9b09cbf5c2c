#include "sim/fault_plan.h"

namespace velocart::sim {

const std::vector<std::uint8_t> kGarbageBytes = {0x00, 0xFF, 0x55, 0xAA, 0x13, 0x11, 0x7E};

namespace {

bool isEvery(std::uint64_t every, std::uint64_t number) {
    return every != 0 && number % every == 0;
}

bool isPast(std::int64_t limit, std::uint64_t number) {
    return limit >= 0 && number > static_cast<std::uint64_t>(limit);
}

}  // namespace

FramePlan planFrame(const FaultOptions& faults, std::uint64_t frameNumber) {
    FramePlan plan;
    // A hang-up takes the line away, so it wins over silence.
    if (isPast(faults.hangupAfter, frameNumber)) {
        plan.fate = FramePlan::Fate::HangUp;
        return plan;
    }
    if (isPast(faults.silentAfter, frameNumber)) {
        plan.fate = FramePlan::Fate::Withhold;
        return plan;
    }
    plan.corruptCrc = isEvery(faults.crcEvery, frameNumber);
    plan.garbage = isEvery(faults.garbageEvery, frameNumber);
    plan.split = faults.splitPauseMs > 0;
    return plan;
}

std::vector<Write> writesFor(const StatusBytes& frame, const FramePlan& plan) {
    StatusBytes bytes = frame;
    if (plan.corruptCrc) bytes[kStatusCrcOffset + 1] ^= 0x01;

    Write first;
    if (plan.garbage) first = kGarbageBytes;
    const auto splitAt = bytes.begin() + (plan.split ? kSplitOffset : kStatusFrameSize);
    first.insert(first.end(), bytes.begin(), splitAt);
    std::vector<Write> writes{first};
    if (plan.split) writes.emplace_back(splitAt, bytes.end());
    return writes;
}

}  // namespace velocart::sim
