// A serial connection to one robot.
//
// A SerialLinkState holds one port. Its default values are the state at
// load: Closed, the receive buffer all zero. The buffer is never cleared, so
// a read that brings no bytes leaves the previous frame in place. The caller
// owns the states (the gateway keeps one per link number) and hands each
// operation the one it acts on. serial_link.cpp holds what every platform
// shares (the states a link goes through, and who may change what); one
// backend per platform, chosen by the build, talks to the system.
//
// Threads. The caller's thread (the host's) does everything, except that
// one background thread, the worker below, may write frames through
// writeFrameIf. The rule that keeps a handle from changing under anyone:
//   - only the caller's thread opens, releases and reopens a handle, and it
//     does so under the link's lock;
//   - the worker touches the handle only under the lock, and when it finds
//     the line dead it only marks the link (foundDead); the caller's next
//     operation on the link lets the handle go.
// The fields say who may write them and what guards them.
#pragma once

#include <atomic>
#include <cstdint>

#ifndef _WIN32
#include <pthread.h>

#include <climits>
#endif

namespace velocart {

constexpr int kReceiveBufferSize = 1024;
// One read takes at most a whole number of status frames (34), so that a
// backlog never shifts the next read off the frame boundaries.
constexpr int kReadChunkSize = 1020;
constexpr int kLineBaudRate = 115200;
constexpr int kFirstPortNumber = 1;
constexpr int kLastPortNumber = 9999;
// The longest a wait goes without asking whether the user wants to stop.
constexpr double kInterruptCheckSeconds = 0.02;

// openPort results.
constexpr int kPortOpen = 0;
constexpr int kPortUnavailable = -1;       // absent, busy, not a terminal, or refused
constexpr int kPortSettingsRejected = -2;  // opened, but the line settings failed

#ifdef _WIN32
using PortHandle = void*;  // a Win32 HANDLE
constexpr PortHandle kNoPortHandle = nullptr;
// "\\.\COM9999" and its terminator: the longest path a port number can give.
constexpr int kDevicePathSize = 12;
// An SRWLOCK: one pointer, zero while unlocked, so it needs no set-up.
struct LinkLock {
    void* word = nullptr;
};
// An auto-reset event the worker sets when it has taken in news.
struct NewsSignal {
    void* event = nullptr;
};
using FileHandle = void*;
constexpr FileHandle kNoFile = nullptr;
#else
using PortHandle = int;  // a file descriptor
constexpr PortHandle kNoPortHandle = -1;
constexpr int kDevicePathSize = PATH_MAX;
struct LinkLock {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};
// A pipe: the worker writes a byte to it when it has taken in news.
struct NewsSignal {
    int readEnd = -1;
    int writeEnd = -1;
};
using FileHandle = int;
constexpr FileHandle kNoFile = -1;
#endif

// Holds a LinkLock while it lives.
class HeldLock {
public:
    explicit HeldLock(LinkLock& lock);
    ~HeldLock();
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

private:
    LinkLock& lock_;
};

struct SerialLinkState {
    // Written by the caller's thread alone, under `lock`. The caller reads
    // them without the lock; the worker reads them under it, except the
    // handle of a link it reads in the background: the caller changes none
    // of them while the worker reads the link (stopBackground comes first).
    char devicePath[kDevicePathSize] = {};  // path of the port; kept after close
    PortHandle deviceHandle = kNoPortHandle;
    bool isClosed = true;
    // The device went away (unplugged, the far end gone). The handle was let
    // go, releasing the port for the next open; the link stays so, naming
    // the device, until the next open or close.
    bool isLost = false;
    // open set the adapter's low-latency flag, and close takes it back.
    bool lowLatencySet = false;
    // monotonicSeconds() when the port was opened.
    double openedAt = 0.0;
    // Counts the opens that really happened, so that state kept about the
    // line (a frame half received) can tell a new connection from the old.
    std::uint32_t openCount = 0;
    // The system counts the input it lost on this device (overruns), and
    // had counted this many when the port opened.
    bool countsOverruns = false;
    std::uint64_t overrunsAtOpen = 0;

    // The caller's alone.
    std::uint8_t receiveBuffer[kReceiveBufferSize] = {};
    // The line hung up during a receive; reported once, cleared by an open.
    bool readFailing = false;
    // The worker reads the port (startBackground).
    bool background = false;
    // Made by the caller before the worker reads the link and dropped after
    // it stops; the worker raises it to wake a caller waiting for what it
    // took in.
    NewsSignal news;

