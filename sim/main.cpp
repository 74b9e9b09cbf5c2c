// velocart-sim: a simulated robot at the far end of a pseudo-terminal.
// `velocart-sim --help` describes the robot, the options and the faults.
//
// One thread, one loop: wait for command bytes or the next due event, feed
// the bytes to the parser, let the model obey the frames, and queue each
// reply for the moment a 115200-baud line would have delivered it: whole, or
// with --wire byte by byte as sim/wire.h schedules them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "protocol/frame_assembler.h"
#include "sim/fault_plan.h"
#include "sim/line_holders.h"
#include "sim/robot_model.h"
#include "sim/sim_options.h"
#include "sim/status_builder.h"
#include "sim/wire.h"

namespace {

using namespace velocart;
using namespace velocart::sim;

volatile sig_atomic_t stopSignal = 0;
void onStopSignal(int signalNumber) { stopSignal = signalNumber; }

Nanos monotonicNanos() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double seconds(Nanos time) { return static_cast<double>(time) * 1e-9; }

struct Pty {
    int master = -1;
    int slave = -1;  // held open so the line stays up while the driver is away
    std::string slaveName;
};

bool openPty(Pty& pty) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) return false;
    const char* name = ptsname(pty.master);
    if (name == nullptr) return false;
    pty.slaveName = name;
    pty.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.slave < 0) return false;
    // Raw before anyone sees the link: no echo, no line editing, every byte
    // passes unchanged.
    termios tio;
    if (tcgetattr(pty.slave, &tio) != 0) return false;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    return tcsetattr(pty.slave, TCSANOW, &tio) == 0;
}

// Makes `link` lead to `target`. A symbolic link already there is replaced
// unless the line it leads to is held by another running velocart-sim:
// taking that over would cut off whoever uses it. Any other line it leads to
// must not reach the driver: one that is gone (left by a killed simulator),
// a pty whose number has come back to this simulator, or one now held by a
// terminal or another program, which would get the robot's frames. Files of
// any other kind are never touched.
bool makeLink(const std::string& target, const std::string& link, std::string& error) {
    if (symlink(target.c_str(), link.c_str()) == 0) return true;
    struct stat st;
    char line[PATH_MAX];
    int holder = 0;
    if (errno != EEXIST) {
        error = link + ": " + std::strerror(errno);
    } else if (lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        error = link + " exists and is not a symbolic link";
    } else if (realpath(link.c_str(), line) != nullptr && (holder = simulatorHolding(line)) != 0) {
        error = link + " leads to " + line + ", the line of a running velocart-sim (process " +
                std::to_string(holder) + "); stop that one first";
    } else if (unlink(link.c_str()) != 0 || symlink(target.c_str(), link.c_str()) != 0) {
        error = link + ": " + std::strerror(errno);
    } else {
        return true;
    }
    return false;
}

// Removes `link` only while it still leads to our `target`: a link someone
// else has made there since is theirs.
void removeOurLink(const std::string& link, const std::string& target) {
    char buffer[4096];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
    if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == target) unlink(link.c_str());
}

struct SimCounters {
    std::uint64_t commandsVelocity = 0;
    std::uint64_t commandsOdometry = 0;
    std::uint64_t commandsFreeWheels = 0;
    std::uint64_t commandsUnknown = 0;
    std::uint64_t statusProduced = 0;
    std::uint64_t statusSent = 0;
    std::uint64_t statusWithheld = 0;
    std::uint64_t statusDropped = 0;
    std::uint64_t bytesOverflowed = 0;
    std::uint64_t faultsCrc = 0;
    std::uint64_t faultsGarbage = 0;
    std::uint64_t faultsSplit = 0;
    std::uint64_t writeFailures = 0;
    bool hungUp = false;
};

struct PendingWrite {
    Nanos due;
    Write bytes;
    bool endsFrame;
    bool hangUp;  // take the line down instead of writing
};

struct PendingCommand {
    Nanos due;  // when its last byte has crossed the line
    CommandBytes frame;
};

class Simulator : private FrameListener {
public:
    Simulator(const SimOptions& options, const Pty& pty, LineHolders& holders, std::FILE* log)
        : options_(options),
          pty_(pty),
          holders_(holders),
          log_(log),
          start_(monotonicNanos()),
          model_(seconds(start_)),
          wire_(options.wireOptions, start_),
          streamPeriod_(options.streamHz > 0.0 ? std::llround(1e9 / options.streamHz) : 0),
          nextTick_(start_ + streamPeriod_) {}

