// What every platform shares about a link: the states it goes through
// (Closed, Open, lost), the pause of a write while Closed, the one report of
// a broken line, and the rule that only the caller's thread lets a handle
// go. The backends (serial_link_posix.cpp, serial_link_win32.cpp) talk to
// the system.
#include "serial/serial_link.h"

#include <cstdio>
#include <cstring>

#include "serial/serial_platform.h"

namespace velocart {

namespace {

constexpr int kClosedWritePauseMs = 10;
// One byte on the wire: a start bit, 8 data bits and a stop bit.
constexpr double kByteSeconds = 10.0 / kLineBaudRate;
// The shortest time a background reading is left unwatched.
constexpr double kWorthSkipping = 0.001;

// The links the worker reads, as the caller registers them. `asked` counts
// the caller's syncWorker requests; `done` is the last the worker has seen
// at the top of a round.
struct Registry {
    LinkLock lock;
    platform::Reading readings[platform::kMostReadings] = {};
    int count = 0;
    std::atomic<std::uint64_t> asked{0};
    std::atomic<std::uint64_t> done{0};
};

Registry Readers;

// Lets the open link's handle go: the caller's thread, under the lock.
void release(SerialLinkState& link, bool lost) {
    platform::releaseDevice(link.deviceHandle, lost, link.lowLatencySet);
    link.deviceHandle = kNoPortHandle;
    link.lowLatencySet = false;
    link.isClosed = true;
    link.isLost = lost;
    link.foundDead.store(false);
}

// The first sign that the device has gone: the handle goes at once, so that
// the device, plugged in again, comes back under its old name and opens.
// The worker lets go of it first.
void lose(SerialLinkState& link) {
    stopBackground(link);
    platform::Locked locked(link);
    if (!link.isClosed) release(link, true);
}

ReceiveOutcome hungUp(SerialLinkState& link) {
    lose(link);
    link.readFailing = true;
    return ReceiveOutcome::HungUp;
}

// Under the lock: a failure after a success is news to report, once.
void noteWrite(SerialLinkState& link, bool written) {
    if (written) {
        link.writeFailing.store(false);
    } else if (!link.writeFailing.exchange(true)) {
        link.writeFailureNews.store(true);
    }
}

// Writes to an open link; the caller holds its lock. Either thread may; a
// device that has gone is only marked, for the caller to let go.
bool writeOpen(SerialLinkState& link, const std::uint8_t* bytes, int count) {
    const platform::WriteResult result = platform::writeDevice(link, bytes, count);
    noteWrite(link, result == platform::WriteResult::Written);
    if (result == platform::WriteResult::Gone) link.foundDead.store(true);
    return result == platform::WriteResult::Written;
}

int openCandidate(SerialLinkState& link, const char* path, int baudRate) {
    settleLink(link);
    if (!link.isClosed) {
        // A dead link would keep its device for nothing: let it go and open
        // afresh (after an unplug and replug the name is often the same).
        if (link.writeFailing.load() || link.readFailing || !platform::answers(link)) {
            closePort(link);
        } else {
            return platform::sameDevice(link, path) ? kPortOpen : kPortUnavailable;
        }
    }
    platform::OpenedDevice opened = {};
    const int status = platform::openDevice(path, baudRate, opened);
    if (status != kPortOpen) return status;
    platform::Locked locked(link);
    std::snprintf(link.devicePath, sizeof link.devicePath, "%s", path);
    link.deviceHandle = opened.handle;
    link.isClosed = false;
    link.isLost = false;
    link.lowLatencySet = opened.lowLatencySet;
    link.openedAt = monotonicSeconds();
    link.countsOverruns = opened.countsOverruns;
    link.overrunsAtOpen = opened.overruns;
    link.readFailing = false;
    link.writeFailing.store(false);
    link.writeFailureNews.store(false);
    link.foundDead.store(false);
    link.overruns.store(0);
    ++link.openCount;
    return kPortOpen;
}

}  // namespace

int openPort(SerialLinkState& link, int portNumber, int baudRate) {
    OpenFailure& failure = platform::openFailure();
    failure = {OpenProblem::None, {}, {}};
    char path[kDevicePathSize] = {};
    if (!platform::pathOfPort(portNumber, path)) return kPortUnavailable;
    // Where the number stands for a name of another kind (COM3 for
    // /dev/ttyS2), a refusal names the device it tried.
    char asGiven[16];
    std::snprintf(asGiven, sizeof asGiven, "COM%d", portNumber);
    const char* shown = platform::shownName(path);
    if (std::strcmp(shown, asGiven) != 0) {
        std::snprintf(failure.device, sizeof failure.device, "%s", shown);
    }
    return openCandidate(link, path, baudRate);
}

int openPortByName(SerialLinkState& link, const char* deviceName, int baudRate) {
    platform::openFailure() = {OpenProblem::None, {}, {}};
    if (deviceName == nullptr || deviceName[0] == '\0') return kPortUnavailable;
    char path[kDevicePathSize] = {};
    if (!platform::pathOfName(deviceName, path)) return kPortUnavailable;
    return openCandidate(link, path, baudRate);
}

bool holdsPort(const SerialLinkState& link, int portNumber) {
    char path[kDevicePathSize] = {};
    return !link.isClosed && platform::pathOfPort(portNumber, path) &&
           platform::sameDevice(link, path);
}

bool holdsDevice(const SerialLinkState& link, const char* deviceName) {
    char path[kDevicePathSize] = {};
    return !link.isClosed && deviceName != nullptr && platform::pathOfName(deviceName, path) &&
           platform::sameDevice(link, path);
}

bool writeFrame(SerialLinkState& link, const std::uint8_t* bytes, int count) {
    settleLink(link);
    if (link.isLost) {
        platform::Locked locked(link);
        noteWrite(link, false);
        return false;
    }
    if (link.isClosed) {
        platform::sleepMs(kClosedWritePauseMs);
        return true;
    }
    if (count <= 0) return count == 0;
    bool written;
    {
        platform::Locked locked(link);
        written = writeOpen(link, bytes, count);
    }
    settleLink(link);
    return written;
}

bool writeFrameIf(SerialLinkState& link, const std::uint8_t* bytes, int count, WritePermit permit,
                  void* context) {
    platform::Locked locked(link);
    if (link.isClosed || link.foundDead.load() || count <= 0 || !permit(context)) return false;
    return writeOpen(link, bytes, count);
}

void settleLink(SerialLinkState& link) {
    if (link.foundDead.load()) lose(link);
}

bool checkDevice(SerialLinkState& link) {
    settleLink(link);
    if (!link.isClosed && !platform::answers(link)) lose(link);
    return !link.isClosed;
}

void readAvailable(SerialLinkState& link) {
    settleLink(link);
    if (link.isClosed || link.background) return;
    // A read that fails for any other reason stores nothing.
    if (platform::readDevice(link.deviceHandle, link.receiveBuffer, kReadChunkSize) < 0) lose(link);
}

ReceiveOutcome receiveUntil(SerialLinkState& link, std::uint8_t* scratch, int capacity,
                            double timeoutSeconds, ByteConsumer consume, void* context,
                            InterruptCheck interrupted) {
    settleLink(link);
    if (link.isLost) return hungUp(link);
    if (link.isClosed) return ReceiveOutcome::Closed;
    ReceiveOutcome outcome = ReceiveOutcome::TimedOut;
    if (!platform::receiveOpen(link, scratch, capacity, timeoutSeconds, consume, context,
                               interrupted, outcome)) {
        return hungUp(link);
    }
    if (link.countsOverruns) platform::countOverruns(link);
    return outcome;
}

void closePort(SerialLinkState& link) {
    stopBackground(link);
    platform::Locked locked(link);
    if (!link.isClosed) release(link, link.foundDead.load());
    link.isLost = false;
}

const char* openPortName(const SerialLinkState& link) {
    return platform::shownName(link.devicePath);
}

const OpenFailure& lastOpenFailure() { return platform::openFailure(); }

void syncWorker() {
    const std::uint64_t asked = ++Readers.asked;
    wakeWorker();
    while (workerRunning() && Readers.done.load() < asked) platform::sleepMs(1);
}

bool startBackground(SerialLinkState& link, BackgroundConsumer consume, void* context) {
    if (link.background) return true;
    if (!platform::makeNews(link.news)) return false;
    {
        HeldLock held(Readers.lock);
        Readers.readings[Readers.count++] = {&link, consume, context, 0.0, 0.0};
    }
    link.background = true;
    syncWorker();
    return true;
}

void stopBackground(SerialLinkState& link) {
    if (!link.background) return;
    {
        HeldLock held(Readers.lock);
        for (int i = 0; i < Readers.count; ++i) {
            if (Readers.readings[i].link == &link) {
                Readers.readings[i] = Readers.readings[--Readers.count];
                break;
            }
        }
    }
    syncWorker();
    platform::dropNews(link.news);
    link.background = false;
}

void announceNews(SerialLinkState& link) {
    if (link.awaitingNews.exchange(false)) platform::raiseNews(link.news);
}

ReceiveOutcome awaitNews(SerialLinkState& link, double timeoutSeconds, bool (*ready)(void*),
                         void* context, InterruptCheck interrupted) {
    const double deadline = monotonicSeconds() + timeoutSeconds;
    ReceiveOutcome outcome = ReceiveOutcome::Satisfied;
    for (;;) {
        if (link.foundDead.load() || link.isLost) {
            settleLink(link);
            return hungUp(link);
        }
        if (link.isClosed) return ReceiveOutcome::Closed;
        if (ready(context)) break;
        const double left = deadline - monotonicSeconds();
        if (left <= 0.0) {
            outcome = ReceiveOutcome::TimedOut;
            break;
        }
        // Said before the last look, so that news taken in after it wakes
        // the wait.
        link.awaitingNews.store(true);
        if (!ready(context) && !link.foundDead.load()) {
            platform::waitNews(link.news,
                               left < kInterruptCheckSeconds ? left : kInterruptCheckSeconds);
        }
        link.awaitingNews.store(false);
        if (interrupted != nullptr && interrupted()) {
            outcome = ReceiveOutcome::Interrupted;
            break;
        }
    }
    if (link.countsOverruns) platform::countOverruns(link);
    return outcome;
}

namespace platform {

int readingsForRound(Reading (&readings)[kMostReadings], int count) {
    Reading last[kMostReadings];
    for (int i = 0; i < count; ++i) last[i] = readings[i];
    std::uint64_t asked = 0;
    int now = 0;
    {
        HeldLock held(Readers.lock);
        now = Readers.count;
        for (int i = 0; i < now; ++i) readings[i] = Readers.readings[i];
        asked = Readers.asked.load();
    }
    Readers.done.store(asked);
    // A link read in the last round keeps its time to be looked at.
    for (int i = 0; i < now; ++i) {
        for (int j = 0; j < count; ++j) {
            if (last[j].link != readings[i].link) continue;
            readings[i].drainedAt = last[j].drainedAt;
            readings[i].lookAt = last[j].lookAt;
        }
    }
    return now;
}

int readingsDue(const Reading* readings, int count, int* due, double& wait) {
    const double now = monotonicSeconds();
    int dueCount = 0;
    for (int i = 0; i < count; ++i) {
        if (readings[i].link->foundDead.load()) continue;
        // A port whose bytes come in bursts (a USB adapter's every
        // millisecond) would cost a timer's wake-up and then one for the
        // burst: it is left unwatched only when that saves a burst.
        const double until = readings[i].lookAt - now;
        if (until < kWorthSkipping) {
            due[dueCount++] = i;
        } else if (until < wait) {
            wait = until;
        }
    }
    return dueCount;
}

// The bytes wanted cannot all have crossed before their line time has
// passed since the last read that drained the port: what this read took
// came after that one, and may have waited in the system since.
void deliver(Reading& reading, const std::uint8_t* bytes, int count, int queuedBehind,
             double readAt) {
    const int wanted = reading.consume(bytes, count, queuedBehind, readAt, reading.context);
    announceNews(*reading.link);
    reading.lookAt = reading.drainedAt + wanted * kByteSeconds;
    if (queuedBehind == 0) reading.drainedAt = readAt;
}

void markDead(const Reading& reading) {
    reading.link->foundDead.store(true);
    raiseNews(reading.link->news);
}

}  // namespace platform

}  // namespace velocart
