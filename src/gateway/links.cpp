#include "gateway/links.h"

#include <algorithm>
#include <cstring>

#include "protocol/byte_order.h"

namespace velocart {

// Constant-initialised: the table is ready as loaded, with no start-up code.
Link Links[kLinkCount];
SerialLinkState& SerialLink = Links[0].port;
CommandFrameBytes& CommandFrame = Links[0].frame;

namespace {

// The watchdog's thread plans with these: it wakes at the earliest moment a
// link may need it, and at least this often.
constexpr double kLongestWatchdogPause = 1.0;

// Set by the watchdog's thread after a link's `fired` flag.
std::atomic<bool> AnyWatchdogStop{false};

// One byte on the wire: a start bit, 8 data bits and a stop bit.
constexpr double kByteSeconds = 10.0 / kLineBaudRate;

bool isMovingVelocity(const CommandFrameBytes& frame) {
    return getLe16(frame.bytes + kVelocity1Offset) != 0 ||
           getLe16(frame.bytes + kVelocity2Offset) != 0;
}

// Under the port's lock, just before the caller's frame goes out.
bool recordCommand(void* context) {
    Link& link = *static_cast<Link*>(context);
    link.watchdog.lastCommandAt.store(monotonicSeconds());
    switch (getLe16(link.frame.bytes + kCommandCodeOffset)) {
        case kCodeVelocity: link.watchdog.moving.store(isMovingVelocity(link.frame)); break;
        case kCodeFreeWheels: link.watchdog.moving.store(false); break;
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
    double readAt;  // the read that delivered the bytes being fed
};

// A frame's stamp: the read that completed it, less the line time of the
// bytes that crossed after it, so frames that came back to back keep their
// spacing. A line delivers in bursts (a USB adapter's latency timer, a pty's
// work queue), and counting back across a burst can reach behind frames an
// earlier read already stamped. But a frame crossed the wire a frame's time
// after the one before it at the earliest, and before the read that took
// it: a burst that cannot have crossed in between (a pty carries bytes
// faster than any wire) shares that time evenly, in order.
double stampOf(const Link& link, double readAt) {
    const std::size_t after = link.assembler.bytesAfterFrame();
    const double counted = readAt - static_cast<double>(after) * kByteSeconds;
    if (link.ring.accepted == 0) return counted;
    const double previous = link.ring.frames[(link.ring.accepted - 1) % kRingSize].stamp;
    const double framesToCome = static_cast<double>(after / kStatusFrameSize + 1);
    const double earliest =
        previous + std::min(kStatusFrameSize * kByteSeconds, (readAt - previous) / framesToCome);
    return std::max(counted, earliest);
}

// Takes each frame the assembler accepts, with its stamp.
class StatusListener : public FrameListener {
public:
    explicit StatusListener(const Receiving& receiving) : receiving_(receiving) {}
    void onFrame(const std::uint8_t* frame) override {
        Link& link = receiving_.link;
        const double stamp = stampOf(link, receiving_.readAt);
        std::memcpy(link.newest.bytes, frame, kStatusFrameSize);
        link.newest.stamp = stamp;
        link.newest.fresh = true;
        link.newest.seen = true;
        StampedFrame& slot = link.ring.frames[link.ring.accepted % kRingSize];
        std::memcpy(slot.bytes, frame, kStatusFrameSize);
        slot.stamp = stamp;
        ++link.ring.accepted;
    }

private:
    const Receiving& receiving_;
};

bool hasNew(const Link& link, Reader reader) {
    return reader == Reader::Latest ? link.newest.fresh : link.ring.accepted > link.ring.next;
}

// Takes each delivery; wants nothing more once the reader has a new frame,
// else the bytes that would complete the frame under way.
int feedStatus(const std::uint8_t* bytes, int count, void* context) {
    Receiving& receiving = *static_cast<Receiving*>(context);
    Link& link = receiving.link;
    receiving.readAt = monotonicSeconds() - link.port.openedAt;
    StatusListener listener(receiving);
    link.assembler.feed(bytes, static_cast<std::size_t>(count), listener);
    return hasNew(link, receiving.reader) ? 0 : link.assembler.missing();
}

// The watchdog's own stop: decided under the port's lock, so that a command
// the caller sends at the same moment either comes first (and the robot
// keeps driving) or comes after the stop (and is obeyed).
struct Firing {
    Link* link;
    double commandAt;
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
    return true;
}

// The free-wheel frame follows only if no command came in between.
bool noCommandSince(void* context) {
    const Firing& firing = *static_cast<Firing*>(context);
    return firing.link->watchdog.lastCommandAt.load() == firing.commandAt;
}

void fireWatchdog(Link& link) {
    CommandFrameBytes stop = {};
    encodeVelocity(0.0f, 0.0f, stop);
    Firing firing = {&link, 0.0};
    if (!writeFrameIf(link.port, stop.bytes, kCommandFrameSize, stopIsDue, &firing)) return;
    encodeFreeWheels(stop);
    writeFrameIf(link.port, stop.bytes, kCommandFrameSize, noCommandSince, &firing);
    link.watchdog.fired.store(true);
    AnyWatchdogStop.store(true);
}

// Runs on the watchdog's thread: stops each robot whose time is up and
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

bool watchdogNeeded() {
    for (const Link& link : Links) {
        if (link.watchdog.seconds.load() > 0.0 && !link.port.isClosed) return true;
    }
    return false;
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

void linkOpened(Link& link) {
    if (link.openCount == link.port.openCount) return;  // the same connection, open already
    link.openCount = link.port.openCount;
    link.assembler.reset();
    link.ring.accepted = link.ring.next = 0;
    link.watchdog.moving.store(false);
    link.watchdog.lastCommandAt.store(monotonicSeconds());
    updateWatchdogThread();
}

bool sendFrame(Link& link) {
    // A link that is not open: the pause of a Closed one, or the failure of
    // a lost one.
    if (link.port.isClosed) return writeFrame(link.port, link.frame.bytes, kCommandFrameSize);
    return writeFrameIf(link.port, link.frame.bytes, kCommandFrameSize, recordCommand, &link);
}

ReceiveOutcome receiveStatus(Link& link, double timeoutSeconds, Reader reader,
                             InterruptCheck interrupted) {
    Receiving receiving = {link, reader, 0.0};
    std::uint8_t scratch[kReceiveBufferSize];
    return receiveUntil(link.port, scratch, kReceiveBufferSize, timeoutSeconds, feedStatus,
                        &receiving, interrupted);
}

void sendStopSequence(Link& link) {
    CommandFrameBytes stop = {};
    encodeVelocity(0.0f, 0.0f, stop);
    writeFrameIf(link.port, stop.bytes, kCommandFrameSize, recordStop, &link);
    encodeFreeWheels(stop);
    writeFrameIf(link.port, stop.bytes, kCommandFrameSize, recordStop, &link);
}

void setWatchdog(Link& link, double seconds) {
    link.watchdog.seconds.store(seconds);
    updateWatchdogThread();
}

bool updateWatchdogThread() {
    if (!watchdogNeeded()) {
        stopWorker();
        return true;
    }
    if (workerRunning()) {
        wakeWorker();
        return true;
    }
    return startWorker(watchdogTick);
}

bool takeWatchdogStops() {
    return AnyWatchdogStop.load(std::memory_order_relaxed) && AnyWatchdogStop.exchange(false);
}

void closeLink(Link& link) {
    closePort(link.port);
    link.ring.accepted = link.ring.next = 0;
    link.watchdog.moving.store(false);
    updateWatchdogThread();
}

void closeAllLinks() {
    stopWorker();
    for (Link& link : Links) {
        if (!link.port.isClosed && link.watchdog.moving.load()) sendStopSequence(link);
        closePort(link.port);
        link.watchdog.moving.store(false);
    }
}

}  // namespace velocart
