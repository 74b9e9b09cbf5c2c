#include "gateway/links.h"

#include <algorithm>
#include <cstring>

#include "gateway/link_log.h"
#include "protocol/byte_order.h"

namespace velocart {

// Constant-initialised: the table is ready as loaded, with no start-up code.
Link Links[kLinkCount];

namespace {

// The watchdog's thread plans with these: it wakes at the earliest moment a
// link may need it, and at least this often.
constexpr double kLongestWatchdogPause = 1.0;

// Set by the watchdog's thread after a link's own flag.
std::atomic<bool> ThreadNews{false};

// One byte on the wire: a start bit, 8 data bits and a stop bit.
constexpr double kByteSeconds = 10.0 / kLineBaudRate;

// A command frame that went out, for the link's log.
void logSent(Link& link, const CommandFrameBytes& frame) {
    logFrame(link, frame.bytes, true, monotonicSeconds() - link.port.openedAt);
}

bool isMovingVelocity(const CommandFrameBytes& frame) {
    return getLe16(frame.bytes + kVelocity1Offset) != 0 ||
           getLe16(frame.bytes + kVelocity2Offset) != 0;
}

struct Sending {
    Link& link;
    const CommandFrameBytes& frame;
};

// Under the port's lock, just before the caller's frame goes out.
bool recordCommand(void* context) {
    const Sending& sending = *static_cast<Sending*>(context);
    LinkWatchdog& watchdog = sending.link.watchdog;
    watchdog.lastCommandAt.store(monotonicSeconds());
    switch (getLe16(sending.frame.bytes + kCommandCodeOffset)) {
        case kCodeVelocity: watchdog.moving.store(isMovingVelocity(sending.frame)); break;
        case kCodeFreeWheels: watchdog.moving.store(false); break;
        default: break;  // new odometry leaves the robot driving as it was
    }
    return true;
}

bool recordStop(void* context) {
    static_cast<Link*>(context)->watchdog.moving.store(false);
    return true;
}

struct Receiving {
    Link& link;
    Reader reader;
    ReadClock& clock;
};

// When a frame's last byte crossed the wire, as far as the reads can tell:
// the read that found it, less the line time of the bytes that were then
// behind it.
void lastByteSeen(const Link& link, const ReadClock& clock, double& seenAt,
                  std::size_t& bytesBehind) {
    const std::size_t after = link.assembler.bytesAfterFrame();
    const std::size_t end = static_cast<std::size_t>(clock.count) - after;
    if (end <= static_cast<std::size_t>(clock.knownEarlier)) {
        seenAt = clock.earlierAt;
        bytesBehind = static_cast<std::size_t>(clock.knownEarlier) - end;
    } else {
        seenAt = clock.readAt;
        bytesBehind = after + static_cast<std::size_t>(clock.queuedBehind);
    }
}

// A frame's stamp: the read that found its last byte, less the line time of
// the bytes that crossed after it, so frames that came back to back keep
// their spacing. A line delivers in bursts (a USB adapter's latency timer,
// a pty's work queue), and counting back across a burst can reach behind
// frames an earlier read already stamped. But a frame crossed the wire a
// frame's time after the one before it at the earliest, and before the read
// that took it: a burst that cannot have crossed in between (a pty carries
// bytes faster than any wire) shares that time evenly, in order.
double stampOf(const Link& link, const ReadClock& clock) {
    double seenAt = 0.0;
    std::size_t behind = 0;
    lastByteSeen(link, clock, seenAt, behind);
    const double counted = seenAt - static_cast<double>(behind) * kByteSeconds;
    if (link.ring.accepted == 0) return counted;
    const double previous = link.ring.frames[(link.ring.accepted - 1) % kRingSize].stamp;
    const double framesToCome = static_cast<double>(behind / kStatusFrameSize + 1);
    const double earliest =
        previous + std::min(kStatusFrameSize * kByteSeconds, (seenAt - previous) / framesToCome);
    return std::max(counted, earliest);
}

// Takes each frame the assembler accepts, with its stamp.
class StatusListener : public FrameListener {
public:
    StatusListener(Link& link, const ReadClock& clock) : link_(link), clock_(clock) {}
    void onFrame(const std::uint8_t* frame) override {
        Link& link = link_;
        const double stamp = stampOf(link, clock_);
        std::memcpy(link.newest.bytes, frame, kStatusFrameSize);
        link.newest.stamp = stamp;
        link.newest.fresh = true;
        link.newest.seen = true;
        StampedFrame& slot = link.ring.frames[link.ring.accepted % kRingSize];
        std::memcpy(slot.bytes, frame, kStatusFrameSize);
        slot.stamp = stamp;
        ++link.ring.accepted;
        logFrameLocked(link, frame, false, stamp);
    }

private:
    Link& link_;
    const ReadClock& clock_;
};

// Feeds one delivery through the assembler, timed by `clock`.
void feedFrames(Link& link, ReadClock& clock, const std::uint8_t* bytes, int count,
                int queuedBehind, double readAt) {
    clock.readAt = readAt - link.port.openedAt;
    clock.count = count;
    clock.queuedBehind = queuedBehind;
    StatusListener listener(link, clock);
    link.assembler.feed(bytes, static_cast<std::size_t>(count), listener);
    clock.knownEarlier = queuedBehind;
    clock.earlierAt = clock.readAt;
}

// The worker's consumer for a link read in the background: it wants the
// rest of the frame under way, or a whole one.
int takeInBackground(const std::uint8_t* bytes, int count, int queuedBehind, double readAt,
                     void* context) {
    Link& link = *static_cast<Link*>(context);
    HeldLock held(link.framesLock);
    feedFrames(link, link.backgroundClock, bytes, count, queuedBehind, readAt);
    return link.assembler.missing();
}

bool hasNew(const Link& link, Reader reader) {
    return reader == Reader::Latest ? link.newest.fresh : link.ring.accepted > link.ring.next;
}

// Takes each delivery; wants nothing more once the reader has a new frame,
// else the bytes that would complete the frame under way.
int feedStatus(const std::uint8_t* bytes, int count, int queuedBehind, void* context) {
    Receiving& receiving = *static_cast<Receiving*>(context);
    Link& link = receiving.link;
    feedFrames(link, receiving.clock, bytes, count, queuedBehind, monotonicSeconds());
    return hasNew(link, receiving.reader) ? 0 : link.assembler.missing();
}

// Whether the worker has taken in what a waiting reader wants.
bool readyFor(void* context) {
    const Receiving& receiving = *static_cast<Receiving*>(context);
    return hasNewFor(receiving.link, receiving.reader);
}

// The watchdog's own stop: decided under the port's lock, so that a command
// the caller sends at the same moment either comes first (and the robot
// keeps driving) or comes after the stop (and is obeyed).
struct Firing {
    Link* link;
    double commandAt;  // the last command's time when the stop was decided
    bool due;
};

bool stopIsDue(void* context) {
    Firing& firing = *static_cast<Firing*>(context);
    LinkWatchdog& watchdog = firing.link->watchdog;
    const double seconds = watchdog.seconds.load();
    const double commandAt = watchdog.lastCommandAt.load();
    if (!watchdog.moving.load() || seconds <= 0.0 || monotonicSeconds() - commandAt < seconds) {
        return false;
    }
    watchdog.moving.store(false);
    firing.commandAt = commandAt;
    firing.due = true;
    return true;
}

// The free-wheel frame follows only if no command came in between.
bool noCommandSince(void* context) {
    const Firing& firing = *static_cast<Firing*>(context);
    return firing.link->watchdog.lastCommandAt.load() == firing.commandAt;
}

// Whether the watchdog's stop was decided: then the next call tells of it,
// whether or not its frame could be written (the module's one line about
// the failed write is then this one).
void fireWatchdog(Link& link) {
    CommandFrameBytes stop = {};
    encodeVelocity(0.0f, 0.0f, stop);
    Firing firing = {&link, 0.0, false};
    const bool failingBefore = link.port.writeFailing.load();
    if (!writeFrameIf(link.port, stop.bytes, kCommandFrameSize, stopIsDue, &firing)) {
        if (!firing.due) return;
        link.watchdog.stopFailed.store(true);
        if (!failingBefore) link.port.writeFailureNews.store(false);
    } else {
        logSent(link, stop);
        encodeFreeWheels(stop);
        if (writeFrameIf(link.port, stop.bytes, kCommandFrameSize, noCommandSince, &firing)) {
            logSent(link, stop);
        }
    }
    link.watchdog.fired.store(true);
    ThreadNews.store(true);
}

// Runs on the module's thread: stops each robot whose time is up and
// returns how long it may sleep.
double watchdogTick() {
    double pause = kLongestWatchdogPause;
    for (Link& link : Links) {
        const double seconds = link.watchdog.seconds.load();
        if (seconds <= 0.0) continue;
        double wait = seconds;
        if (link.watchdog.moving.load()) {
            wait = link.watchdog.lastCommandAt.load() + seconds - monotonicSeconds();
            if (wait <= 0.0) {
                fireWatchdog(link);
                wait = seconds;
            }
        }
        if (wait < pause) pause = wait;
    }
    return pause;
}

// The module's thread's round: the watchdog, then the log files.
double workerTick() { return std::min(watchdogTick(), writeLogs()); }

bool workerNeeded() {
    for (const Link& link : Links) {
        const bool wanted = link.watchdog.seconds.load() > 0.0 || link.backgroundWanted;
        if (wanted && !link.port.isClosed) return true;
    }
    return false;
}

// Forgets everything the link knew of its last connection. The worker
// does not read the link meanwhile.
void forgetConnection(Link& link) {
    link.openCount = link.port.openCount;
    link.assembler.reset();
    link.backgroundClock = ReadClock{};
    link.newest = NewestStatus{};
    link.ring.accepted = link.ring.next = 0;
    link.overrunsReported = 0;
    link.watchdog.moving.store(false);
    link.watchdog.fired.store(false);
    link.watchdog.stopFailed.store(false);
    link.watchdog.lastCommandAt.store(monotonicSeconds());
}

}  // namespace

Link* linkNumbered(int number) {
    return number >= 1 && number <= kLinkCount ? &Links[number - 1] : nullptr;
}

int numberOf(const Link& link) { return static_cast<int>(&link - Links) + 1; }

Link* linkHoldingPort(const Link* except, int portNumber) {
    for (Link& link : Links) {
        if (&link != except && holdsPort(link.port, portNumber)) return &link;
    }
    return nullptr;
}

Link* linkHoldingDevice(const Link* except, const char* deviceName) {
    for (Link& link : Links) {
        if (&link != except && holdsDevice(link.port, deviceName)) return &link;
    }
    return nullptr;
}

bool linkOpened(Link& link) {
    if (link.openCount == link.port.openCount) return true;  // the same connection
    forgetConnection(link);
    if (!updateWorker()) {
        setWatchdog(link, 0.0);
        link.backgroundWanted = false;
        return false;
    }
    return applyBackground(link);
}

bool applyBackground(Link& link) {
    if (!link.backgroundWanted || link.port.isClosed) {
        stopBackground(link.port);
        updateWorker();
        return true;
    }
    if (updateWorker() && startBackground(link.port, takeInBackground, &link)) return true;
    link.backgroundWanted = false;
    updateWorker();
    return false;
}

bool hasNewFor(Link& link, Reader reader) {
    if (!link.port.background) return hasNew(link, reader);
    HeldLock held(link.framesLock);
    return hasNew(link, reader);
}

bool sendFrame(Link& link, const CommandFrameBytes& frame) {
    // A link that is not open: the pause of a Closed one, or the failure of
    // a lost one (the worker may have found it dead since the last call).
    settleLink(link.port);
    if (link.port.isClosed) return writeFrame(link.port, frame.bytes, kCommandFrameSize);
    Sending sending = {link, frame};
    const bool written =
        writeFrameIf(link.port, frame.bytes, kCommandFrameSize, recordCommand, &sending);
    if (written) logSent(link, frame);
    settleLink(link.port);
    return written;
}

ReceiveOutcome receiveStatus(Link& link, double timeoutSeconds, Reader reader,
                             InterruptCheck interrupted) {
    ReadClock clock;
    Receiving receiving = {link, reader, clock};
    if (link.port.background) {
        return awaitNews(link.port, timeoutSeconds, readyFor, &receiving, interrupted);
    }
    std::uint8_t scratch[kReceiveBufferSize];
    return receiveUntil(link.port, scratch, kReceiveBufferSize, timeoutSeconds, feedStatus,
                        &receiving, interrupted);
}

void sendStopSequence(Link& link) {
    CommandFrameBytes stop = {};
    encodeVelocity(0.0f, 0.0f, stop);
    if (writeFrameIf(link.port, stop.bytes, kCommandFrameSize, recordStop, &link)) {
        logSent(link, stop);
    }
    encodeFreeWheels(stop);
    if (writeFrameIf(link.port, stop.bytes, kCommandFrameSize, recordStop, &link)) {
        logSent(link, stop);
    }
    settleLink(link.port);
}

void setWatchdog(Link& link, double seconds) {
    link.watchdog.seconds.store(seconds);
    updateWorker();
}

bool updateWorker() {
    if (!workerNeeded()) {
        stopWorker();
        return true;
    }
    if (workerRunning()) {
        wakeWorker();
        return true;
    }
    return startWorker(workerTick);
}

void noteThreadNews() { ThreadNews.store(true); }

bool takeThreadNews() {
    return ThreadNews.load(std::memory_order_relaxed) && ThreadNews.exchange(false);
}

void closeLink(Link& link) {
    settleLink(link.port);
    if (!link.port.isClosed && link.watchdog.moving.load()) sendStopSequence(link);
    stopLog(link);
    // Background reading the log turned on ends with it.
    if (link.log.startedBackground) link.backgroundWanted = false;
    link.log.startedBackground = false;
    closePort(link.port);
    forgetConnection(link);
    updateWorker();
}

void closeAllLinks() {
    for (Link& link : Links) {
        stopLog(link);
        stopBackground(link.port);
    }
    stopWorker();
    for (Link& link : Links) {
        settleLink(link.port);
        if (!link.port.isClosed && link.watchdog.moving.load()) sendStopSequence(link);
        closePort(link.port);
        link.watchdog.moving.store(false);
    }
}

}  // namespace velocart
