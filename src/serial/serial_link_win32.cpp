// SerialLink on Windows: a COM port opened exclusively through the device
// namespace, unbuffered, with reads that return at once and writes bounded
// at 1 ms per byte.
#include <windows.h>

#include <cstring>

#include "serial/serial_link.h"

namespace velocart {

SerialLinkState SerialLink = {{}, kNoPortHandle, true, false, {}, false, 0, false};

namespace {

constexpr DWORD kQueueSize = 100;
constexpr DWORD kClosedWritePauseMs = 10;
constexpr char kDevicePrefix[] = "\\\\.\\";  // \\.\ as the device namespace spells it
constexpr int kDevicePrefixLength = 4;

OpenFailure LastOpenFailure = {OpenProblem::None, {}};

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
bool linkAnswers() {
    DWORD errors = 0;
    COMSTAT status = {};
    return ClearCommError(SerialLink.deviceHandle, &errors, &status) != FALSE;
}

int openCandidate(const char* path, int baudRate) {
    LastOpenFailure = {OpenProblem::None, {}};
    if (!SerialLink.isClosed) {
        // A dead link would keep its port for nothing: let it go and open
        // afresh (after an unplug and replug the number is the same).
        if (SerialLink.writeFailing || SerialLink.readFailing || !linkAnswers()) {
            closePort();
        } else {
            return samePathIgnoringCase(path, SerialLink.devicePath) ? kPortOpen : kPortUnavailable;
        }
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return refuse(kPortUnavailable, problemOf(error), error);
    }

    SetupComm(handle, kQueueSize, kQueueSize);

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
    std::memcpy(SerialLink.devicePath, path, kDevicePathSize);
    SerialLink.deviceHandle = handle;
    SerialLink.isClosed = false;
    SerialLink.writeFailing = false;
    SerialLink.readFailing = false;
    ++SerialLink.openCount;
    return kPortOpen;
}

}  // namespace

int openPort(int portNumber, int baudRate) {
    // Bounding the number keeps "\\.\COM%d" inside the 12-byte path.
    if (portNumber < kFirstPortNumber || portNumber > kLastPortNumber) {
        return refuse(kPortUnavailable, OpenProblem::None, 0);
    }
    char path[kDevicePathSize] = {};
    wsprintfA(path, "\\\\.\\COM%d", portNumber);
    return openCandidate(path, baudRate);
}

int openPortByName(const char* deviceName, int baudRate) {
    if (deviceName == nullptr || deviceName[0] == '\0') {
        return refuse(kPortUnavailable, OpenProblem::None, 0);
    }
    const bool hasPrefix = std::strncmp(deviceName, kDevicePrefix, kDevicePrefixLength) == 0;
    const std::size_t prefixLength = hasPrefix ? 0 : kDevicePrefixLength;
    const std::size_t nameLength = std::strlen(deviceName);
    if (prefixLength + nameLength >= static_cast<std::size_t>(kDevicePathSize)) {
        return refuse(kPortUnavailable, OpenProblem::Missing, ERROR_INVALID_NAME);
    }
    char path[kDevicePathSize] = {};
    std::memcpy(path, kDevicePrefix, prefixLength);
    std::memcpy(path + prefixLength, deviceName, nameLength + 1);
    return openCandidate(path, baudRate);
}

bool writeFrame(const std::uint8_t* bytes, int count) {
    if (SerialLink.isClosed) {
        Sleep(kClosedWritePauseMs);
        return true;
    }
    if (count < 0) return false;
    FlushFileBuffers(SerialLink.deviceHandle);
    DWORD written = 0;
    const BOOL ok =
        WriteFile(SerialLink.deviceHandle, bytes, static_cast<DWORD>(count), &written, nullptr);
    // The per-byte timeout can cut a write short; that frame did not go out.
    const bool complete = ok && written == static_cast<DWORD>(count);
    SerialLink.writeFailing = !complete;
    return complete;
}

void readAvailable() {
    if (SerialLink.isClosed) return;
    DWORD received = 0;
    ReadFile(SerialLink.deviceHandle, SerialLink.receiveBuffer, kReadChunkSize, &received, nullptr);
}

namespace {

// One pass over what has arrived: reads until the queue is empty. False if
// the line went away.
bool takeArrived(std::uint8_t* scratch, int capacity, ByteConsumer consume, void* context,
                 int& wanted) {
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(SerialLink.deviceHandle, scratch, static_cast<DWORD>(capacity), &got,
                      nullptr)) {
            return false;
        }
        if (got > 0) wanted = consume(scratch, static_cast<int>(got), context);
        if (got < static_cast<DWORD>(capacity)) return true;
    }
}

double nowSeconds() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

ReceiveOutcome hungUp() {
    SerialLink.readFailing = true;
    return ReceiveOutcome::HungUp;
}

// Waits for `wanted` bytes with a ReadFile bounded by the comm timeouts:
// total constant = the time left, no interval and no multiplier. Sleep(1)
// could take a whole 15.6 ms timer tick, and Wine does not implement the
// MAXDWORD/MAXDWORD/N case that returns at the first byte.
ReceiveOutcome waitFor(std::uint8_t* scratch, int capacity, double deadline, ByteConsumer consume,
                       void* context, int wanted) {
    const HANDLE handle = SerialLink.deviceHandle;
    while (wanted > 0) {
        const double left = deadline - nowSeconds();
        // A total constant of 0 with nothing else set would mean no limit.
        const DWORD leftMs = static_cast<DWORD>(left * 1000.0 + 0.999);
        if (left <= 0.0 || leftMs == 0) return ReceiveOutcome::TimedOut;
        COMMTIMEOUTS timeouts = kReturnAtOnce;
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutConstant = leftMs;
        const DWORD count = static_cast<DWORD>(wanted < capacity ? wanted : capacity);
        DWORD got = 0;
        if (!SetCommTimeouts(handle, &timeouts) ||
            !ReadFile(handle, scratch, count, &got, nullptr)) {
            return hungUp();
        }
        if (got > 0) wanted = consume(scratch, static_cast<int>(got), context);
    }
    return ReceiveOutcome::Satisfied;
}

}  // namespace

ReceiveOutcome receiveUntil(std::uint8_t* scratch, int capacity, double timeoutSeconds,
                            ByteConsumer consume, void* context) {
    if (SerialLink.isClosed) return ReceiveOutcome::Closed;
    const double deadline = nowSeconds() + timeoutSeconds;
    int wanted = 1;
    if (!takeArrived(scratch, capacity, consume, context, wanted)) return hungUp();
    if (wanted == 0) return ReceiveOutcome::Satisfied;
    if (timeoutSeconds <= 0.0) return ReceiveOutcome::TimedOut;
    const ReceiveOutcome outcome = waitFor(scratch, capacity, deadline, consume, context, wanted);
    // read and the next drain must return at once again.
    COMMTIMEOUTS atOnce = kReturnAtOnce;
    SetCommTimeouts(SerialLink.deviceHandle, &atOnce);
    return outcome;
}

void closePort() {
    if (!SerialLink.isClosed) {
        CloseHandle(SerialLink.deviceHandle);
        SerialLink.deviceHandle = kNoPortHandle;
    }
    SerialLink.isClosed = true;
}

const char* openPortName() { return SerialLink.devicePath + kDevicePrefixLength; }

const OpenFailure& lastOpenFailure() { return LastOpenFailure; }

}  // namespace velocart
