// The simulator's command stream parser over any byte stream, cut into any
// pieces. Whatever the cuts, it must find exactly the frames a plain
// left-to-right scan finds (take a well-formed frame where one starts, else
// step one byte), lose and duplicate nothing (frames, discarded runs and the
// held tail put back together give the stream), and keep its counters true.
//
// Input: byte 0 seeds the cut sizes, byte 1 bit 0 asks for every 0xAA 0x16
// candidate to be sealed with its right checksum (so frames are common),
// the rest is the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sim/command_stream_parser.h"
#include "support/reference_crc.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kFrame = 26;

bool wellFormedAt(const Bytes& s, std::size_t at) {
    if (at + kFrame > s.size() || s[at] != 0xAA || s[at + 1] != 0x16) return false;
    const std::uint16_t crc = velocart_test::referenceCrc16(s.data() + at + 1, 23);
    return crc == ((s[at + 24] << 8) | s[at + 25]);
}

// Where the plain scan stops: the first place from which a frame could
// still be completed by bytes not yet seen.
bool couldStillStart(const Bytes& s, std::size_t at) {
    if (s[at] != 0xAA) return false;
    if (at + 1 == s.size()) return true;
    return s[at + 1] == 0x16 && at + kFrame > s.size();
}

struct Expected {
    std::vector<Bytes> frames;
    std::uint64_t badStarts = 0;
    std::size_t heldFrom = 0;
};

Expected scan(const Bytes& s) {
    Expected e;
    std::size_t at = 0;
    while (at < s.size()) {
        if (wellFormedAt(s, at)) {
            e.frames.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(at),
                                  s.begin() + static_cast<std::ptrdiff_t>(at + kFrame));
            at += kFrame;
        } else if (couldStillStart(s, at)) {
            break;
        } else {
            if (s[at] == 0xAA) ++e.badStarts;
            ++at;
        }
    }
    e.heldFrom = at;
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::uint32_t cutSeed = data[0] | 1u;
    const bool seal = data[1] & 1u;
    Bytes stream(data + 2, data + size);
    if (seal) {
        for (std::size_t at = 0; at + kFrame <= stream.size(); ++at) {
            if (stream[at] != 0xAA || stream[at + 1] != 0x16) continue;
            const std::uint16_t crc = velocart_test::referenceCrc16(stream.data() + at + 1, 23);
            stream[at + 24] = static_cast<std::uint8_t>(crc >> 8);
            stream[at + 25] = static_cast<std::uint8_t>(crc & 0xFF);
        }
    }

    velocart::sim::CommandStreamParser parser;
    std::vector<velocart::sim::StreamItem> items;
    std::size_t fed = 0;
    while (fed < stream.size()) {
        // Cuts of 0 to 40 bytes: empty feeds, single bytes, frames split
        // anywhere, several frames at once.
        cutSeed = cutSeed * 1103515245u + 12345u;
        std::size_t cut = (cutSeed >> 16) % 41;
        if (cut > stream.size() - fed) cut = stream.size() - fed;
        parser.feed(stream.data() + fed, cut, items);
        fed += cut;
    }

    const Expected expected = scan(stream);
    std::vector<Bytes> frames;
    Bytes rebuilt;
    std::uint64_t discarded = 0;
    for (const auto& item : items) {
        if (item.kind == velocart::sim::StreamItem::Kind::Frame) {
            if (item.bytes.size() != kFrame) std::abort();
            frames.push_back(item.bytes);
        } else {
            if (item.bytes.empty()) std::abort();
            discarded += item.bytes.size();
        }
        rebuilt.insert(rebuilt.end(), item.bytes.begin(), item.bytes.end());
    }
    if (frames != expected.frames) std::abort();
    // What is neither a frame nor discarded is the held tail, and it is
    // exactly the part the scan could not judge yet.
    if (parser.heldBytes() != stream.size() - expected.heldFrom) std::abort();
    if (rebuilt.size() != expected.heldFrom) std::abort();
    if (!std::equal(rebuilt.begin(), rebuilt.end(), stream.begin())) std::abort();

    const auto& counters = parser.counters();
    if (counters.bytesReceived != stream.size()) std::abort();
    if (counters.goodFrames != frames.size()) std::abort();
    if (counters.discardedBytes != discarded) std::abort();
    if (counters.badFrames != expected.badStarts) std::abort();
    return 0;
}
