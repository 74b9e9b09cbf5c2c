// Serial links on Windows: a COM port opened exclusively through the device
// namespace, unbuffered, with reads that return at once and writes bounded
// at 1 ms per byte; the worker is a Win32 thread, and the link locks are
// slim reader/writer locks, so nothing beyond kernel32 is needed.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "serial/serial_link.h"
#include "serial/serial_platform.h"

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

// The port's queues and error flags. It fails for a handle whose device has
// gone (unplugged, driver reset; on Wine, a pty whose far end closed).
// Reading the flags clears them, so every call counts the input the driver
// says it lost into the link's tally.
bool checkPort(HANDLE handle, COMSTAT& status, std::atomic<std::uint64_t>* overruns) {
    DWORD errors = 0;
    if (!ClearCommError(handle, &errors, &status)) return false;
    if (overruns != nullptr && (errors & (CE_OVERRUN | CE_RXOVER)) != 0) overruns->fetch_add(1);
    return true;
}

// Waits, no later than the deadline, for the driver to send what was
// queued before; true if the queue emptied. Sleep(1) may take a whole timer
// tick, but the wait is bounded all the same.
bool drainOutput(HANDLE handle, double deadline, std::atomic<std::uint64_t>* overruns) {
    for (;;) {
        COMSTAT status = {};
        if (!checkPort(handle, status, overruns) || status.cbOutQue == 0) return true;
        if (monotonicSeconds() >= deadline) return false;
        Sleep(1);
    }
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

// One pass over what has arrived: reads until the queue is empty, telling
// the consumer, after a read that filled the scratch, how much more waits.
// False if the line went away.
bool takeArrived(SerialLinkState& link, std::uint8_t* scratch, int capacity, ByteConsumer consume,
                 void* context, int& wanted) {
    const HANDLE handle = link.deviceHandle;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle, scratch, static_cast<DWORD>(capacity), &got, nullptr)) return false;
        if (got > 0) {
            COMSTAT status = {};
            const bool full = got == static_cast<DWORD>(capacity);
            const int behind = full && checkPort(handle, status, &link.overruns)
                                   ? static_cast<int>(status.cbInQue)
                                   : 0;
            wanted = consume(scratch, static_cast<int>(got), behind, context);
        }
        if (got < static_cast<DWORD>(capacity)) return true;
    }
}

// Waits for `wanted` bytes with ReadFiles bounded by the comm timeouts:
// total constant = the slice, no interval and no multiplier. Sleep(1) could
// take a whole 15.6 ms timer tick, and Wine does not implement the
// MAXDWORD/MAXDWORD/N case that returns at the first byte. A slice that
// brings nothing may also mean a line that is gone: Wine's ReadFile on a
// pty whose far end has closed succeeds with nothing (after spinning for
// the slice), but ClearCommError then fails, as for an unplugged adapter.
bool waitFor(SerialLinkState& link, std::uint8_t* scratch, int capacity, double deadline,
             ByteConsumer consume, void* context, int wanted, InterruptCheck interrupted,
             ReceiveOutcome& outcome) {
    const HANDLE handle = link.deviceHandle;
    while (wanted > 0) {
        const double left = deadline - monotonicSeconds();
        const double slice = left < kInterruptCheckSeconds ? left : kInterruptCheckSeconds;
        // A total constant of 0 with nothing else set would mean no limit.
        const DWORD sliceMs = static_cast<DWORD>(slice * 1000.0 + 0.999);
        if (left <= 0.0 || sliceMs == 0) {
            outcome = ReceiveOutcome::TimedOut;
            return true;
        }
        COMMTIMEOUTS timeouts = kReturnAtOnce;
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutConstant = sliceMs;
        const DWORD count = static_cast<DWORD>(wanted < capacity ? wanted : capacity);
        DWORD got = 0;
        COMSTAT status = {};
        if (!SetCommTimeouts(handle, &timeouts) ||
            !ReadFile(handle, scratch, count, &got, nullptr) ||
            (got == 0 && !checkPort(handle, status, &link.overruns))) {
            return false;
        }
        if (got > 0) wanted = consume(scratch, static_cast<int>(got), 0, context);
        if (interrupted != nullptr && interrupted()) {
            outcome = ReceiveOutcome::Interrupted;
            return true;
        }
    }
    outcome = ReceiveOutcome::Satisfied;
    return true;
}

}  // namespace