    void run();
    std::string countersText() const;

private:
    Nanos now() const { return monotonicNanos(); }
    void logStart();
    void logBytes(Nanos time, const char* tag, const std::uint8_t* bytes, std::size_t count);
    void readCommands();
    void onFrame(const std::uint8_t* frame) override;
    void onDiscard(const std::uint8_t* bytes, std::size_t count) override;
    void logJunk();
    void take(const PendingCommand& command);
    void obey(const CommandBytes& frame, Nanos time);
    void produceFrame(Nanos time, bool reply);
    void queueWrites(Nanos time, bool reply, const std::vector<Write>& writes);
    void sendOnWire(Nanos time, const std::vector<Write>& writes);
    void handOver(Nanos time);
    Nanos nextTickAt() const;
    void tick(Nanos time);
    bool actOnDue(Nanos time);
    Nanos nextWake() const;
    bool waitUntil(Nanos wake, const sigset_t& waitMask);
    void perform(const PendingWrite& pending);
    void deliver(const Write& bytes, int framesEnding);
    void watchLine();
    bool writeFitting(const Write& bytes, std::size_t& written);
    void hangUp();
    void saveStats();

    const SimOptions& options_;
    Pty pty_;
    LineHolders& holders_;
    std::FILE* log_;
    const Nanos start_;
    UnicycleModel model_;
    FrameAssembler parser_{kCommandFrameFormat};
    std::vector<std::uint8_t> junk_;  // discarded bytes not yet logged
    Nanos feedTime_ = 0;              // when the bytes being parsed were read
    Nanos byteDone_ = 0;              // when the byte being parsed has crossed the line
    SimCounters counters_;
    std::deque<PendingCommand> commands_;
    std::deque<PendingWrite> queue_;  // whole writes, and hang-ups
    Nanos lastWriteDue_ = 0;
    SerialLine inbound_;                  // with --wire: the driver's commands
    Wire wire_;                           // with --wire: the robot's frames
    std::deque<std::int64_t> frameEnds_;  // with --wire: bytes sent when each frame ends
    const Nanos streamPeriod_;
    Nanos nextTick_;
    bool statsDirty_ = true;
};

// The log's times count from the start; its first line gives that start on
// CLOCK_MONOTONIC, the clock the driver stamps its frames on, so that the
// hand-overs logged here can be set against those stamps.
void Simulator::logStart() {
    if (log_ == nullptr) return;
    std::fprintf(log_, "%.6f start %lld.%09lld\n", 0.0, static_cast<long long>(start_ / 1000000000),
                 static_cast<long long>(start_ % 1000000000));
    std::fflush(log_);
}

void Simulator::logBytes(Nanos time, const char* tag, const std::uint8_t* bytes,
                         std::size_t count) {
    if (log_ == nullptr) return;
    std::fprintf(log_, "%.6f %s", seconds(time - start_), tag);
    for (std::size_t i = 0; i < count; ++i) std::fprintf(log_, " %02X", bytes[i]);
    std::fputc('\n', log_);
    std::fflush(log_);
}

void Simulator::readCommands() {
    std::uint8_t buffer[4096];
    const ssize_t n = read(pty_.master, buffer, sizeof buffer);
    if (n <= 0) return;
    feedTime_ = now();
    // Byte by byte, so each frame is known to end when its last byte has
    // crossed: on the wire, bytes written at once still go one at a time.
    for (ssize_t i = 0; i < n; ++i) {
        byteDone_ = options_.wire ? inbound_.carry(feedTime_) : feedTime_;
        parser_.feed(buffer + i, 1, *this);
    }
    logJunk();
    statsDirty_ = true;
}

// Neighbouring discarded runs are logged as one line: nothing came between.
void Simulator::onDiscard(const std::uint8_t* bytes, std::size_t count) {
    junk_.insert(junk_.end(), bytes, bytes + count);
}

void Simulator::logJunk() {
    if (junk_.empty()) return;
    logBytes(feedTime_, "junk", junk_.data(), junk_.size());
    junk_.clear();
}

void Simulator::onFrame(const std::uint8_t* bytes) {
    logJunk();
    PendingCommand command{byteDone_, {}};
    std::copy(bytes, bytes + kCommandFrameSize, command.frame.begin());
    commands_.push_back(command);
}

