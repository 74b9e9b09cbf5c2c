#include "sim/sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velocart::sim {

namespace {

bool parseCount(const char* text, long long low, long long high, long long& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

bool parseNumber(const char* text, double low, double high, double& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed)) return false;
    if (parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

bool parseRate(const char* text, double& value) {
    return parseNumber(text, 0.0, kMaxStreamHz, value) && value > 0.0;
}

constexpr long long kMaxCount = 1000000000000LL;

bool takesValue(const std::string& name) {
    static const char* const kNames[] = {"--link",
                                         "--log",
                                         "--stats",
                                         "--stream",
                                         "--chunk-ms",
                                         "--latency-timer",
                                         "--fault-crc",
                                         "--fault-garbage",
                                         "--fault-split",
                                         "--fault-silent-after",
                                         "--fault-hangup-after"};
    for (const char* known : kNames) {
        if (name == known) return true;
    }
    return false;
}

}  // namespace

bool parseOptions(int argc, const char* const argv[], SimOptions& options, std::string& error) {
    const char* needsWire = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--wire") {
            options.wire = true;
            continue;
        }
        if (!takesValue(name)) {
            error = "unknown option " + name;
            return false;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) {
            error = name + " needs a value";
            return false;
        }
        long long count = 0;
        double number = 0.0;
        bool ok = true;
        if (name == "--link") {
            options.link = value;
            ok = *value != '\0';
        } else if (name == "--log") {
            options.logPath = value;
        } else if (name == "--stats") {
            options.statsPath = value;
        } else if (name == "--stream") {
            ok = parseRate(value, options.streamHz);
        } else if (name == "--chunk-ms") {
            ok = parseNumber(value, 0.0, kMaxChunkMs, number);
            options.wireOptions.chunk = std::llround(number * static_cast<double>(kNanosPerMs));
            needsWire = "--chunk-ms";
        } else if (name == "--latency-timer") {
            ok = parseCount(value, 1, kMaxLatencyTimerMs, count);
            options.wireOptions.latencyTimerMs = static_cast<int>(count);
            needsWire = "--latency-timer";
        } else if (name == "--fault-crc") {
            ok = parseCount(value, 1, kMaxCount, count);
            options.faults.crcEvery = static_cast<std::uint64_t>(count);
        } else if (name == "--fault-garbage") {
            ok = parseCount(value, 1, kMaxCount, count);
            options.faults.garbageEvery = static_cast<std::uint64_t>(count);
        } else if (name == "--fault-split") {
            ok = parseCount(value, 1, kMaxSplitPauseMs, count);
            options.faults.splitPauseMs = static_cast<int>(count);
        } else if (name == "--fault-silent-after") {
            ok = parseCount(value, 0, kMaxCount, count);
            options.faults.silentAfter = count;
        } else if (name == "--fault-hangup-after") {
            ok = parseCount(value, 0, kMaxCount, count);
            options.faults.hangupAfter = count;
        }
        if (!ok) {
            error = "bad value '" + std::string(value) + "' for " + name;
            return false;
        }
        ++i;
    }
    if (!options.help && options.link.empty()) {
        error = "--link PATH is required";
        return false;
    }
    if (needsWire != nullptr && !options.wire) {
        error = std::string(needsWire) + " needs --wire";
        return false;
    }
    return true;
}

std::string streamNote(const SimOptions& options) {
    if (options.streamHz <= kLineFramesPerSecond) return {};
    char text[200];
    std::snprintf(text, sizeof text,
                  "--stream %g is more than the line carries: a %d-byte status frame takes "
                  "%.1f ms at 115200 baud, so at most %g go out per second",
                  options.streamHz, kStatusFrameSize, 1e3 / kLineFramesPerSecond,
                  kLineFramesPerSecond);
    return text;
}

