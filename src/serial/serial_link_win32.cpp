// SerialLink on Windows: a COM port opened exclusively through the device
// namespace, unbuffered, with reads that return at once and writes bounded
// at 1 ms per byte.
#include <windows.h>

#include <cstring>

#include "serial/serial_link.h"

namespace velocart {

SerialLinkState SerialLink = {{}, kNoPortHandle, true, false, {}};

namespace {

constexpr DWORD kQueueSize = 100;
constexpr DWORD kClosedWritePauseMs = 10;
constexpr char kDevicePrefix[] = "\\\\.\\";  // \\.\ as the device namespace spells it
constexpr int kDevicePrefixLength = 4;

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool samePathIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (lowerAscii(*a) != lowerAscii(*b)) return false;
    }
    return *a == *b;
}

// Binary 8N1 with every byte passed through, and no line error able to stop
// later reads and writes. DTR/RTS and the CTS/DSR handshake stay as the
// device reported them.
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
}

int openCandidate(const char* path, int baudRate) {
    if (!SerialLink.isClosed) {
        return samePathIgnoringCase(path, SerialLink.devicePath) ? kPortOpen : kPortUnavailable;
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return kPortUnavailable;

    SetupComm(handle, kQueueSize, kQueueSize);

    // Without these timeouts a read could wait for bytes forever.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = 0;

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!SetCommTimeouts(handle, &timeouts) || !GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return kPortSettingsRejected;
    }
    setLineSettings(dcb, baudRate);
    if (!SetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return kPortSettingsRejected;
    }
    std::memcpy(SerialLink.devicePath, path, kDevicePathSize);
    SerialLink.deviceHandle = handle;
    SerialLink.isClosed = false;
    SerialLink.writeFailing = false;
    return kPortOpen;
}

}  // namespace

int openPort(int portNumber, int baudRate) {
    // Bounding the number keeps "\\.\COM%d" inside the 12-byte path.
    if (portNumber < kFirstPortNumber || portNumber > kLastPortNumber) return kPortUnavailable;
    char path[kDevicePathSize] = {};
    wsprintfA(path, "\\\\.\\COM%d", portNumber);
    return openCandidate(path, baudRate);
}

int openPortByName(const char* deviceName, int baudRate) {
    if (deviceName == nullptr || deviceName[0] == '\0') return kPortUnavailable;
    const bool hasPrefix = std::strncmp(deviceName, kDevicePrefix, kDevicePrefixLength) == 0;
    const std::size_t prefixLength = hasPrefix ? 0 : kDevicePrefixLength;
    const std::size_t nameLength = std::strlen(deviceName);
    if (prefixLength + nameLength >= static_cast<std::size_t>(kDevicePathSize)) {
        return kPortUnavailable;
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
    ReadFile(SerialLink.deviceHandle, SerialLink.receiveBuffer, kReceiveBufferSize, &received,
             nullptr);
}

void closePort() {
    if (!SerialLink.isClosed) {
        CloseHandle(SerialLink.deviceHandle);
        SerialLink.deviceHandle = kNoPortHandle;
    }
    SerialLink.isClosed = true;
}

const char* openPortName() { return SerialLink.devicePath + kDevicePrefixLength; }

}  // namespace velocart
