#include "protocol/frame_assembler.h"

#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/frame_crc16.h"

namespace velocart {

namespace {

const std::uint8_t* findStartByte(const std::uint8_t* bytes, std::size_t count) {
    return static_cast<const std::uint8_t*>(std::memchr(bytes, kStartByte, count));
}

}  // namespace

void FrameAssembler::feed(const std::uint8_t* data, std::size_t count, FrameListener& listener) {
    counters_.bytesReceived += count;
    while (count > 0) {
        if (heldCount_ == 0) {
            const std::uint8_t* start = findStartByte(data, count);
            const std::size_t skipped = start == nullptr ? count : std::size_t(start - data);
            discard(data, skipped, listener);
            data += skipped;
            count -= skipped;
            if (count == 0) return;
        }
        const std::size_t room = static_cast<std::size_t>(format_.size - heldCount_);
        const std::size_t taken = count < room ? count : room;
        std::memcpy(held_ + heldCount_, data, taken);
        heldCount_ += static_cast<int>(taken);
        data += taken;
        count -= taken;
        // A frame completes only as a copy fills it: the rest of the feed
        // comes after it.
        bytesAfter_ = count;
        settle(listener);
    }
}

// Each test needs only the bytes it looks at, so a bad candidate is seen as
// early as its bytes allow.
FrameAssembler::Verdict FrameAssembler::judge() const {
    if (heldCount_ > kLengthOffset && held_[kLengthOffset] != format_.length) return Verdict::Bad;
    if (heldCount_ > kHeaderByteOffset && held_[kHeaderByteOffset] != 0x00) return Verdict::Bad;
    if (heldCount_ < format_.size) return Verdict::Incomplete;
    const std::uint16_t crc = frameCrc16(held_ + kLengthOffset, format_.length + 1u);
    return crc == getBe16(held_ + format_.size - 2) ? Verdict::Good : Verdict::Bad;
}

// Decides about the held bytes as far as they allow. After a bad candidate
// only its start byte is certain to be garbage; the search for the next
// start byte goes on inside the rest.
void FrameAssembler::settle(FrameListener& listener) {
    while (heldCount_ > 0) {
        const Verdict verdict = judge();
        if (verdict == Verdict::Incomplete) return;
        if (verdict == Verdict::Good) {
            ++counters_.goodFrames;
            heldCount_ = 0;
            listener.onFrame(held_);
            return;
        }
        ++counters_.badFrames;
        const std::size_t rest = static_cast<std::size_t>(heldCount_ - 1);
        const std::uint8_t* next = findStartByte(held_ + 1, rest);
        const std::size_t dropped =
            next == nullptr ? std::size_t(heldCount_) : std::size_t(next - held_);
        discard(held_, dropped, listener);
        heldCount_ -= static_cast<int>(dropped);
        std::memmove(held_, held_ + dropped, static_cast<std::size_t>(heldCount_));
    }
}

void FrameAssembler::discard(const std::uint8_t* bytes, std::size_t count,
                             FrameListener& listener) {
    if (count == 0) return;
    counters_.discardedBytes += count;
    listener.onDiscard(bytes, count);
}

}  // namespace velocart
