// Serial links on Windows: a COM port opened exclusively through the device
// namespace, unbuffered, with reads that return at once and writes bounded
// at 1 ms per byte; the worker is a Win32 thread, and the link locks are
// slim reader/writer locks, so nothing beyond kernel32 is needed.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "serial/serial_link.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace velocart {

static_assert(sizeof(SRWLOCK) == sizeof(LinkLock::word), "LinkLock holds an SRWLOCK");

namespace {

// The driver's input queue holds what arrives between two calls: readAll
// returns every frame since the last one, and a built-in port's driver
// loses what does not fit (4096 bytes: 356 ms of a robot that streams at
// the line's full rate). The output queue needs no more than a frame.
constexpr DWORD kInputQueueSize = 4096;
constexpr DWORD kOutputQueueSize = 100;
constexpr DWORD kClosedWritePauseMs = 10;
// Input is taken as the robot's answer to this session only once the line
// has been quiet this long after the open (two status frames' time), or the
// open has spent kStaleInputLimit seconds on it.
constexpr DWORD kQuietMs = 5;
constexpr double kStaleInputLimit = 0.1;
constexpr char kDevicePrefix[] = "\\\\.\\";  // \\.\ as the device namespace spells it
constexpr int kDevicePrefixLength = 4;

OpenFailure LastOpenFailure = {OpenProblem::None, {}, {}};

// Reads return at once with what has arrived; a write may take 1 ms a byte.
constexpr COMMTIMEOUTS kReturnAtOnce = {MAXDWORD, 0, 0, 1, 0};

class Locked {
public:
    explicit Locked(SerialLinkState& link) : lock_(reinterpret_cast<SRWLOCK*>(&link.lock.word)) {
        AcquireSRWLockExclusive(lock_);
    }
    ~Locked() { ReleaseSRWLockExclusive(lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    SRWLOCK* lock_;
};

// On Windows a port held by another program answers "access denied".
OpenProblem problemOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_NAME: return OpenProblem::Missing;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return OpenProblem::Busy;
        default: return OpenProblem::Other;
    }
}

// Records why an open failed, in the system's words without the line end;
// returns `result` for the caller to pass on.
int refuse(int result, OpenProblem problem, DWORD error) {
    LastOpenFailure.problem = problem;
    char* text = LastOpenFailure.systemText;
    const DWORD size = sizeof LastOpenFailure.systemText;
    DWORD length = 0;
    if (error != 0) {
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, text, size, nullptr);
    }
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    text[length] = '\0';
    return result;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool samePathIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (lowerAscii(*a) != lowerAscii(*b)) return false;
    }
    return *a == *b;
}

// Binary 8N1 with every byte passed through, and no line error able to stop
// later reads and writes. No hardware handshake either: whatever used the
// port last may have left CTS/DSR flow control or DSR sensitivity on, which
// on a three-wire cable stalls every write or drops every byte received.
// DTR and RTS are raised, as robots on a USB-CDC link wait for DTR.
void setLineSettings(DCB& dcb, int baudRate) {
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fNull = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
}

// A handle whose device has gone (unplugged, driver reset) fails even this.
bool answers(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT status = {};
    return ClearCommError(handle, &errors, &status) != FALSE;
}

// Lets the port go; the caller holds the link's lock.
void release(SerialLinkState& link, bool lost) {
    if (link.deviceHandle != kNoPortHandle) CloseHandle(link.deviceHandle);
    link.deviceHandle = kNoPortHandle;
    link.isClosed = true;
    link.isLost = lost;
}

// The first sign that the device has gone: the handle goes at once, so that
// the port, plugged in again, opens again.
void lose(SerialLinkState& link) {
    Locked locked(link);
    if (!link.isClosed) release(link, true);
}

bool pathOfPort(int portNumber, char (&path)[kDevicePathSize]) {
    // Bounding the number keeps "\\.\COM%d" inside the 12-byte path.
    if (portNumber < kFirstPortNumber || portNumber > kLastPortNumber) return false;
    wsprintfA(path, "\\\\.\\COM%d", portNumber);
    return true;
}

