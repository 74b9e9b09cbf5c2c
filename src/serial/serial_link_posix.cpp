// Serial links on Linux and macOS: termios, with flock plus TIOCEXCL for
// exclusive access, and the worker as a POSIX thread. Every failure path
// closes what it opened.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <linux/serial.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/serial_link.h"
#include "serial/serial_platform.h"

// The Linux MATLAB module must load with glibc 2.28. pthread_create and
// pthread_join moved into libc at 2.34 under a new version; the versions
// they had before still resolve everywhere (in libpthread, which every
// MATLAB process has loaded, before 2.34; in libc after).
#if defined(__linux__) && defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.2.5");
#endif

namespace velocart {

namespace {

// Input is taken as the robot's answer to this session only once the line
// has been quiet this long after the open (two status frames' time), or the
// open has spent kStaleInputLimitMs on it.
constexpr int kQuietMs = 5;
constexpr int kStaleInputLimitMs = 100;

OpenFailure LastOpenFailure = {OpenProblem::None, {}, {}};

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

long long nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long long nowMs() { return nowNs() / 1000000; }

timespec timespecOf(long long nanoseconds) {
    return {static_cast<time_t>(nanoseconds / 1000000000LL),
            static_cast<long>(nanoseconds % 1000000000LL)};
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
bool isRegularFile(int fd) {
    struct statx info;
    return statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &info) == 0 && S_ISREG(info.stx_mode);
}
#else
dev_t deviceOfPath(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISCHR(info.st_mode) ? info.st_rdev : 0;
}
dev_t deviceOfDescriptor(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) ? info.st_rdev : 0;
}
bool isRegularFile(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}
#endif

// Whether another descriptor of this process has the device open: another
// copy of the module (a renamed one, for a second robot) holds the port.
// The descriptors are listed with getdents64 into a buffer on the stack:
// opendir would allocate.
#ifdef __linux__
bool heldElsewhereInThisProcess(int fd) {
    const dev_t device = deviceOfDescriptor(fd);
    const int listing = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (device == 0 || listing < 0) {
        if (listing >= 0) close(listing);
        return false;
    }
    bool held = false;
    alignas(dirent64) char buffer[4096];
    long length;
    while (!held && (length = syscall(SYS_getdents64, listing, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            const int other = std::atoi(entry->d_name);
            const bool isDescriptor = entry->d_name[0] != '.' && other != fd && other != listing;
            if (isDescriptor && deviceOfDescriptor(other) == device) held = true;
            at += entry->d_reclen;
        }
    }
    close(listing);
    return held;
}
#else
bool heldElsewhereInThisProcess(int) { return false; }
#endif

// A hung-up terminal (the device was unplugged, the far end of a pty went
// away) refuses even tcgetattr.
bool answersFd(int fd) {
    termios tio;
    return tcgetattr(fd, &tio) == 0;
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

// Input the driver lost: the UART's own overruns, and what the kernel's
// buffer had no room for. Serial drivers keep the count; a pty has none.
bool readOverruns(int fd, std::uint64_t& count) {
    serial_icounter_struct counts = {};
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0) return false;
    count =
        static_cast<std::uint64_t>(counts.overrun) + static_cast<std::uint64_t>(counts.buf_overrun);
    return true;
}
#else
bool setLowLatency(int, bool) { return false; }
bool readOverruns(int, std::uint64_t&) { return false; }
#endif

int queuedOutput(int fd) {
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

int queuedInput(int fd) {
    int queued = 0;
    return ioctl(fd, FIONREAD, &queued) == 0 ? queued : 0;
}

// Waits until the driver has sent what was queued before, but no later than
// the deadline: a stalled line must not hold the caller's session. True if
// the queue emptied.
bool drainOutput(int fd, long long deadline) {
    for (;;) {
        if (queuedOutput(fd) <= 0) return true;
        if (nowMs() >= deadline) return false;
        platform::sleepMs(1);
    }
}

// Input from before the open can still come in after the flush: a USB
// adapter hands over what its chip held once its latency timer runs out, an
// emulated UART what its host side held back. It goes too, until the line
// has been quiet for a while: a robot that only answers is silent until it
// is asked, and one that streams pauses between its frames.
void discardStaleInput(int fd) {
    const long long giveUpAt = nowMs() + kStaleInputLimitMs;
    std::uint8_t sink[256];
    while (nowMs() < giveUpAt) {
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, kQuietMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || (p.revents & POLLIN) == 0) return;
        while (read(fd, sink, sizeof sink) > 0) {
        }
    }
}

platform::WriteResult writeAll(int fd, const std::uint8_t* bytes, int count, long long deadline) {
    int done = 0;
    while (done < count) {
        const ssize_t n = write(fd, bytes + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return platform::WriteResult::Gone;
        }
        const long long left = deadline - nowMs();
        if (left <= 0) return platform::WriteResult::Stalled;
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            return platform::WriteResult::Gone;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return platform::WriteResult::Gone;
    }
    return platform::WriteResult::Written;
}

// One pass over what has arrived: reads until the queue is empty, telling
// the consumer, after a read that filled the scratch, how much more waits.
// False if the line went away.
bool takeArrived(int fd, std::uint8_t* scratch, int capacity, ByteConsumer consume, void* context,
                 int& wanted) {
    for (;;) {
        const ssize_t n = read(fd, scratch, static_cast<size_t>(capacity));
        if (n > 0) {
            const int behind = n == capacity ? queuedInput(fd) : 0;
            wanted = consume(scratch, static_cast<int>(n), behind, context);
        }
        if (n < capacity) return !(n < 0 && errno == EIO);
    }
}

}  // namespace

namespace platform {

void sleepMs(int ms) {
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

OpenFailure& openFailure() { return LastOpenFailure; }

int recordRefusal(int result, OpenProblem problem, int error) {
    LastOpenFailure.problem = problem;
    std::snprintf(LastOpenFailure.systemText, sizeof LastOpenFailure.systemText, "%s",
                  error != 0 ? std::strerror(error) : "");
    return result;
}

bool pathOfPort(int portNumber, char (&path)[kDevicePathSize]) {
    if (portNumber < kFirstPortNumber || portNumber > kLastPortNumber) return false;
    std::snprintf(path, sizeof path, "/dev/ttyS%d", portNumber - 1);
    return true;
}

bool pathOfName(const char* deviceName, char (&path)[kDevicePathSize]) {
    if (std::strlen(deviceName) >= sizeof path) {
        recordRefusal(kPortUnavailable, OpenProblem::Missing, ENAMETOOLONG);
        return false;
    }
    std::snprintf(path, sizeof path, "%s", deviceName);
    return true;
}

bool sameDevice(const SerialLinkState& link, const char* path) {
    const dev_t wanted = deviceOfPath(path);
    return wanted != 0 && wanted == deviceOfDescriptor(link.deviceHandle);
}

const char* shownName(const char* devicePath) { return devicePath; }

int openDevice(const char* path, int baudRate, OpenedDevice& opened) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return recordRefusal(kPortUnavailable, problemOf(errno), errno);
    if (!isatty(fd)) {
        close(fd);
        return recordRefusal(kPortUnavailable, OpenProblem::NotSerial, 0);
    }
    // flock also refuses a second open from this same process; TIOCEXCL
    // keeps out programs that do not take the lock (root ignores it).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool here = heldElsewhereInThisProcess(fd);
        close(fd);
        return recordRefusal(kPortUnavailable, here ? OpenProblem::BusyHere : OpenProblem::Busy,
                             EBUSY);
    }
    ioctl(fd, TIOCEXCL);
    if (!applyLineSettings(fd, baudRate)) {
        const int error = errno;
        ioctl(fd, TIOCNXCL);
        close(fd);  // also drops the lock
        return recordRefusal(kPortSettingsRejected, OpenProblem::SettingsRejected, error);
    }
    // Whatever arrived before this open (a robot that was already talking,
    // a reply meant for an earlier session) is not the robot's status now.
    // The adapter's short latency timer comes first, so that what it still
    // holds arrives while the open is discarding.
    opened.lowLatencySet = setLowLatency(fd, true);
    tcflush(fd, TCIFLUSH);
    discardStaleInput(fd);
    opened.handle = fd;
    opened.overruns = 0;
    opened.countsOverruns = readOverruns(fd, opened.overruns);
    return kPortOpen;
}

// A port closed on request first gets the time a write has to leave for
// its last frame (often the free-wheel command); output still stuck after
// that is dropped, or close() would wait the tty's closing time (30 s by
// default).
void releaseDevice(PortHandle fd, bool lost, bool lowLatencySet) {
    if (fd == kNoPortHandle) return;
    if (!lost && !drainOutput(fd, nowMs() + queuedOutput(fd))) tcflush(fd, TCOFLUSH);
    if (lowLatencySet) setLowLatency(fd, false);
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    close(fd);
}

bool answers(SerialLinkState& link) { return answersFd(link.deviceHandle); }

WriteResult writeDevice(SerialLinkState& link, const std::uint8_t* bytes, int count) {
    const int fd = link.deviceHandle;
    drainOutput(fd, nowMs() + count);
    const WriteResult result = writeAll(fd, bytes, count, nowMs() + count);
    return result == WriteResult::Stalled && !answersFd(fd) ? WriteResult::Gone : result;
}

int readDevice(PortHandle fd, std::uint8_t* buffer, int capacity) {
    const ssize_t n = read(fd, buffer, static_cast<size_t>(capacity));
    if (n < 0) return errno == EIO ? -1 : 0;
    return static_cast<int>(n);
}

bool receiveOpen(SerialLinkState& link, std::uint8_t* scratch, int capacity, double timeoutSeconds,
                 ByteConsumer consume, void* context, InterruptCheck interrupted,
                 ReceiveOutcome& outcome) {
    const int fd = link.deviceHandle;
    const long long deadline = nowNs() + static_cast<long long>(timeoutSeconds * 1e9);
    const long long slice = static_cast<long long>(kInterruptCheckSeconds * 1e9);
    int wanted = 1;
    if (!takeArrived(fd, scratch, capacity, consume, context, wanted)) return false;
    while (wanted > 0) {
        const long long left = deadline - nowNs();
        if (left <= 0) {
            outcome = ReceiveOutcome::TimedOut;
            return true;
        }
        pollfd p = {fd, POLLIN, 0};
        const timespec wait = timespecOf(left < slice ? left : slice);
        const int ready = ppoll(&p, 1, &wait, nullptr);
        // A signal the host does not turn into a stop request (a timer, a
        // child ending) only costs a new slice.
        if (ready < 0 && errno != EINTR) return false;
        if (interrupted != nullptr && interrupted()) {
            outcome = ReceiveOutcome::Interrupted;
            return true;
        }
        if (ready <= 0) continue;
        // What arrived before a hang-up is still taken.
        const bool gone = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (!takeArrived(fd, scratch, capacity, consume, context, wanted) || gone) return false;
    }
    outcome = ReceiveOutcome::Satisfied;
    return true;
}

// A pipe with both ends non-blocking: a full pipe already says there is
// news, and a drained one waits.
bool makeNews(NewsSignal& news) {
    int ends[2];
    if (pipe(ends) != 0) return false;
    for (int fd : ends) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    news.readEnd = ends[0];
    news.writeEnd = ends[1];
    return true;
}

void dropNews(NewsSignal& news) {
    if (news.readEnd >= 0) close(news.readEnd);
    if (news.writeEnd >= 0) close(news.writeEnd);
    news.readEnd = news.writeEnd = -1;
}

void raiseNews(NewsSignal& news) {
    const char byte = 1;
    (void)!write(news.writeEnd, &byte, 1);
}

void waitNews(NewsSignal& news, double seconds) {
    pollfd p = {news.readEnd, POLLIN, 0};
    const timespec wait = timespecOf(static_cast<long long>(seconds * 1e9));
    if (ppoll(&p, 1, &wait, nullptr) > 0) {
        char drained[64];
        while (read(news.readEnd, drained, sizeof drained) > 0) {
        }
    }
}

void countOverruns(SerialLinkState& link) {
    std::uint64_t count = 0;
    if (readOverruns(link.deviceHandle, count) && count >= link.overrunsAtOpen) {
        link.overruns.store(count - link.overrunsAtOpen);
    }
}

}  // namespace platform