namespace platform {

void sleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

OpenFailure& openFailure() { return LastOpenFailure; }

// The system's words without the line end.
int recordRefusal(int result, OpenProblem problem, int error) {
    LastOpenFailure.problem = problem;
    char* text = LastOpenFailure.systemText;
    const DWORD size = sizeof LastOpenFailure.systemText;
    DWORD length = 0;
    if (error != 0) {
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(error), 0, text, size, nullptr);
    }
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    text[length] = '\0';
    return result;
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
    if (prefixLength + nameLength >= static_cast<std::size_t>(kDevicePathSize)) {
        recordRefusal(kPortUnavailable, OpenProblem::Missing, ERROR_INVALID_NAME);
        return false;
    }
    std::memcpy(path, kDevicePrefix, prefixLength);
    std::memcpy(path + prefixLength, deviceName, nameLength + 1);
    return true;
}

bool sameDevice(const SerialLinkState& link, const char* path) {
    return samePathIgnoringCase(path, link.devicePath);
}

const char* shownName(const char* devicePath) {
    const bool hasPrefix = std::strncmp(devicePath, kDevicePrefix, kDevicePrefixLength) == 0;
    return hasPrefix ? devicePath + kDevicePrefixLength : devicePath;
}

int openDevice(const char* path, int baudRate, OpenedDevice& opened) {
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return recordRefusal(kPortUnavailable, problemOf(error), static_cast<int>(error));
    }

    SetupComm(handle, kInputQueueSize, kOutputQueueSize);

    // Without these timeouts a read could wait for bytes forever.
    COMMTIMEOUTS timeouts = kReturnAtOnce;

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!SetCommTimeouts(handle, &timeouts) || !GetCommState(handle, &dcb)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return recordRefusal(kPortSettingsRejected, OpenProblem::NotSerial,
                             static_cast<int>(error));
    }
    setLineSettings(dcb, baudRate);
    if (!SetCommState(handle, &dcb)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return recordRefusal(kPortSettingsRejected, OpenProblem::SettingsRejected,
                             static_cast<int>(error));
    }
    // Whatever arrived before this open (a robot that was already talking,
    // a reply meant for an earlier session) is not the robot's status now,
    // and neither are the errors it left.
    PurgeComm(handle, PURGE_RXCLEAR);
    discardStaleInput(handle);
    COMSTAT status = {};
    checkPort(handle, status, nullptr);
    opened.handle = handle;
    opened.lowLatencySet = false;
    opened.countsOverruns = true;
    opened.overruns = 0;
    return kPortOpen;
}

// A port closed on request first gets the time its queued output needs on
// the wire; what is still queued after that is dropped, so that CloseHandle
// does not wait for a line that has stopped.
void releaseDevice(PortHandle handle, bool lost, bool) {
    if (handle == kNoPortHandle) return;
    if (!lost) {
        COMSTAT status = {};
        const double needs = checkPort(handle, status, nullptr) ? status.cbOutQue * 0.001 : 0.0;
        if (!drainOutput(handle, monotonicSeconds() + needs, nullptr)) {
            PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
        }
    }
    CloseHandle(handle);
}

bool answers(SerialLinkState& link) {
    COMSTAT status = {};
    return checkPort(link.deviceHandle, status, &link.overruns);
}

// The per-byte timeout can cut a write short: that frame did not go out,
// and the line may only be slow, unless it no longer answers.
WriteResult writeDevice(SerialLinkState& link, const std::uint8_t* bytes, int count) {
    const HANDLE handle = link.deviceHandle;
    drainOutput(handle, monotonicSeconds() + count * 0.001, &link.overruns);
    DWORD written = 0;
    const BOOL ok = WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr);
    if (!ok) return WriteResult::Gone;
    if (written == static_cast<DWORD>(count)) return WriteResult::Written;
    return answers(link) ? WriteResult::Stalled : WriteResult::Gone;
}

int readDevice(PortHandle handle, std::uint8_t* buffer, int capacity) {
    DWORD received = 0;
    if (!ReadFile(handle, buffer, static_cast<DWORD>(capacity), &received, nullptr)) return -1;
    return static_cast<int>(received);
}