// "COM12" or "\\.\COM12" as the device path; false if it cannot fit.
bool pathOfName(const char* deviceName, char (&path)[kDevicePathSize]) {
    const bool hasPrefix = std::strncmp(deviceName, kDevicePrefix, kDevicePrefixLength) == 0;
    const std::size_t prefixLength = hasPrefix ? 0 : kDevicePrefixLength;
    const std::size_t nameLength = std::strlen(deviceName);
    if (prefixLength + nameLength >= static_cast<std::size_t>(kDevicePathSize)) return false;
    std::memcpy(path, kDevicePrefix, prefixLength);
    std::memcpy(path + prefixLength, deviceName, nameLength + 1);
    return true;
}

// Input from before the open can still come in after the purge: a USB
// adapter hands over what its chip held once its latency timer runs out. It
// goes too, until the line has been quiet for a while: a robot that only
// answers is silent until it is asked, and one that streams pauses between
// its frames. Reads wait for at most the quiet time.
void discardStaleInput(HANDLE handle) {
    COMMTIMEOUTS quiet = kReturnAtOnce;
    quiet.ReadIntervalTimeout = 0;
    quiet.ReadTotalTimeoutConstant = kQuietMs;
    if (!SetCommTimeouts(handle, &quiet)) return;
    const double giveUpAt = monotonicSeconds() + kStaleInputLimit;
    std::uint8_t sink[256];
    DWORD got = 0;
    while (monotonicSeconds() < giveUpAt && ReadFile(handle, sink, sizeof sink, &got, nullptr) &&
           got > 0) {
    }
    COMMTIMEOUTS atOnce = kReturnAtOnce;
    SetCommTimeouts(handle, &atOnce);
}

int openCandidate(SerialLinkState& link, const char* path, int baudRate) {
    LastOpenFailure.problem = OpenProblem::None;
    LastOpenFailure.systemText[0] = '\0';
    if (!link.isClosed) {
        // A dead link would keep its port for nothing: let it go and open
        // afresh (after an unplug and replug the number is the same).
        if (link.writeFailing || link.readFailing || !answers(link.deviceHandle)) {
            closePort(link);
        } else {
            return samePathIgnoringCase(path, link.devicePath) ? kPortOpen : kPortUnavailable;
        }
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return refuse(kPortUnavailable, problemOf(error), error);
    }

    SetupComm(handle, kInputQueueSize, kOutputQueueSize);

    // Without these timeouts a read could wait for bytes forever.
    COMMTIMEOUTS timeouts = kReturnAtOnce;

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!SetCommTimeouts(handle, &timeouts) || !GetCommState(handle, &dcb)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return refuse(kPortSettingsRejected, OpenProblem::NotSerial, error);
    }
    setLineSettings(dcb, baudRate);
    if (!SetCommState(handle, &dcb)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return refuse(kPortSettingsRejected, OpenProblem::SettingsRejected, error);
    }
    // Whatever arrived before this open (a robot that was already talking,
    // a reply meant for an earlier session) is not the robot's status now.
    PurgeComm(handle, PURGE_RXCLEAR);
    discardStaleInput(handle);
    Locked locked(link);
    std::memcpy(link.devicePath, path, kDevicePathSize);
    link.deviceHandle = handle;
    link.isClosed = false;
    link.isLost = false;
    link.writeFailing = false;
    link.readFailing = false;
    link.openedAt = monotonicSeconds();
    ++link.openCount;
    return kPortOpen;
}

// Writes an open link's frame; the caller holds its lock. The per-byte
// timeout can cut a write short: that frame did not go out, and the line
// may only be slow, unless it no longer answers.
bool writeOpen(SerialLinkState& link, const std::uint8_t* bytes, int count) {
    const HANDLE handle = link.deviceHandle;
    FlushFileBuffers(handle);
    DWORD written = 0;
    const BOOL ok = WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr);
    const bool complete = ok && written == static_cast<DWORD>(count);
    link.writeFailing = !complete;
    if (!ok || (!complete && !answers(handle))) release(link, true);
    return complete;
}

}  // namespace

int openPort(SerialLinkState& link, int portNumber, int baudRate) {
    char path[kDevicePathSize] = {};
    LastOpenFailure.device[0] = '\0';
    if (!pathOfPort(portNumber, path)) return refuse(kPortUnavailable, OpenProblem::None, 0);
    return openCandidate(link, path, baudRate);
}

