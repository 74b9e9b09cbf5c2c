// Finds command frames in the byte stream the driver writes to the robot.
//
// The parser holds no I/O: bytes go in through feed(), complete frames and
// the bytes it gave up on come out in stream order. A frame is a start byte
// 0xAA, the length byte 22, 22 more bytes and a big-endian CRC-16/CMS over
// offsets 1..23. After garbage, a cut-off frame or a corrupted one it
// resynchronises at the next start byte, which may lie inside the rejected
// candidate, so a good frame right behind a broken one is never lost.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/command_frame.h"

namespace velocart::sim {

using CommandBytes = std::array<std::uint8_t, kCommandFrameSize>;

struct StreamCounters {
    std::uint64_t bytesReceived = 0;
    std::uint64_t goodFrames = 0;
    // Start bytes that did not begin a well-formed frame: wrong length byte
    // or wrong checksum.
    std::uint64_t badFrames = 0;
    // Bytes that are not part of any good frame (garbage, broken frames).
    std::uint64_t discardedBytes = 0;
};

struct StreamItem {
    enum class Kind { Frame, Discarded };
    Kind kind;
    std::vector<std::uint8_t> bytes;  // the 26 bytes of a frame, or a run of discarded bytes
};

class CommandStreamParser {
public:
    // Takes the next `count` bytes of the stream and appends to `items`, in
    // stream order, every frame completed and every run of bytes given up
    // on. Bytes that may still begin a frame are held for the next call.
    void feed(const std::uint8_t* data, std::size_t count, std::vector<StreamItem>& items);

    // Bytes held back as the possible start of a frame.
    std::size_t heldBytes() const { return held_.size(); }

    const StreamCounters& counters() const { return counters_; }

private:
    void discard(std::size_t from, std::size_t count, std::vector<StreamItem>& items);

    std::vector<std::uint8_t> held_;
    StreamCounters counters_;
};

}  // namespace velocart::sim
