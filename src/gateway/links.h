// The module's links: one record per link number, each holding everything
// one robot's port needs, in a fixed static table. Nothing here calls the
// host: the gateway does the talking, and the module's thread (the
// watchdog, background reading, log files) runs the code of this file and
// of link_log.cpp alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "protocol/command_frame.h"
#include "protocol/frame_assembler.h"
#include "protocol/status_frame.h"
#include "serial/serial_link.h"

namespace velocart {

constexpr int kLinkCount = 32;
constexpr int kRingSize = 1024;

// A status frame's stamp: seconds since its link was opened, when its last
// byte crossed the wire, as far as the reads can tell.
constexpr double kNoStamp = std::numeric_limits<double>::quiet_NaN();

// The newest status frame a link accepted, for readLatest.
struct NewestStatus {
    std::uint8_t bytes[kStatusFrameSize] = {};
    double stamp = kNoStamp;
    bool fresh = false;  // a frame was completed since the last readLatest
    bool seen = false;   // a frame was ever accepted
};

struct StampedFrame {
    std::uint8_t bytes[kStatusFrameSize];
    double stamp;
};

// The last kRingSize status frames a link accepted, for readAll. Frames are
// numbered from 0 at the open; frame n sits at n % kRingSize.
struct StatusRing {
    StampedFrame frames[kRingSize] = {};
    std::uint64_t accepted = 0;  // how many were accepted since the open
    std::uint64_t next = 0;      // the first one readAll has not returned
};

// What the watchdog knows of a link. The caller's frame commands and the
// watchdog's thread change it only under the port's lock (in the permit of
// writeFrameIf); the thread reads it without the lock only to plan its
// next wake-up.
struct LinkWatchdog {
    std::atomic<double> seconds{0.0};  // 0: off
    std::atomic<double> lastCommandAt{0.0};
    // The last velocity sent was not zero, and nothing has stopped it since.
    std::atomic<bool> moving{false};
    // The watchdog stopped the robot, or tried to and its frame could not
    // be written; the next call of the module says which, once.
    std::atomic<bool> fired{false};
    std::atomic<bool> stopFailed{false};
};

constexpr int kLogEntries = 512;

// One frame for a link's log file, as it was taken in or sent.
struct LogEntry {
    double stamp;
    bool sent;  // a command frame sent, else a status frame taken in
    std::uint8_t bytes[kStatusFrameSize];
};

// A link's log file. The caller opens and closes the file; while `active`,
// the caller (frames it sends) and the worker (frames it takes in, the
// watchdog's) put entries in under the link's framesLock, and the worker
// writes them out. A write that fails ends the logging (`failed`, `why`,
// set by the worker) until the caller's next call says so and closes it.
struct LinkLog {
    FileHandle file = kNoFile;
    std::atomic<bool> active{false};
    LogEntry entries[kLogEntries] = {};  // framesLock
    int count = 0;                       // framesLock
    std::uint64_t dropped = 0;           // framesLock: entries that found no room
    std::uint64_t droppedReported = 0;   // the caller's
    double writtenAt = 0.0;              // the worker's
    std::atomic<bool> failed{false};
    // stopLog asks the worker to write out what is left.
    std::atomic<bool> finishing{false};
    char why[160] = {};               // written by the worker before `failed` rises
    char path[kDevicePathSize] = {};  // the caller's
    bool startedBackground = false;   // the caller's: 'log' turned background reading on
};

// Where the bytes being fed came from: the read that delivered them and how
// many were still queued behind them, and the first bytes of this delivery
// that were already waiting at the read before, with that read's time (a
// backlog taken in several reads is timed from the first read that saw it).
struct ReadClock {
    double readAt = 0.0;
    int count = 0;
    int queuedBehind = 0;
    int knownEarlier = 0;
    double earlierAt = 0.0;
};

struct Link {
    SerialLinkState port;
    // The frame the commands encode into; it keeps, from command to
    // command, the fields a command does not own.
    CommandFrameBytes frame = {};
    FrameAssembler assembler{kStatusFrameFormat};
    NewestStatus newest;
    StatusRing ring;
    // The connection (port.openCount) the assembler's half frame, the
    // newest frame, the ring and the watchdog's view belong to: a new one
    // starts without them.
    std::uint32_t openCount = 0;
    // The system's count of lost input (port.overruns) already reported.
    std::uint64_t overrunsReported = 0;
    LinkWatchdog watchdog;
    // The user asked for background reading: the worker reads the port
    // while it is open (the caller's).
    bool backgroundWanted = false;
    // While the worker reads the link, it owns the assembler and its clock,
    // and the newest frame, the ring and the log's entries are shared under
    // this lock; otherwise all of them are the caller's.
    LinkLock framesLock;
    ReadClock backgroundClock;
    LinkLog log;
};

// Links[0] is link 1, the one every call without a link number uses.
extern Link Links[kLinkCount];

// The link with this number (1..kLinkCount); null for any other.
Link* linkNumbered(int number);
int numberOf(const Link& link);

// The link that has this device open, leaving out `except` (if given); null
// if none.
Link* linkHoldingPort(const Link* except, int portNumber);
Link* linkHoldingDevice(const Link* except, const char* deviceName);

// After a successful open: a new connection starts with nothing of the
// last one (no half frame, no newest frame, an empty ring, a robot the
// watchdog knows nothing of). False if the link's watchdog is on and its
// thread could not start: the watchdog is then off.
bool linkOpened(Link& link);

// Sends a command frame on the link and keeps what the watchdog needs to
// know about it.
bool sendFrame(Link& link, const CommandFrameBytes& frame);

// Which command receives: each has its own "new since my last call".
enum class Reader { Latest, All };

// Takes every byte that has arrived on the link, stamping each status frame
// into the newest frame and the ring, and waits, at most `timeoutSeconds`,
// for a frame if none is new to `reader`. `interrupted` is asked at least
// every 20 ms while waiting.
ReceiveOutcome receiveStatus(Link& link, double timeoutSeconds, Reader reader,
                             InterruptCheck interrupted);

// A zero-velocity frame, then a free-wheel frame, each of a frame of its
// own (link.frame is left alone). Only to an open link.
void sendStopSequence(Link& link);

// The watchdog of one link: seconds of silence after which a moving robot
// is stopped; 0 turns it off. The thread runs while any open link has one.
void setWatchdog(Link& link, double seconds);
// Starts or ends the thread as the links now need (a watchdog, background
// reading); false if it is needed and could not start.
bool updateWorker();

// Background reading of an open link on or off, as link.backgroundWanted
// says; false if it could not start (then it is off).
bool applyBackground(Link& link);

// Whether the reading commands find something new for `reader` (under the
// frames' lock when the worker reads the link).
bool hasNewFor(Link& link, Reader reader);
// The module's thread has something the caller's next call must tell.
void noteThreadNews();

// Whether the watchdog's thread has something to tell since this was last
// asked: a robot it stopped or could not stop, a frame it could not write
// (the links' own flags say which). One load on the path of every call.
bool takeThreadNews();

// Closes the link's port, a robot last told to move getting the stop
// sequence first, forgets the connection, and ends the watchdog's thread if
// no other link needs it.
void closeLink(Link& link);

// When the module goes away: the thread ends, every moving robot is told
// to stop, and every link closes.
void closeAllLinks();

}  // namespace velocart