int openPortByName(SerialLinkState& link, const char* deviceName, int baudRate) {
    LastOpenFailure.device[0] = '\0';
    if (deviceName == nullptr || deviceName[0] == '\0') {
        return refuse(kPortUnavailable, OpenProblem::None, 0);
    }
    char path[kDevicePathSize] = {};
    if (!pathOfName(deviceName, path)) {
        return refuse(kPortUnavailable, OpenProblem::Missing, ERROR_INVALID_NAME);
    }
    return openCandidate(link, path, baudRate);
}

bool holdsPort(const SerialLinkState& link, int portNumber) {
    char path[kDevicePathSize] = {};
    return !link.isClosed && pathOfPort(portNumber, path) &&
           samePathIgnoringCase(path, link.devicePath);
}

bool holdsDevice(const SerialLinkState& link, const char* deviceName) {
    char path[kDevicePathSize] = {};
    return !link.isClosed && deviceName != nullptr && pathOfName(deviceName, path) &&
           samePathIgnoringCase(path, link.devicePath);
}

bool writeFrame(SerialLinkState& link, const std::uint8_t* bytes, int count) {
    if (link.isLost) {
        link.writeFailing = true;
        return false;
    }
    if (link.isClosed) {
        Sleep(kClosedWritePauseMs);
        return true;
    }
    if (count < 0) return false;
    Locked locked(link);
    return writeOpen(link, bytes, count);
}

bool writeFrameIf(SerialLinkState& link, const std::uint8_t* bytes, int count, WritePermit permit,
                  void* context) {
    Locked locked(link);
    if (link.isLost) link.writeFailing = true;
    if (link.isClosed || count <= 0 || !permit(context)) return false;
    return writeOpen(link, bytes, count);
}

void readAvailable(SerialLinkState& link) {
    if (link.isClosed) return;
    DWORD received = 0;
    if (!ReadFile(link.deviceHandle, link.receiveBuffer, kReadChunkSize, &received, nullptr)) {
        lose(link);
    }
}

namespace {

// One pass over what has arrived: reads until the queue is empty. False if
// the line went away.
bool takeArrived(HANDLE handle, std::uint8_t* scratch, int capacity, ByteConsumer consume,
                 void* context, int& wanted) {
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle, scratch, static_cast<DWORD>(capacity), &got, nullptr)) return false;
        if (got > 0) wanted = consume(scratch, static_cast<int>(got), context);
        if (got < static_cast<DWORD>(capacity)) return true;
    }
}

ReceiveOutcome hungUp(SerialLinkState& link) {
    lose(link);
    link.readFailing = true;
    return ReceiveOutcome::HungUp;
}

// Waits for `wanted` bytes with ReadFiles bounded by the comm timeouts:
// total constant = the slice, no interval and no multiplier. Sleep(1) could
// take a whole 15.6 ms timer tick, and Wine does not implement the
// MAXDWORD/MAXDWORD/N case that returns at the first byte. A slice that
// brings nothing may also mean a line that is gone: Wine's ReadFile on a
// pty whose far end has closed succeeds with nothing (after spinning for
// the slice), but ClearCommError then fails, as for an unplugged adapter.
ReceiveOutcome waitFor(SerialLinkState& link, std::uint8_t* scratch, int capacity, double deadline,
                       ByteConsumer consume, void* context, int wanted,
                       InterruptCheck interrupted) {
    const HANDLE handle = link.deviceHandle;
    while (wanted > 0) {
        const double left = deadline - monotonicSeconds();
        const double slice = left < kInterruptCheckSeconds ? left : kInterruptCheckSeconds;
        // A total constant of 0 with nothing else set would mean no limit.
        const DWORD sliceMs = static_cast<DWORD>(slice * 1000.0 + 0.999);
        if (left <= 0.0 || sliceMs == 0) return ReceiveOutcome::TimedOut;
        COMMTIMEOUTS timeouts = kReturnAtOnce;
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutConstant = sliceMs;
        const DWORD count = static_cast<DWORD>(wanted < capacity ? wanted : capacity);
        DWORD got = 0;
        if (!SetCommTimeouts(handle, &timeouts) ||
            !ReadFile(handle, scratch, count, &got, nullptr) || (got == 0 && !answers(handle))) {
            return hungUp(link);
        }
        if (got > 0) wanted = consume(scratch, static_cast<int>(got), context);
        if (interrupted != nullptr && interrupted()) return ReceiveOutcome::Interrupted;
    }
    return ReceiveOutcome::Satisfied;
}

}  // namespace

