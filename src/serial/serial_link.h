// The one serial connection to the robot.
//
// SerialLink is a single object with static storage: Closed at load, its
// receive buffer all zero and never cleared, so a read that brings no bytes
// leaves the previous frame in place. The platform backend (one source file
// per platform, chosen by the build) supplies the four operations.
#pragma once

#include <cstdint>

#ifndef _WIN32
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

// openPort results.
constexpr int kPortOpen = 0;
constexpr int kPortUnavailable = -1;       // absent, busy, not a terminal, or refused
constexpr int kPortSettingsRejected = -2;  // opened, but the line settings failed

#ifdef _WIN32
using PortHandle = void*;  // a Win32 HANDLE
constexpr PortHandle kNoPortHandle = nullptr;
// "\\.\COM9999" and its terminator: the longest path a port number can give.
constexpr int kDevicePathSize = 12;
#else
using PortHandle = int;  // a file descriptor
constexpr PortHandle kNoPortHandle = -1;
constexpr int kDevicePathSize = PATH_MAX;
#endif

struct SerialLinkState {
    char devicePath[kDevicePathSize];  // path of the open port; kept after close
    PortHandle deviceHandle;
    bool isClosed;
    // A write failed while open and nothing has succeeded since; lets the
    // caller report a broken line once rather than on every frame.
    bool writeFailing;
    std::uint8_t receiveBuffer[kReceiveBufferSize];
    // The line hung up during a receive; reported once, cleared by an open.
    bool readFailing;
    // Counts the opens that really happened, so that state kept about the
    // line (a frame half received) can tell a new connection from the old.
    std::uint32_t openCount;
    // open set the adapter's low-latency flag, and close takes it back.
    bool lowLatencySet;
};

extern SerialLinkState SerialLink;

// Opens COM<portNumber> (Windows) or /dev/ttyS<portNumber-1> (POSIX, the
// numbering Wine and Cygwin give COM ports). Port numbers run 1..9999.
// Input that arrived before the open is discarded.
// While a port is open: 0 if the request names the same device, else -1 and
// the open port stays as it is. A link that has failed (a write failed and
// none has succeeded since, or the handle no longer answers, as after an
// unplug) is closed first and the request is opened afresh.
int openPort(int portNumber, int baudRate);

// Same, for a device given by name: "COM12" or "\\.\COM12" on Windows, a
// path such as "/dev/ttyUSB0" elsewhere (it must be a terminal).
int openPortByName(const char* deviceName, int baudRate);

// Waits for earlier output to drain, then writes count bytes. The drain and
// the write are each bounded at 1 ms per byte, so a stalled line holds the
// caller at most 2 ms per byte. False if the write failed or was cut short.
// While Closed: pauses 10 ms, writes nothing and returns true.
bool writeFrame(const std::uint8_t* bytes, int count);

// One read that returns at once with what has arrived (up to
// kReadChunkSize bytes), stored from offset 0 of receiveBuffer. Nothing
// arrived, an error, or a Closed link: the buffer is left as it is.
void readAvailable();

// How a receive ended.
enum class ReceiveOutcome {
    Satisfied,    // the consumer has what it wanted
    TimedOut,     // the wait ended first (or there was none to make)
    Interrupted,  // a signal (the user's Ctrl-C) ended the wait early
    HungUp,       // the line went away
    Closed        // no port is open: nothing was read
};

// Takes the delivered bytes and returns how many more it wants; 0 when it
// is satisfied.
using ByteConsumer = int (*)(const std::uint8_t* bytes, int count, void* context);

// First takes everything that has already arrived, in as many reads into
// `scratch` as that needs, handing each delivery to `consume`. If the
// consumer still wants bytes, waits for them, at most `timeoutSeconds`,
// and returns as soon as it is satisfied: poll on POSIX, a ReadFile bounded
// by the comm timeouts on Windows, never a sleep loop. receiveBuffer is not
// touched.
ReceiveOutcome receiveUntil(std::uint8_t* scratch, int capacity, double timeoutSeconds,
                            ByteConsumer consume, void* context);

// Releases the port if one is open; the link is Closed afterwards.
void closePort();

// The open port's name as a user would write it ("COM3", "/dev/ttyUSB0").
const char* openPortName();

// Why the last open request failed, as far as the system said.
enum class OpenProblem {
    None,              // not refused by the system (already open, bad number)
    Missing,           // no such device
    Busy,              // another program holds it
    AccessDenied,      // no permission
    NotSerial,         // it opened but is no serial port
    SettingsRejected,  // the line settings were refused
    Other
};

struct OpenFailure {
    OpenProblem problem;
    char systemText[160];  // the system's own words for it; empty if none
};

const OpenFailure& lastOpenFailure();

}  // namespace velocart