// Logged at the time the model takes the command, which the reply counts from.
void Simulator::take(const PendingCommand& command) {
    logBytes(command.due, "rx", command.frame.data(), command.frame.size());
    obey(command.frame, command.due);
}

void Simulator::obey(const CommandBytes& frame, Nanos time) {
    const RobotCommand command = decodeCommand(frame);
    const bool known = model_.apply(command, seconds(time));
    switch (command.code) {
        case kCodeVelocity: ++counters_.commandsVelocity; break;
        case kCodeOdometry: ++counters_.commandsOdometry; break;
        case kCodeFreeWheels: ++counters_.commandsFreeWheels; break;
        default: ++counters_.commandsUnknown; break;
    }
    if (known && options_.streamHz == 0.0) produceFrame(time, true);
}

// Builds the status as it stands at `time` and queues its bytes. A hang-up
// waits until the frames ahead of it have gone.
void Simulator::produceFrame(Nanos time, bool reply) {
    if (counters_.hungUp) return;
    const FramePlan plan = planFrame(options_.faults, ++counters_.statusProduced);
    statsDirty_ = true;
    if (plan.fate == FramePlan::Fate::Withhold) {
        ++counters_.statusWithheld;
        return;
    }
    if (plan.fate == FramePlan::Fate::HangUp) {
        const Nanos last = options_.wire ? wire_.drainedAt() : lastWriteDue_;
        queue_.push_back({std::max(time, last), {}, false, true});
        return;
    }
    model_.advanceTo(seconds(time));
    const std::vector<Write> writes =
        writesFor(buildStatusFrame(reportOf(model_, seconds(time - start_))), plan);
    counters_.faultsCrc += plan.corruptCrc;
    counters_.faultsGarbage += plan.garbage;
    counters_.faultsSplit += plan.split;
    if (options_.wire) {
        sendOnWire(time, writes);
    } else {
        queueWrites(time, reply, writes);
    }
}

// Each write whole: a reply leaves once the command and the reply would both
// have crossed the line; no frame starts before the one ahead of it has gone.
void Simulator::queueWrites(Nanos time, bool reply, const std::vector<Write>& writes) {
    std::int64_t size = 0;
    for (const Write& w : writes) size += static_cast<std::int64_t>(w.size());
    const Nanos earliest = reply ? time + lineTime(kCommandFrameSize + size) : time;
    Nanos due = std::max(earliest, lastWriteDue_ + lineTime(size));
    for (std::size_t i = 0; i < writes.size(); ++i) {
        if (i > 0) due += options_.faults.splitPauseMs * kNanosPerMs;
        queue_.push_back({due, writes[i], i + 1 == writes.size(), false});
    }
    lastWriteDue_ = due;
}

// On the wire the frame starts at `time`, or once the line is free; the
// command it answers has already crossed.
void Simulator::sendOnWire(Nanos time, const std::vector<Write>& writes) {
    const Nanos pause = options_.faults.splitPauseMs * kNanosPerMs;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        wire_.send(i == 0 ? time : wire_.lineFreeAt() + pause, writes[i]);
    }
    frameEnds_.push_back(wire_.bytesSent());
}

void Simulator::handOver(Nanos time) {
    Write bytes;
    wire_.takeDue(time, bytes);
    int framesEnding = 0;
    while (!frameEnds_.empty() && frameEnds_.front() <= wire_.bytesHandedOver()) {
        frameEnds_.pop_front();
        ++framesEnding;
    }
    deliver(bytes, framesEnding);
}

// Writes at once what the driver's receive buffer has room for, counted in
// `written`; false if the line failed. A real line never waits for its
// reader: bytes that reach a full buffer are lost while the wire goes on.
bool Simulator::writeFitting(const Write& bytes, std::size_t& written) {
    written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(pty_.master, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n == 0 || errno == EAGAIN;  // full, or failed
        }
    }
    return true;
}

// A real port that nobody holds open loses what arrives, and one that is
// closed forgets what was left unread: the next open must not begin with an
// old reply.
void Simulator::watchLine() {
    if (holders_.update()) tcflush(pty_.slave, TCIFLUSH);
}

void Simulator::perform(const PendingWrite& pending) {
    if (pending.hangUp) {
        hangUp();
        return;
    }
    deliver(pending.bytes, pending.endsFrame ? 1 : 0);
}

