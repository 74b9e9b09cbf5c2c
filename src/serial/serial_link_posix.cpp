// SerialLink on Linux and macOS: termios, with flock plus TIOCEXCL for
// exclusive access. Every failure path closes what it opened.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial/serial_link.h"

namespace velocart {

SerialLinkState SerialLink = {{}, kNoPortHandle, true, false, {}, false, 0, false};

namespace {

constexpr int kClosedWritePauseMs = 10;

OpenFailure LastOpenFailure = {OpenProblem::None, {}};

OpenProblem problemOf(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO: return OpenProblem::Missing;
        case EBUSY: return OpenProblem::Busy;
        case EACCES:
        case EPERM: return OpenProblem::AccessDenied;
        case ENOTTY: return OpenProblem::NotSerial;
        default: return OpenProblem::Other;
    }
}

// Records why an open failed; returns `result` for the caller to pass on.
int refuse(int result, OpenProblem problem, int error) {
    LastOpenFailure.problem = problem;
    std::snprintf(LastOpenFailure.systemText, sizeof LastOpenFailure.systemText, "%s",
                  error != 0 ? std::strerror(error) : "");
    return result;
}

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void sleepMs(int ms) {
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

speed_t speedFor(int baudRate) {
    switch (baudRate) {
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        default: return B0;
    }
}

// Raw bytes, 8N1, no flow control, reads that return at once.
bool applyLineSettings(int fd, int baudRate) {
    const speed_t speed = speedFor(baudRate);
    termios tio;
    if (speed == B0 || tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// The device number of a character device, or 0. On Linux through statx,
// which glibc has carried since 2.28: stat and fstat became symbols of their
// own only in 2.33, and the module must load on older systems.
#ifdef __linux__
dev_t characterDevice(int directory, const char* path, int flags) {
    struct statx info;
    if (statx(directory, path, flags, STATX_TYPE, &info) != 0 || !S_ISCHR(info.stx_mode)) return 0;
    return makedev(info.stx_rdev_major, info.stx_rdev_minor);
}
dev_t deviceOfPath(const char* path) { return characterDevice(AT_FDCWD, path, 0); }
dev_t deviceOfDescriptor(int fd) { return characterDevice(fd, "", AT_EMPTY_PATH); }
#else
dev_t deviceOfPath(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISCHR(info.st_mode) ? info.st_rdev : 0;
}
dev_t deviceOfDescriptor(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) ? info.st_rdev : 0;
}
#endif

bool sameDevice(const char* path) {
    const dev_t wanted = deviceOfPath(path);
    return wanted != 0 && wanted == deviceOfDescriptor(SerialLink.deviceHandle);
}

// A hung-up terminal (the device was unplugged, the far end of a pty went
// away) refuses even tcgetattr.
bool linkAnswers() {
    termios tio;
    return tcgetattr(SerialLink.deviceHandle, &tio) == 0;
}

// USB adapters hold short replies until their latency timer runs out (16 ms
// on FTDI); with the low-latency flag the kernel driver asks for 1 ms. Best
// effort: only that bit changes (so no privilege is needed), and any
// failure (ENOTTY on a pty, no such driver) is left alone.
#ifdef __linux__
bool setLowLatency(int fd, bool on) {
    serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return false;
    const bool isOn = (serial.flags & ASYNC_LOW_LATENCY) != 0;
    if (isOn == on) return false;
    serial.flags = on ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}
#else
bool setLowLatency(int, bool) { return false; }
#endif

int openCandidate(const char* path, int baudRate) {
    LastOpenFailure = {OpenProblem::None, {}};
    if (!SerialLink.isClosed) {
        // A dead link would keep its device for nothing: let it go and
        // open afresh.
        if (SerialLink.writeFailing || SerialLink.readFailing || !linkAnswers()) {
            closePort();
        } else {
            return sameDevice(path) ? kPortOpen : kPortUnavailable;
        }
    }

    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse(kPortUnavailable, problemOf(errno), errno);
    if (!isatty(fd)) {
        close(fd);
        return refuse(kPortUnavailable, OpenProblem::NotSerial, 0);
    }
    // flock also refuses a second open from this same process; TIOCEXCL
    // keeps out programs that do not take the lock (root ignores it).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return refuse(kPortUnavailable, OpenProblem::Busy, EBUSY);
    }
    ioctl(fd, TIOCEXCL);
    if (!applyLineSettings(fd, baudRate)) {
        const int error = errno;
        ioctl(fd, TIOCNXCL);
        close(fd);  // also drops the lock
        return refuse(kPortSettingsRejected, OpenProblem::SettingsRejected, error);
    }
    // Whatever arrived before this open (a robot that was already talking,
    // a reply meant for an earlier session) is not the robot's status now.
    tcflush(fd, TCIFLUSH);
    std::snprintf(SerialLink.devicePath, sizeof SerialLink.devicePath, "%s", path);
    SerialLink.deviceHandle = fd;
    SerialLink.isClosed = false;
    SerialLink.writeFailing = false;
    SerialLink.readFailing = false;
    SerialLink.lowLatencySet = setLowLatency(fd, true);
    ++SerialLink.openCount;
    return kPortOpen;
}

int queuedOutput(int fd) {
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

// Waits until the driver has sent what was queued before, but no later than
// the deadline: a stalled line must not hold the caller's session. True if
// the queue emptied.
bool drainOutput(int fd, long long deadline) {
    for (;;) {
        if (queuedOutput(fd) <= 0) return true;
        if (nowMs() >= deadline) return false;
        sleepMs(1);
    }
}

bool writeAll(int fd, const std::uint8_t* bytes, int count, long long deadline) {
    int done = 0;
    while (done < count) {
        const ssize_t n = write(fd, bytes + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        const long long left = deadline - nowMs();
        if (left <= 0) return false;
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    }
    return true;
}

}  // namespace

int openPort(int portNumber, int baudRate) {
    if (portNumber < kFirstPortNumber || portNumber > kLastPortNumber) {
        return refuse(kPortUnavailable, OpenProblem::None, 0);
    }
    char path[32];
    std::snprintf(path, sizeof path, "/dev/ttyS%d", portNumber - 1);
    return openCandidate(path, baudRate);
}

int openPortByName(const char* deviceName, int baudRate) {
    if (deviceName == nullptr || deviceName[0] == '\0') {
        return refuse(kPortUnavailable, OpenProblem::None, 0);
    }
    if (std::strlen(deviceName) >= sizeof SerialLink.devicePath) {
        return refuse(kPortUnavailable, OpenProblem::Missing, ENAMETOOLONG);
    }
    return openCandidate(deviceName, baudRate);
}

bool writeFrame(const std::uint8_t* bytes, int count) {
    if (SerialLink.isClosed) {
        sleepMs(kClosedWritePauseMs);
        return true;
    }
    if (count <= 0) return count == 0;
    const int fd = SerialLink.deviceHandle;
    drainOutput(fd, nowMs() + count);
    const bool written = writeAll(fd, bytes, count, nowMs() + count);
    SerialLink.writeFailing = !written;
    return written;
}

void readAvailable() {
    if (SerialLink.isClosed) return;
    // A failed read (EAGAIN, EIO after a hang-up) stores nothing.
    const ssize_t n = read(SerialLink.deviceHandle, SerialLink.receiveBuffer, kReadChunkSize);
    (void)n;
}

namespace {

// One pass over what has arrived: reads until the queue is empty. False if
// the line went away.
bool takeArrived(std::uint8_t* scratch, int capacity, ByteConsumer consume, void* context,
                 int& wanted) {
    for (;;) {
        const ssize_t n = read(SerialLink.deviceHandle, scratch, static_cast<size_t>(capacity));
        if (n > 0) wanted = consume(scratch, static_cast<int>(n), context);
        if (n < capacity) return !(n < 0 && errno == EIO);
    }
}

timespec timespecOf(long long nanoseconds) {
    return {static_cast<time_t>(nanoseconds / 1000000000LL),
            static_cast<long>(nanoseconds % 1000000000LL)};
}

long long nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

ReceiveOutcome hungUp() {
    SerialLink.readFailing = true;
    return ReceiveOutcome::HungUp;
}

}  // namespace

ReceiveOutcome receiveUntil(std::uint8_t* scratch, int capacity, double timeoutSeconds,
                            ByteConsumer consume, void* context) {
    if (SerialLink.isClosed) return ReceiveOutcome::Closed;
    const int fd = SerialLink.deviceHandle;
    const long long deadline = nowNs() + static_cast<long long>(timeoutSeconds * 1e9);
    int wanted = 1;
    if (!takeArrived(scratch, capacity, consume, context, wanted)) return hungUp();
    while (wanted > 0) {
        const long long left = deadline - nowNs();
        if (left <= 0) return ReceiveOutcome::TimedOut;
        pollfd p = {fd, POLLIN, 0};
        const timespec wait = timespecOf(left);
        const int ready = ppoll(&p, 1, &wait, nullptr);
        if (ready < 0) return errno == EINTR ? ReceiveOutcome::Interrupted : hungUp();
        if (ready == 0) return ReceiveOutcome::TimedOut;
        // What arrived before a hang-up is still taken.
        const bool gone = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (!takeArrived(scratch, capacity, consume, context, wanted) || gone) return hungUp();
    }
    return ReceiveOutcome::Satisfied;
}

void closePort() {
    if (!SerialLink.isClosed) {
        // The last frame (often the free-wheel command) gets the time a
        // write has to leave. Output still stuck after that is dropped, or
        // close() would wait the tty's closing time (30 s by default).
        const int fd = SerialLink.deviceHandle;
        if (!drainOutput(fd, nowMs() + queuedOutput(fd))) tcflush(fd, TCOFLUSH);
        if (SerialLink.lowLatencySet) setLowLatency(fd, false);
        SerialLink.lowLatencySet = false;
        ioctl(SerialLink.deviceHandle, TIOCNXCL);
        flock(SerialLink.deviceHandle, LOCK_UN);
        close(SerialLink.deviceHandle);
        SerialLink.deviceHandle = kNoPortHandle;
    }
    SerialLink.isClosed = true;
}

const char* openPortName() { return SerialLink.devicePath; }

const OpenFailure& lastOpenFailure() { return LastOpenFailure; }

}  // namespace velocart
