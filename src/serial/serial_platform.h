// What each platform's backend gives serial_link.cpp: the system calls
// behind a link, with no state of the link's own. Only the serial folder
// includes this.
#pragma once

#include <cstdint>

#include "serial/serial_link.h"

namespace velocart {
namespace platform {

// The port's lock.
class Locked : public HeldLock {
public:
    explicit Locked(SerialLinkState& link) : HeldLock(link.lock) {}
};

void sleepMs(int ms);

// The device path a port number or a name stands for; false (with the
// reason recorded) when there is none.
bool pathOfPort(int portNumber, char (&path)[kDevicePathSize]);
bool pathOfName(const char* deviceName, char (&path)[kDevicePathSize]);
// Whether `path` is the device the open link holds.
bool sameDevice(const SerialLinkState& link, const char* path);
// The part of the stored path a user would write.
const char* shownName(const char* devicePath);

struct OpenedDevice {
    PortHandle handle;
    bool lowLatencySet;
    bool countsOverruns;     // the system counts lost input on this device
    std::uint64_t overruns;  // and had counted this much at the open
};

// Opens `path` exclusively, sets the line and discards what arrived before;
// kPortOpen, or the refusal (recorded with recordRefusal).
int openDevice(const char* path, int baudRate, OpenedDevice& opened);

// Lets the device go. One closed on request first gets the time a write
// has to leave for its last frame; output still stuck after that is
// dropped. A device that has gone has nothing to drain.
void releaseDevice(PortHandle handle, bool lost, bool lowLatencySet);

// Whether the open link's handle still answers: a hung-up or unplugged
// device does not.
bool answers(SerialLinkState& link);

enum class WriteResult { Written, Stalled, Gone };

// Waits for earlier output to drain, then writes, each bounded at 1 ms a
// byte. A line that took nothing within the bound may only be slow, unless
// it no longer answers (Gone).
// The caller holds the link's lock.
WriteResult writeDevice(SerialLinkState& link, const std::uint8_t* bytes, int count);

// One read of what has arrived, at once: the byte count, 0 for none, -1 if
// the device has gone.
int readDevice(PortHandle handle, std::uint8_t* buffer, int capacity);

// What receiveUntil does once the link is known to be open: true if it
// ended with the line still there, false if the device has gone.
bool receiveOpen(SerialLinkState& link, std::uint8_t* scratch, int capacity, double timeoutSeconds,
                 ByteConsumer consume, void* context, InterruptCheck interrupted,
                 ReceiveOutcome& outcome);

// Brings link.overruns up to date where the system counts lost input.
void countOverruns(SerialLinkState& link);

// Records why an open failed, in the system's words for `error` (0: none);
// returns `result` for the caller to pass on.
int recordRefusal(int result, OpenProblem problem, int error);
OpenFailure& openFailure();

// A link the worker reads, as the caller registered it, and (the worker's
// own) when it last left nothing behind on the port and when to look at the
// port next.
struct Reading {
    SerialLinkState* link;
    BackgroundConsumer consume;
    void* context;
    double drainedAt;
    double lookAt;
};
constexpr int kMostReadings = 32;

// The worker, at the top of each round: the links to read (`readings`
// holds the last round's `count` and is replaced), each keeping when to
// look at it next. Whatever the caller changed before its last syncWorker
// is in effect from here on.
int readingsForRound(Reading (&readings)[kMostReadings], int count);

// The worker: which of this round's readings to wait on now, into `due`,
// and how long until the next of the others is due (at most `wait`).
int readingsDue(const Reading* readings, int count, int* due, double& wait);

// The worker, for a delivery it read at `readAt`: hands it on and wakes a
// waiting caller.
void deliver(Reading& reading, const std::uint8_t* bytes, int count, int queuedBehind,
             double readAt);
// The worker found the reading's line dead.
void markDead(const Reading& reading);

bool makeNews(NewsSignal& news);
void dropNews(NewsSignal& news);
void raiseNews(NewsSignal& news);
// Waits for the signal at most `seconds`, taking it if it came.
void waitNews(NewsSignal& news, double seconds);

}  // namespace platform
}  // namespace velocart