// Writes `bytes`, which complete `framesEnding` status frames, or drops them
// while nobody holds the line. Frames that end in a write cut short by a full
// buffer count as dropped too.
void Simulator::deliver(const Write& bytes, int framesEnding) {
    watchLine();
    const Nanos time = now();
    const auto frames = static_cast<std::uint64_t>(framesEnding);
    std::size_t written = 0;
    if (!holders_.held()) {
        logBytes(time, "drop", bytes.data(), bytes.size());
        counters_.statusDropped += frames;
    } else if (!writeFitting(bytes, written)) {
        logBytes(time, "tx", bytes.data(), bytes.size());
        ++counters_.writeFailures;
    } else {
        if (written > 0) logBytes(time, "tx", bytes.data(), written);
        if (written < bytes.size()) {
            logBytes(time, "overflow", bytes.data() + written, bytes.size() - written);
            counters_.bytesOverflowed += bytes.size() - written;
            counters_.statusDropped += frames;
        } else {
            counters_.statusSent += frames;
        }
    }
    statsDirty_ = true;
}

void Simulator::hangUp() {
    if (log_ != nullptr) {
        std::fprintf(log_, "%.6f hangup\n", seconds(now() - start_));
        std::fflush(log_);
    }
    holders_.stop();
    close(pty_.master);
    close(pty_.slave);
    pty_.master = pty_.slave = -1;
    removeOurLink(options_.link, pty_.slaveName);
    counters_.hungUp = true;
    queue_.clear();
    statsDirty_ = true;
}

std::string Simulator::countersText() const {
    const AssemblerCounters& stream = parser_.counters();
    const struct {
        const char* name;
        std::uint64_t value;
    } rows[] = {
        {"bytes_received", stream.bytesReceived},
        {"frames_good", stream.goodFrames},
        {"frames_bad", stream.badFrames},
        {"bytes_discarded", stream.discardedBytes},
        {"commands_velocity", counters_.commandsVelocity},
        {"commands_odometry", counters_.commandsOdometry},
        {"commands_free_wheels", counters_.commandsFreeWheels},
        {"commands_unknown", counters_.commandsUnknown},
        {"status_produced", counters_.statusProduced},
        {"status_sent", counters_.statusSent},
        {"status_withheld", counters_.statusWithheld},
        {"status_dropped", counters_.statusDropped},
        {"bytes_overflowed", counters_.bytesOverflowed},
        {"faults_crc", counters_.faultsCrc},
        {"faults_garbage", counters_.faultsGarbage},
        {"faults_split", counters_.faultsSplit},
        {"write_failures", counters_.writeFailures},
        {"hung_up", counters_.hungUp ? 1u : 0u},
    };
    std::string text;
    for (const auto& row : rows) {
        text += row.name;
        text += ' ';
        text += std::to_string(row.value);
        text += '\n';
    }
    return text;
}

// Written beside the target and renamed over it, so a reader never sees
// half a file.
void Simulator::saveStats() {
    statsDirty_ = false;
    if (options_.statsPath.empty()) return;
    const std::string temporary = options_.statsPath + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return;
    const std::string text = countersText();
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) == 0 && written) {
        std::rename(temporary.c_str(), options_.statsPath.c_str());
    }
}

// A streamed frame waits for the line to be free, so that it is built when
// it can start and the line never falls behind: on the wire until the frame
// ahead has crossed; without it, until this one, written whole, can go at
// once.
Nanos Simulator::nextTickAt() const {
    if (options_.wire) return std::max(nextTick_, wire_.lineFreeAt());
    return std::max(nextTick_, lastWriteDue_ + lineTime(kStatusFrameSize));
}

// On the wire a frame starts when it was due even if the simulator woke up
// later, as long as that was less than a frame's time ago: the robot's line
// does not slow down when the simulator is late, while a longer delay is not
// made up in a burst.
void Simulator::tick(Nanos time) {
    const Nanos due =
        options_.wire ? std::max(nextTickAt(), time - lineTime(kStatusFrameSize)) : time;
    produceFrame(due, false);
    nextTick_ += streamPeriod_;
    if (nextTick_ < due) nextTick_ = due + streamPeriod_;  // fell behind: do not burst
}