ReceiveOutcome receiveUntil(SerialLinkState& link, std::uint8_t* scratch, int capacity,
                            double timeoutSeconds, ByteConsumer consume, void* context,
                            InterruptCheck interrupted) {
    if (link.isLost) return hungUp(link);
    if (link.isClosed) return ReceiveOutcome::Closed;
    const double deadline = monotonicSeconds() + timeoutSeconds;
    int wanted = 1;
    if (!takeArrived(link.deviceHandle, scratch, capacity, consume, context, wanted)) {
        return hungUp(link);
    }
    if (wanted == 0) return ReceiveOutcome::Satisfied;
    if (timeoutSeconds <= 0.0) return ReceiveOutcome::TimedOut;
    const ReceiveOutcome outcome =
        waitFor(link, scratch, capacity, deadline, consume, context, wanted, interrupted);
    // read and the next drain must return at once again.
    if (!link.isClosed) {
        COMMTIMEOUTS atOnce = kReturnAtOnce;
        SetCommTimeouts(link.deviceHandle, &atOnce);
    }
    return outcome;
}

void closePort(SerialLinkState& link) {
    Locked locked(link);
    if (!link.isClosed) release(link, false);
    link.isLost = false;
}

const char* openPortName(const SerialLinkState& link) {
    return link.devicePath + kDevicePrefixLength;
}

const OpenFailure& lastOpenFailure() { return LastOpenFailure; }

double monotonicSeconds() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The worker: a Win32 thread that waits for its wake event or a timer. A
// high-resolution waitable timer (Windows 10 1803 and later) keeps its
// pauses to the millisecond; elsewhere the timer ticks at 15.6 ms.
namespace {

struct Worker {
    HANDLE thread = nullptr;
    HANDLE wake = nullptr;
    HANDLE timer = nullptr;
    WorkerTick tick = nullptr;
    std::atomic<bool> stopping{false};
};

Worker TheWorker;

DWORD WINAPI runWorker(void*) {
    while (!TheWorker.stopping.load()) {
        const double wait = TheWorker.tick();
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>((wait > 0 ? wait : 0) * 1e7);  // 100 ns, relative
        SetWaitableTimer(TheWorker.timer, &due, 0, nullptr, nullptr, FALSE);
        const HANDLE events[2] = {TheWorker.wake, TheWorker.timer};
        WaitForMultipleObjects(2, events, FALSE, INFINITE);
    }
    return 0;
}

void closeWorkerHandles() {
    for (HANDLE* handle : {&TheWorker.thread, &TheWorker.wake, &TheWorker.timer}) {
        if (*handle != nullptr) CloseHandle(*handle);
        *handle = nullptr;
    }
}

}  // namespace

bool startWorker(WorkerTick tick) {
    if (TheWorker.thread != nullptr) return true;
    TheWorker.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    TheWorker.timer = CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (TheWorker.timer == nullptr) TheWorker.timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    TheWorker.tick = tick;
    TheWorker.stopping.store(false);
    if (TheWorker.wake != nullptr && TheWorker.timer != nullptr) {
        TheWorker.thread = CreateThread(nullptr, 0, runWorker, nullptr, 0, nullptr);
    }
    if (TheWorker.thread == nullptr) closeWorkerHandles();
    return TheWorker.thread != nullptr;
}

void wakeWorker() {
    if (TheWorker.thread != nullptr) SetEvent(TheWorker.wake);
}

void stopWorker() {
    if (TheWorker.thread == nullptr) return;
    TheWorker.stopping.store(true);
    SetEvent(TheWorker.wake);
    WaitForSingleObject(TheWorker.thread, INFINITE);
    closeWorkerHandles();
}

bool workerRunning() { return TheWorker.thread != nullptr; }

}  // namespace velocart
