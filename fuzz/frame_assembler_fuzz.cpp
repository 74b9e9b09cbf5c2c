// The frame assembler over any byte stream, cut into any pieces, for
// either kind of frame. Whatever the cuts, it must find exactly the frames a
// plain left-to-right scan finds (take a well-formed frame where one starts,
// else step one byte), lose and duplicate nothing (frames, discarded runs
// and the held tail put back together give the stream), and keep its
// counters true.
//
// Input: byte 0 seeds the cut sizes; byte 1 bit 0 asks for every candidate
// with the right length and header byte to be sealed with its right
// checksum (so frames are common), bit 1 picks status frames instead of
// command frames; the rest is the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/frame_assembler.h"
#include "support/reference_crc.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The frame kind under test: its length byte and size.
std::uint8_t gLength = 22;
std::size_t gFrameSize = 26;

bool envelopeAt(const Bytes& s, std::size_t at) {
    return at + gFrameSize <= s.size() && s[at] == 0xAA && s[at + 1] == gLength && s[at + 2] == 0;
}

bool wellFormedAt(const Bytes& s, std::size_t at) {
    if (!envelopeAt(s, at)) return false;
    const std::uint16_t crc = velocart_test::referenceCrc16(s.data() + at + 1, gLength + 1u);
    return crc == ((s[at + gFrameSize - 2] << 8) | s[at + gFrameSize - 1]);
}

// Where the plain scan stops: the first place from which a frame could
// still be completed by bytes not yet seen.
bool couldStillStart(const Bytes& s, std::size_t at) {
    if (s[at] != 0xAA) return false;
    const std::size_t seen = s.size() - at;
    if (seen == 1) return true;
    if (s[at + 1] != gLength) return false;
    if (seen == 2) return true;
    return s[at + 2] == 0 && seen < gFrameSize;
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
                                  s.begin() + static_cast<std::ptrdiff_t>(at + gFrameSize));
            at += gFrameSize;
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

struct Item {
    bool isFrame;
    Bytes bytes;
};

class Recorder : public velocart::FrameListener {
public:
    void onFrame(const std::uint8_t* frame) override {
        items.push_back({true, Bytes(frame, frame + gFrameSize)});
    }
    void onDiscard(const std::uint8_t* bytes, std::size_t count) override {
        items.push_back({false, Bytes(bytes, bytes + count)});
    }
    std::vector<Item> items;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::uint32_t cutSeed = data[0] | 1u;
    const bool seal = data[1] & 1u;
    const velocart::FrameFormat format =
        (data[1] & 2u) ? velocart::kStatusFrameFormat : velocart::kCommandFrameFormat;
    gLength = format.length;
    gFrameSize = static_cast<std::size_t>(format.size);
    Bytes stream(data + 2, data + size);
    if (seal) {
        for (std::size_t at = 0; at + gFrameSize <= stream.size(); ++at) {
            if (!envelopeAt(stream, at)) continue;
            const std::uint16_t crc =
                velocart_test::referenceCrc16(stream.data() + at + 1, gLength + 1u);
            stream[at + gFrameSize - 2] = static_cast<std::uint8_t>(crc >> 8);
            stream[at + gFrameSize - 1] = static_cast<std::uint8_t>(crc & 0xFF);
        }
    }

    velocart::FrameAssembler parser(format);
    Recorder items;
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
    for (const Item& item : items.items) {
        if (item.isFrame) {
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
    if (static_cast<std::size_t>(parser.held()) != stream.size() - expected.heldFrom) std::abort();
    if (rebuilt.size() != expected.heldFrom) std::abort();
    if (!std::equal(rebuilt.begin(), rebuilt.end(), stream.begin())) std::abort();

    const auto& counters = parser.counters();
    if (counters.bytesReceived != stream.size()) std::abort();
    if (counters.goodFrames != frames.size()) std::abort();
    if (counters.discardedBytes != discarded) std::abort();
    if (counters.badFrames != expected.badStarts) std::abort();
    return 0;
}