double monotonicSeconds() { return static_cast<double>(nowNs()) * 1e-9; }

HeldLock::HeldLock(LinkLock& lock) : lock_(lock) { pthread_mutex_lock(&lock_.mutex); }
HeldLock::~HeldLock() { pthread_mutex_unlock(&lock_.mutex); }

// Only a regular file: a device path (a serial port, a terminal) would
// take the lines as bytes to send.
bool openLogFile(const char* path, FileHandle& file, bool& empty, char* why, int whySize) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        std::snprintf(why, static_cast<std::size_t>(whySize), "%s", std::strerror(errno));
        return false;
    }
    if (!isRegularFile(fd)) {
        close(fd);
        std::snprintf(why, static_cast<std::size_t>(whySize), "it is not a regular file");
        return false;
    }
    empty = lseek(fd, 0, SEEK_END) == 0;
    file = fd;
    return true;
}

bool appendLogFile(FileHandle file, const char* bytes, int count, char* why, int whySize) {
    while (count > 0) {
        const ssize_t n = write(file, bytes, static_cast<std::size_t>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::snprintf(why, static_cast<std::size_t>(whySize), "%s",
                          std::strerror(n < 0 ? errno : ENOSPC));
            return false;
        }
        bytes += n;
        count -= static_cast<int>(n);
    }
    return true;
}