bool receiveOpen(SerialLinkState& link, std::uint8_t* scratch, int capacity, double timeoutSeconds,
                 ByteConsumer consume, void* context, InterruptCheck interrupted,
                 ReceiveOutcome& outcome) {
    const double deadline = monotonicSeconds() + timeoutSeconds;
    int wanted = 1;
    if (!takeArrived(link, scratch, capacity, consume, context, wanted)) return false;
    outcome = wanted == 0 ? ReceiveOutcome::Satisfied : ReceiveOutcome::TimedOut;
    if (wanted == 0 || timeoutSeconds <= 0.0) return true;
    const bool there =
        waitFor(link, scratch, capacity, deadline, consume, context, wanted, interrupted, outcome);
    // read and the next drain must return at once again.
    COMMTIMEOUTS atOnce = kReturnAtOnce;
    if (there) SetCommTimeouts(link.deviceHandle, &atOnce);
    return there;
}

// The flags a receive did not look at are counted here, once a call.
void countOverruns(SerialLinkState& link) { answers(link); }

bool makeNews(NewsSignal& news) {
    news.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return news.event != nullptr;
}

void dropNews(NewsSignal& news) {
    if (news.event != nullptr) CloseHandle(news.event);
    news.event = nullptr;
}

void raiseNews(NewsSignal& news) { SetEvent(news.event); }

void waitNews(NewsSignal& news, double seconds) {
    WaitForSingleObject(news.event, static_cast<DWORD>(seconds * 1000.0 + 0.999));
}

}  // namespace platform

double monotonicSeconds() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

HeldLock::HeldLock(LinkLock& lock) : lock_(lock) {
    AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&lock_.word));
}
HeldLock::~HeldLock() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&lock_.word)); }

namespace {

void describeError(DWORD error, char* why, int whySize) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, why, static_cast<DWORD>(whySize), nullptr);
    while (length > 0 && (why[length - 1] == '\r' || why[length - 1] == '\n' ||
                          why[length - 1] == ' ' || why[length - 1] == '.')) {
        --length;
    }
    why[length] = '\0';
}

}  // namespace

// Only a file on a disk: names such as COM3.csv or NUL.txt stand for
// devices (the robot's own port among them), which would take the lines as
// bytes to send.
bool openLogFile(const char* path, FileHandle& file, bool& empty, char* why, int whySize) {
    const HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        describeError(GetLastError(), why, whySize);
        return false;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        lstrcpynA(why, "it names a device, not a file on a disk", whySize);
        return false;
    }
    LARGE_INTEGER size = {};
    empty = GetFileSizeEx(handle, &size) && size.QuadPart == 0;
    file = handle;
    return true;
}

bool appendLogFile(FileHandle file, const char* bytes, int count, char* why, int whySize) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
            describeError(GetLastError(), why, whySize);
            return false;
        }
        bytes += written;
        count -= static_cast<int>(written);
    }
    return true;
}

void closeLogFile(FileHandle& file) {
    if (file != kNoFile) CloseHandle(file);
    file = kNoFile;
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

// A synchronous handle lets one call at a time through, so a read left
// waiting for bytes would hold up the caller's writes. The worker never
// waits in a read: each round it asks the driver what has arrived and reads
// just that, and between rounds it sleeps a millisecond on the
// high-resolution timer. A handle that no longer answers is dead.
constexpr double kBackgroundRound = 0.001;

void readInBackground(platform::Reading& reading) {
    SerialLinkState& link = *reading.link;
    std::uint8_t scratch[kReadChunkSize];
    for (;;) {
        COMSTAT status = {};
        if (!checkPort(link.deviceHandle, status, &link.overruns)) {
            platform::markDead(reading);
            return;
        }
        if (status.cbInQue == 0) return;
        const DWORD wanted = status.cbInQue < sizeof scratch ? status.cbInQue : sizeof scratch;
        DWORD got = 0;
        const BOOL ok = ReadFile(link.deviceHandle, scratch, wanted, &got, nullptr);
        const double readAt = monotonicSeconds();
        if (!ok) {
            platform::markDead(reading);
            return;
        }
        if (got == 0) return;
        platform::deliver(reading, scratch, static_cast<int>(got),
                          static_cast<int>(status.cbInQue - got), readAt);
    }
}

DWORD WINAPI runWorker(void*) {
    platform::Reading readings[platform::kMostReadings];
    int count = 0;
    while (!TheWorker.stopping.load()) {
        count = platform::readingsForRound(readings, count);
        double wait = TheWorker.tick();
        int dueNow[platform::kMostReadings];
        const int dueCount = platform::readingsDue(readings, count, dueNow, wait);
        for (int d = 0; d < dueCount; ++d) readInBackground(readings[dueNow[d]]);
        if (dueCount > 0 && wait > kBackgroundRound) wait = kBackgroundRound;
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