    // Atomics either thread may change.
    // A caller waits on `news`: raised by the caller, taken by the first
    // of the two to act on it.
    std::atomic<bool> awaitingNews{false};
    // A write failed and nothing has succeeded since: set, under `lock`, by
    // the thread that wrote.
    std::atomic<bool> writeFailing{false};
    // A write failure nobody has reported yet: raised under `lock` when
    // writeFailing rises, whichever thread met it, and taken by the one
    // report of it.
    std::atomic<bool> writeFailureNews{false};
    // The worker met a device that has gone (a write, under `lock`, or a
    // read in the background); the caller lets the handle go and clears it.
    std::atomic<bool> foundDead{false};
    // Input the system says it lost since the open (overrun events), where
    // its driver keeps count: brought up to date by whichever thread asks.
    std::atomic<std::uint64_t> overruns{0};

    LinkLock lock;
};

// Opens COM<portNumber> (Windows) or /dev/ttyS<portNumber-1> (POSIX, the
// numbering Wine and Cygwin give COM ports). Port numbers run 1..9999.
// Input that arrived before the open is discarded.
// While the link is open: 0 if the request names the same device, else -1
// and the open port stays as it is. A link that has failed (a write failed
// and none has succeeded since, or the handle no longer answers) is closed
// first and the request is opened afresh; so is a lost one.
int openPort(SerialLinkState& link, int portNumber, int baudRate);

// Same, for a device given by name: "COM12" or "\\.\COM12" on Windows, a
// path such as "/dev/ttyUSB0" elsewhere (it must be a terminal).
int openPortByName(SerialLinkState& link, const char* deviceName, int baudRate);

// Whether the link has this device open: the same port number, or a name
// for the same device (through a symbolic link too, where the platform has
// them).
bool holdsPort(const SerialLinkState& link, int portNumber);
bool holdsDevice(const SerialLinkState& link, const char* deviceName);

// Waits for earlier output to drain, then writes count bytes. The drain and
// the write are each bounded at 1 ms per byte, so a stalled line holds the
// caller at most 2 ms per byte. False if the write failed or was cut short.
// While Closed: pauses 10 ms, writes nothing and returns true. While lost:
// false at once. A count of 0 writes nothing and succeeds; a negative one
// fails. A failure that shows the device has gone lets it go.
bool writeFrame(SerialLinkState& link, const std::uint8_t* bytes, int count);

// Asked under the link's lock, right before a write: whether to write.
using WritePermit = bool (*)(void* context);

// writeFrame for either thread, for writes whose bookkeeping must not
// interleave with the other thread's: `permit` runs under the link's lock,
// and the frame is written only if it agrees. A link that is not open is
// never written to and never paused for. True if the frame was written. It
// never lets a handle go: a device found gone marks the link (foundDead),
// and the caller's next operation on it, or settleLink, lets it go.
bool writeFrameIf(SerialLinkState& link, const std::uint8_t* bytes, int count, WritePermit permit,
                  void* context);

// The caller's thread only: lets the handle go if the worker found the
// device gone. Every other operation of the caller's does this first.
void settleLink(SerialLinkState& link);

// The caller's thread only: lets the handle go, as a failed write would, if
// the device no longer answers (unplugged, hung up). True while the link
// is open.
bool checkDevice(SerialLinkState& link);

// One read that returns at once with what has arrived (up to
// kReadChunkSize bytes), stored from offset 0 of receiveBuffer. Nothing
// arrived, an error, or a link that is not open: the buffer is left as it is.
void readAvailable(SerialLinkState& link);

// How a receive ended.
enum class ReceiveOutcome {
    Satisfied,    // the consumer has what it wanted
    TimedOut,     // the wait ended first (or there was none to make)
    Interrupted,  // the host asked to stop (the user's Ctrl-C)
    HungUp,       // the line went away (now or earlier): the handle is let go
    Closed        // no port is open: nothing was read
};

// Takes the delivered bytes and returns how many more it wants; 0 when it
// is satisfied. `queuedBehind` is how many bytes were already waiting
// behind the last of them when they were read: a backlog taken in several
// reads still knows how long ago each byte crossed the wire.
using ByteConsumer = int (*)(const std::uint8_t* bytes, int count, int queuedBehind, void* context);

// True when the host asks to stop what is running.
using InterruptCheck = bool (*)();

// First takes everything that has already arrived, in as many reads into
// `scratch` as that needs, handing each delivery to `consume`. If the
// consumer still wants bytes, waits for them, at most `timeoutSeconds`,
// and returns as soon as it is satisfied: poll on POSIX, a ReadFile bounded
// by the comm timeouts on Windows, never a sleep loop. The wait is made in
// slices of at most kInterruptCheckSeconds, asking `interrupted` (if given)
// after each; other signals do not shorten it. receiveBuffer is not touched.
// Afterwards `overruns` holds what the system says it lost since the open.
ReceiveOutcome receiveUntil(SerialLinkState& link, std::uint8_t* scratch, int capacity,
                            double timeoutSeconds, ByteConsumer consume, void* context,
                            InterruptCheck interrupted);

// Releases the port if one is open; the link is Closed afterwards, and no
// longer lost.
void closePort(SerialLinkState& link);

// The port's name as a user would write it ("COM3", "/dev/ttyUSB0"): the
// open one, or the last one opened.
const char* openPortName(const SerialLinkState& link);

// Why the last open request failed, as far as the system said.
enum class OpenProblem {
    None,              // not refused by the system (already open, bad number)
    Missing,           // no such device
    Busy,              // another program holds it
    BusyHere,          // this process holds it, through another copy of the module
    AccessDenied,      // no permission
    NotSerial,         // it opened but is no serial port
    SettingsRejected,  // the line settings were refused
    Other
};

struct OpenFailure {
    OpenProblem problem;
    char systemText[160];  // the system's own words for it; empty if none
    // The device the request tried, where its name differs from what the
    // caller gave (a port number on POSIX); empty otherwise.
    char device[32];
};

const OpenFailure& lastOpenFailure();

// The system's monotonic clock, in seconds from an arbitrary start.
double monotonicSeconds();

// The one background thread of the module: the watchdog's timer, and the
// reader of the links read in the background. `tick` runs on it at once,
// then again after the seconds it returns, or sooner when woken; between
// ticks it takes in what arrives on those links. It must never call the
// host.
using WorkerTick = double (*)();

// Starts the thread unless it runs already; false if it could not start.
bool startWorker(WorkerTick tick);
// Makes the thread run `tick` now (the settings it looks at changed).
void wakeWorker();
// Returns once the thread has finished what it was doing when this was
// called: what the caller changed before is seen by every later tick.
void syncWorker();
// Ends the thread and waits for it: nothing of it runs after this returns.
void stopWorker();
bool workerRunning();

// Background reading. While a link has it, the worker reads the port as
// bytes arrive and hands each delivery to `consume`, on the worker's
// thread, with the time of its read (monotonicSeconds()); the caller's own
// reads of the port stop. The consumer returns how many more bytes it needs
// for something new (the rest of a frame): they cannot all have crossed the
// wire before their line time has passed, so the worker looks at the port
// again only then, and wakes far less often than the bytes come. A line
// found dead marks the link (foundDead) and wakes a waiting caller.
using BackgroundConsumer = int (*)(const std::uint8_t* bytes, int count, int queuedBehind,
                                   double readAt, void* context);

// The caller's thread, on an open link, with the worker running: false if
// the link's news signal could not be made.
bool startBackground(SerialLinkState& link, BackgroundConsumer consume, void* context);
// Returns once the worker no longer touches the link; harmless when it has
// no background reading.
void stopBackground(SerialLinkState& link);

// The worker, after `consume` took in something a caller may wait for.
void announceNews(SerialLinkState& link);

// The caller: waits until `ready` says yes (asked under no lock of the
// link's; it takes what it needs), at most `timeoutSeconds`, in slices of
// at most kInterruptCheckSeconds, asking `interrupted` after each. A line
// the worker found dead ends the wait at once (HungUp; the handle is let
// go). Afterwards `overruns` is up to date, as after receiveUntil.
ReceiveOutcome awaitNews(SerialLinkState& link, double timeoutSeconds, bool (*ready)(void*),
                         void* context, InterruptCheck interrupted);

// Log files: created if missing, written at their end. Only the caller
// opens and closes one; the worker appends. `why` gets the system's words
// for a failure; `empty` says whether the file held nothing yet.
bool openLogFile(const char* path, FileHandle& file, bool& empty, char* why, int whySize);
bool appendLogFile(FileHandle file, const char* bytes, int count, char* why, int whySize);
void closeLogFile(FileHandle& file);

}  // namespace velocart