// Does the first thing due by `time`; false if nothing is.
bool Simulator::actOnDue(Nanos time) {
    const bool live = !counters_.hungUp;
    if (!commands_.empty() && commands_.front().due <= time) {
        const PendingCommand command = commands_.front();
        commands_.pop_front();
        take(command);
    } else if (live && options_.wire && wire_.nextHandover() <= time) {
        handOver(time);
    } else if (!queue_.empty() && queue_.front().due <= time) {
        const PendingWrite pending = queue_.front();
        queue_.pop_front();
        perform(pending);
    } else if (live && streamPeriod_ > 0 && nextTickAt() <= time) {
        tick(time);
    } else {
        return false;
    }
    return true;
}

// When something is next due, or kNever.
Nanos Simulator::nextWake() const {
    Nanos wake = kNever;
    if (!commands_.empty()) wake = commands_.front().due;
    if (!queue_.empty()) wake = std::min(wake, queue_.front().due);
    if (counters_.hungUp) return wake;
    if (options_.wire) wake = std::min(wake, wire_.nextHandover());
    if (streamPeriod_ > 0) wake = std::min(wake, nextTickAt());
    return wake;
}

// Waits for command bytes, a change of who holds the line, a stop signal,
// or `wake`, whichever comes first. False if waiting itself failed.
bool Simulator::waitUntil(Nanos wake, const sigset_t& waitMask) {
    timespec timeout = {0, 0};
    if (wake != kNever) {
        const Nanos wait = std::max<Nanos>(0, wake - now());
        timeout.tv_sec = static_cast<time_t>(wait / 1000000000);
        timeout.tv_nsec = static_cast<long>(wait % 1000000000);
    }
    pollfd inputs[] = {{pty_.master, POLLIN, 0}, {holders_.fd(), POLLIN, 0}};
    const nfds_t count = counters_.hungUp ? 0 : 2;
    const int ready = ppoll(inputs, count, wake != kNever ? &timeout : nullptr, &waitMask);
    if (ready < 0 && errno != EINTR) {
        std::perror("velocart-sim: ppoll");
        return false;
    }
    if (ready <= 0 || count == 0) return true;  // timed out, or a signal
    if (inputs[1].revents & POLLIN) watchLine();
    if (inputs[0].revents & POLLIN) {
        readCommands();
    } else if (inputs[0].revents & (POLLHUP | POLLERR)) {
        // Should not happen while the slave is held open; never spin.
        const timespec nap = {0, 10000000L};
        nanosleep(&nap, nullptr);
    }
    return true;
}

void Simulator::run() {
    // SIGINT and SIGTERM are blocked except inside ppoll, so a stop request
    // can only end a wait, never be lost between the check and the wait.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);

    logStart();
    while (stopSignal == 0) {
        if (statsDirty_) saveStats();
        if (!actOnDue(now()) && !waitUntil(nextWake(), waitMask)) break;
    }
    saveStats();
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "velocart-sim: %s\n(velocart-sim --help lists the options)\n",
                     error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }

    // Wake-ups on time to the microsecond, not the default 50 us late: the
    // driver's closed loop is measured against the bare time on the wire.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);

    Pty pty;
    if (!openPty(pty)) {
        std::fprintf(stderr, "velocart-sim: cannot create a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    std::FILE* log = nullptr;
    if (!options.logPath.empty()) {
        log = std::fopen(options.logPath.c_str(), "a");
        if (log == nullptr) {
            std::fprintf(stderr, "velocart-sim: cannot open log %s: %s\n", options.logPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    LineHolders holders(pty.slaveName);
    if (!makeLink(pty.slaveName, options.link, error)) {
        std::fprintf(stderr, "velocart-sim: cannot create the link: %s\n", error.c_str());
        return 1;
    }

    const std::string note = streamNote(options);
    if (!note.empty()) std::fprintf(stderr, "velocart-sim: %s\n", note.c_str());
    Simulator simulator(options, pty, holders, log);
    std::printf("ready %s\n", options.link.c_str());
    std::fflush(stdout);
    simulator.run();

    removeOurLink(options.link, pty.slaveName);
    if (log != nullptr) std::fclose(log);
    std::string counters = simulator.countersText();
    std::replace(counters.begin(), counters.end(), '\n', ' ');
    std::fprintf(stderr, "velocart-sim: stopped by signal %d; %s\n", static_cast<int>(stopSignal),
                 counters.c_str());
    return 0;
}