std::string usageText() {
    return R"(usage: velocart-sim --link PATH [options]

A simulated VelocartDriver robot at the far end of a pseudo-terminal. It makes
PATH a symbolic link to the pty's slave side, prints "ready PATH" on stdout and
serves until SIGINT or SIGTERM, then removes the link (if it still leads to its
pty) and prints its counters on stderr. Open PATH from Octave or MATLAB:
VelocartDriver('open', PATH).

The robot
  It reads 26-byte command frames (start byte 0xAA, length 22, CRC-16/CMS),
  resynchronising after garbage, cut-off or corrupted frames, and obeys them:
    code 3  drive: velocity component 1 is the forward speed in m/s,
            component 2 the turn rate in rad/s (counter-clockwise positive)
    code 7  overwrite the odometry: x, y in metres, heading in radians
    code 0  free wheels: no drive, the robot stands still
  The pose follows a unicycle model in real time, without inertia. The heading
  is kept within [-pi, pi] while the robot moves.

  After each command it knows it answers with one 30-byte status frame: pose,
  velocities and two auxiliary values,
    auxiliary 1  (read element 7)  the robot's clock, seconds since start modulo 8
    auxiliary 2  (read element 8)  1 while the wheels are driven, 0 in free-wheel
                                   mode (also at start)
  The reply goes out in one write, after the time a 115200-baud line takes to
  carry the command and the reply (56 bytes, about 4.9 ms). With --wire it
  goes out byte by byte instead, as described under "The wire".

  Like a real port, the line loses what arrives while nobody has it open: a
  write due then is dropped, and bytes left unread when the driver closes the
  line are discarded, so the next open never begins with an old reply.

The wire (--wire)
  Every byte takes 10 bits at 115200 baud, 86.8 us: byte k of a frame has
  crossed (k+1) x 86.8 us after the frame starts, counted from that start,
  and no frame starts before the one ahead of it has crossed. A command is
  taken once its own 26 bytes have crossed (commands written back to back
  queue on the line), and its reply starts then. Streamed frames, garbage and
  split frames travel the same way; a streamed frame whose time comes while
  the line is busy waits for it. The bytes that have crossed are written to
  the pty the way a USB adapter hands them to the host: at fixed points every
  --chunk-ms from the simulator's start (USB frames), all bytes that crossed
  since the previous point together.

Options
  --link PATH        the symbolic link to create (required). A symbolic link
                     there is replaced, unless another running simulator holds
                     the line it leads to; then it is refused, as is any
                     other file
  --stream HZ        send status frames HZ times a second (up to 1000) instead
                     of answering commands. The line carries at most 384 a
                     second (a 30-byte frame takes 2.6 ms at 115200 baud): a
                     frame due while the line is busy waits for it, so a higher
                     HZ sends fewer (said at start)
  --wire             pace every status frame at the line rate (see The wire)
  --chunk-ms X       the hand-over interval in ms, 0 to 1000 (default 1); 0
                     writes each byte as it crosses. Needs --wire
  --latency-timer MS an adapter with a latency timer of 1 to 255 ms (needs
                     --wire): bytes that crossed are held until 62 are held,
                     which go at once and restart the timer, or until the
                     timer expires, when all held bytes go. The timer runs
                     from the simulator's start and expires every MS ms; what
                     it lets go of still waits for the next --chunk-ms point
  --log FILE         append a line per event: seconds since start, then
                     "rx" and a good command frame, "junk" and bytes the parser
                     gave up on, "tx" and the bytes of each write, "drop" and
                     the bytes of a write dropped because nobody had the line
                     open, "overflow" and the bytes of a write the driver's
                     full receive buffer had no room for (a real line loses
                     them too, and goes on), or "hangup". The first line a
                     run writes is "0.000000 start T": it started at T
                     seconds on CLOCK_MONOTONIC, the clock the driver's
                     stamps count on
  --stats FILE       keep FILE up to date with the counters, "name value" per
                     line: bytes_received frames_good frames_bad bytes_discarded
                     commands_velocity commands_odometry commands_free_wheels
                     commands_unknown status_produced status_sent
                     status_withheld status_dropped bytes_overflowed
                     faults_crc faults_garbage faults_split write_failures
                     hung_up. status_dropped counts frames nobody had the line
                     open for, or that ended in an overflow
  --help             this text

Faults (status frames are numbered from 1 in the order they are produced)
  --fault-crc N           corrupt the checksum of every Nth status frame
  --fault-garbage N       write 7 garbage bytes (00 FF 55 AA 13 11 7E) in
                          front of every Nth status frame, in the same write
  --fault-split MS        write every status frame in two parts, bytes 0-14
                          and 15-29, MS milliseconds apart (with --wire, the
                          line is idle for MS ms between the parts)
  --fault-silent-after N  send N status frames, then nothing more; commands
                          are still read, counted and obeyed
  --fault-hangup-after N  send N status frames; at the next one close the
                          pty (the driver's reads and writes then fail) and
                          remove the link; the simulator waits for SIGTERM
)";
}

}  // namespace velocart::sim
