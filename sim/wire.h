// Bytes on a 115200-baud line and their hand-over by a USB serial adapter.
//
// Times are nanoseconds on one monotonic clock, chosen by the caller; nothing
// here reads a clock or does I/O. Each byte takes 10 bits (start, 8 data,
// stop), 781250/9 ns (about 86.8 us). A byte's time is computed from the start
// of its run of back-to-back bytes, never by adding byte times, so a long run
// does not drift; times are rounded up, so nothing is early.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace velocart::sim {

using Nanos = std::int64_t;

constexpr Nanos kNever = std::numeric_limits<Nanos>::max();
constexpr Nanos kNanosPerMs = 1000000;

// The time `count` back-to-back bytes take on the line.
Nanos lineTime(std::int64_t count);

// One direction of the line: bytes go one after another, none before the
// previous one has crossed.
class SerialLine {
public:
    // Puts one byte on the line, to start no sooner than `ready`; returns
    // the time it has crossed.
    Nanos carry(Nanos ready);
    // When the last byte put on the line has crossed.
    Nanos freeAt() const { return lastDone_; }

private:
    Nanos runStart_ = 0;
    std::int64_t runBytes_ = 0;
    Nanos lastDone_ = std::numeric_limits<Nanos>::min();
};

struct WireOptions {
    // The adapter hands bytes over on a fixed grid from the origin (like USB
    // frames); 0 hands each byte over as it crosses.
    Nanos chunk = kNanosPerMs;
    // A latency timer in ms (1 to 255) models an adapter that holds bytes
    // until a packet is full or the timer expires; 0: no such timer.
    int latencyTimerMs = 0;
};

// Data bytes in one adapter packet.
constexpr std::size_t kAdapterPacketBytes = 62;

// The robot's side of the line and the adapter at the host's end. With a
// latency timer, bytes that have crossed are held until kAdapterPacketBytes
// are held (handed over at once, and the timer restarts from then) or the
// timer expires (all held bytes are handed over). The timer runs from the
// origin and expires every latencyTimerMs. Bytes the adapter has let go of
// then wait for the next grid point, if there is a grid.
class Wire {
public:
    Wire(const WireOptions& options, Nanos origin);

    // Puts `bytes` on the line, to start no sooner than `ready` and after
    // everything sent before; returns when the last of them has crossed.
    Nanos send(Nanos ready, const std::vector<std::uint8_t>& bytes);

    // When the line has carried everything sent.
    Nanos lineFreeAt() const { return line_.freeAt(); }

    // When the next bytes are handed over, if nothing more is sent; kNever
    // when none are waiting.
    Nanos nextHandover() const;

    // When the last byte sent so far will have been handed over, if nothing
    // more is sent; the origin when none are waiting.
    Nanos drainedAt() const;

    // Appends to `out` the bytes handed over by `now`, each once, in order.
    void takeDue(Nanos now, std::vector<std::uint8_t>& out);

    // All bytes sent, and all handed over, so far.
    std::int64_t bytesSent() const { return sent_; }
    std::int64_t bytesHandedOver() const { return handedOver_; }

private:
    struct Byte {
        Nanos done;
        std::uint8_t value;
    };
    struct Packet {
        Nanos due;
        std::vector<std::uint8_t> bytes;
    };

    Nanos nextRelease() const;
    void release(Nanos at);
    Nanos gridPointFrom(Nanos time) const;

    WireOptions options_;
    Nanos origin_;
    SerialLine line_;
    std::deque<Byte> unreleased_;  // on the line or held in the adapter
    std::deque<Packet> released_;  // let go of, waiting for a grid point
    Nanos timerStart_;
    std::int64_t sent_ = 0;
    std::int64_t handedOver_ = 0;
};

}  // namespace velocart::sim
