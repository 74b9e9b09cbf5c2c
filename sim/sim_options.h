// The simulator's command line.
#pragma once

#include <string>

#include "protocol/status_frame.h"
#include "sim/fault_plan.h"
#include "sim/wire.h"

namespace velocart::sim {

struct SimOptions {
    std::string link;       // symbolic link to create, pointing at the pty's slave side
    std::string logPath;    // timestamped hex lines of every frame in and out
    std::string statsPath;  // counters, rewritten whenever they change
    double streamHz = 0.0;  // 0: answer each command; otherwise send frames at this rate
    bool wire = false;      // pace every byte at the line rate, as a USB adapter hands them over
    WireOptions wireOptions;
    FaultOptions faults;
    bool help = false;
};

constexpr double kMaxStreamHz = 1000.0;
// Status frames a 115200-baud line carries in a second: 10 bits a byte.
constexpr double kLineFramesPerSecond = 115200.0 / (10 * kStatusFrameSize);
constexpr int kMaxSplitPauseMs = 10000;
constexpr double kMaxChunkMs = 1000.0;
constexpr int kMaxLatencyTimerMs = 255;

// Fills `options` from argv. False with a one-line reason in `error` if an
// option is unknown, lacks its value or has a value out of range, or if
// --link is missing (unless --help is given), or if --chunk-ms or
// --latency-timer come without --wire.
bool parseOptions(int argc, const char* const argv[], SimOptions& options, std::string& error);

// What to say at start about `options`: a --stream rate the line cannot
// carry. Empty if nothing.
std::string streamNote(const SimOptions& options);

// The text --help prints.
std::string usageText();

}  // namespace velocart::sim
