// Faults the simulated robot can put on its outgoing status frames, so tests
// can see how the driver copes with a poor line.
//
// Frames are numbered from 1 in the order the robot produces them (replies
// and streamed frames alike), whether or not they are then sent.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/status_builder.h"

namespace velocart::sim {

struct FaultOptions {
    std::uint64_t crcEvery = 0;      // corrupt the checksum of every Nth frame; 0: never
    std::uint64_t garbageEvery = 0;  // put garbage bytes in front of every Nth frame; 0: never
    int splitPauseMs = 0;            // write every frame in two parts this far apart; 0: whole
    std::int64_t silentAfter = -1;   // produce no bytes after N frames; -1: never
    std::int64_t hangupAfter = -1;   // hang up in place of frame N+1; -1: never
};

// Bytes written in front of a frame by the garbage fault. The first byte is
// not a start byte, so a reader that expects a frame at offset 0 rejects it.
extern const std::vector<std::uint8_t> kGarbageBytes;

// A split frame's first part ends here; the second part holds the rest.
constexpr int kSplitOffset = 15;

// What happens to frame number `frameNumber`.
struct FramePlan {
    enum class Fate { Send, Withhold, HangUp };
    Fate fate = Fate::Send;
    bool corruptCrc = false;
    bool garbage = false;
    bool split = false;
};

FramePlan planFrame(const FaultOptions& faults, std::uint64_t frameNumber);

// The bytes of one write on the line.
using Write = std::vector<std::uint8_t>;

// The writes that carry `frame` under `plan` (only for Fate::Send): one
// write, or two when the frame is split. Garbage travels in the first.
std::vector<Write> writesFor(const StatusBytes& frame, const FramePlan& plan);

}  // namespace velocart::sim