void closeLogFile(FileHandle& file) {
    if (file != kNoFile) close(file);
    file = kNoFile;
}

// The worker: a POSIX thread that sleeps in ppoll on a pipe, so that a byte
// written to the pipe wakes it at once.
namespace {

struct Worker {
    pthread_t thread = {};
    bool running = false;
    int wakeRead = -1;
    int wakeWrite = -1;
    WorkerTick tick = nullptr;
    std::atomic<bool> stopping{false};
};

Worker TheWorker;

// Takes in everything that has arrived on a link read in the background,
// each read stamped as it returns. A line that hung up, once drained, is
// dead: it is marked for the caller and polled no more.
void readInBackground(platform::Reading& reading, short events) {
    const int fd = reading.link->deviceHandle;
    std::uint8_t scratch[kReadChunkSize];
    for (;;) {
        const ssize_t n = read(fd, scratch, sizeof scratch);
        const double readAt = monotonicSeconds();
        if (n > 0) {
            const int behind = n == static_cast<ssize_t>(sizeof scratch) ? queuedInput(fd) : 0;
            platform::deliver(reading, scratch, static_cast<int>(n), behind, readAt);
        }
        if (n == static_cast<ssize_t>(sizeof scratch)) continue;
        const bool gone = (n < 0 && errno == EIO) || (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (gone) platform::markDead(reading);
        return;
    }
}

// The thread's name in the system's task lists (top -H, /proc/PID/task),
// where its share of the processor can be read. prctl, not
// pthread_setname_np, which took a new symbol version in glibc 2.34.
#ifdef __linux__
void nameThisThread() { prctl(PR_SET_NAME, "velocart-worker", 0, 0, 0); }
#else
void nameThisThread() {}
#endif

// Each round: the links to read, the tick, then a wait on the wake pipe
// and on those links' ports until the tick's time is up.
void* runWorker(void*) {
    nameThisThread();
    platform::Reading readings[platform::kMostReadings];
    int count = 0;
    while (!TheWorker.stopping.load()) {
        count = platform::readingsForRound(readings, count);
        double wait = TheWorker.tick();
        int due[platform::kMostReadings];
        const int dueCount = platform::readingsDue(readings, count, due, wait);
        pollfd polled[platform::kMostReadings + 1] = {{TheWorker.wakeRead, POLLIN, 0}};
        int which[platform::kMostReadings + 1] = {};
        nfds_t watched = 1;
        for (int d = 0; d < dueCount; ++d) {
            polled[watched] = {readings[due[d]].link->deviceHandle, POLLIN, 0};
            which[watched++] = due[d];
        }
        const timespec pause = timespecOf(static_cast<long long>((wait > 0 ? wait : 0) * 1e9));
        if (ppoll(polled, watched, &pause, nullptr) <= 0) continue;
        if (polled[0].revents != 0) {
            char drained[64];
            while (read(TheWorker.wakeRead, drained, sizeof drained) > 0) {
            }
        }
        for (nfds_t p = 1; p < watched; ++p) {
            if (polled[p].revents != 0) readInBackground(readings[which[p]], polled[p].revents);
        }
    }
    return nullptr;
}

void closeWakePipe() {
    if (TheWorker.wakeRead >= 0) close(TheWorker.wakeRead);
    if (TheWorker.wakeWrite >= 0) close(TheWorker.wakeWrite);
    TheWorker.wakeRead = TheWorker.wakeWrite = -1;
}

}  // namespace

bool startWorker(WorkerTick tick) {
    if (TheWorker.running) return true;
    int ends[2];
    if (pipe(ends) != 0) return false;
    TheWorker.wakeRead = ends[0];
    TheWorker.wakeWrite = ends[1];
    for (int fd : ends) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    TheWorker.tick = tick;
    TheWorker.stopping.store(false);
    // The thread takes none of the host's signals: it starts with every
    // signal blocked (it inherits the mask in force at its creation).
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    TheWorker.running = pthread_create(&TheWorker.thread, nullptr, runWorker, nullptr) == 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!TheWorker.running) closeWakePipe();
    return TheWorker.running;
}

void wakeWorker() {
    if (!TheWorker.running) return;
    const char byte = 1;
    (void)!write(TheWorker.wakeWrite, &byte, 1);
}

void stopWorker() {
    if (!TheWorker.running) return;
    TheWorker.stopping.store(true);
    wakeWorker();
    pthread_join(TheWorker.thread, nullptr);
    TheWorker.running = false;
    closeWakePipe();
}

bool workerRunning() { return TheWorker.running; }

}  // namespace velocart
