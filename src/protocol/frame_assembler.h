// Finds whole frames in a byte stream that arrives in pieces of any size.
//
// Both directions share one envelope: start byte 0xAA, the length byte L,
// header byte 2 zero, and a big-endian CRC-16/CMS of offsets 1..L+1 in the
// last two bytes. A FrameFormat names the L and the size of one kind of
// frame; the assembler accepts only frames of that kind.
//
// The assembler is an explicit state machine over a fixed buffer: it holds
// at most one candidate, which always begins with a start byte. Bytes that
// cannot begin a frame are given up at once. A candidate that goes wrong
// (wrong length byte, non-zero header byte, wrong checksum) loses only its
// start byte, and the search goes on inside the bytes it held, so a good
// frame right behind a broken one is never lost. An incomplete candidate is
// kept for the next feed. Nothing is allocated and there is no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/command_frame.h"
#include "protocol/status_frame.h"

namespace velocart {

struct FrameFormat {
    std::uint8_t length;  // the L every frame of this kind carries
    int size;             // all bytes of the frame; the checksum takes the last two
};

constexpr FrameFormat kStatusFrameFormat = {26, kStatusFrameSize};
constexpr FrameFormat kCommandFrameFormat = {kCommandLength, kCommandFrameSize};
constexpr int kMaxFrameSize = kStatusFrameSize;

struct AssemblerCounters {
    std::uint64_t bytesReceived = 0;
    std::uint64_t goodFrames = 0;
    // Start bytes that began no good frame.
    std::uint64_t badFrames = 0;
    // Bytes that are part of no good frame (garbage, broken frames).
    std::uint64_t discardedBytes = 0;
};

// What the assembler finds, in stream order.
class FrameListener {
public:
    // A good frame of format.size bytes; the bytes are valid during the call.
    virtual void onFrame(const std::uint8_t* frame) = 0;
    // A run of bytes given up on (there may be several runs in a row).
    virtual void onDiscard(const std::uint8_t*, std::size_t) {}

protected:
    ~FrameListener() = default;
};

class FrameAssembler {
public:
    // constexpr, so that a static assembler needs no start-up code.
    explicit constexpr FrameAssembler(FrameFormat format) : format_(format) {}

    // Takes the next `count` bytes of the stream and tells the listener of
    // every frame completed and every run of bytes given up on.
    void feed(const std::uint8_t* data, std::size_t count, FrameListener& listener);

    // Forgets the candidate held (the counters stay).
    void reset() { heldCount_ = 0; }

    // Bytes held as the start of a possible frame.
    int held() const { return heldCount_; }
    // Bytes that would complete the held candidate; a whole frame when none.
    int missing() const { return format_.size - heldCount_; }
    // During onFrame: how many bytes of the feed under way come after the
    // frame's last byte (they crossed the wire after it).
    std::size_t bytesAfterFrame() const { return bytesAfter_; }

    const AssemblerCounters& counters() const { return counters_; }
    FrameFormat format() const { return format_; }

private:
    enum class Verdict { Incomplete, Good, Bad };

    Verdict judge() const;
    void settle(FrameListener& listener);
    void discard(const std::uint8_t* bytes, std::size_t count, FrameListener& listener);

    FrameFormat format_;
    std::uint8_t held_[kMaxFrameSize] = {};
    int heldCount_ = 0;
    std::size_t bytesAfter_ = 0;
    AssemblerCounters counters_ = {};
};

}  // namespace velocart
