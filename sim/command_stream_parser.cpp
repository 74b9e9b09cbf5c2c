#include "sim/command_stream_parser.h"

#include <algorithm>

#include "protocol/byte_order.h"
#include "protocol/frame_crc16.h"

namespace velocart::sim {

void CommandStreamParser::discard(std::size_t from, std::size_t count,
                                  std::vector<StreamItem>& items) {
    if (count == 0) return;
    counters_.discardedBytes += count;
    const auto first = held_.begin() + static_cast<std::ptrdiff_t>(from);
    const auto last = first + static_cast<std::ptrdiff_t>(count);
    // Neighbouring runs are one run: nothing came between them.
    if (!items.empty() && items.back().kind == StreamItem::Kind::Discarded) {
        items.back().bytes.insert(items.back().bytes.end(), first, last);
    } else {
        items.push_back({StreamItem::Kind::Discarded, std::vector<std::uint8_t>(first, last)});
    }
}

void CommandStreamParser::feed(const std::uint8_t* data, std::size_t count,
                               std::vector<StreamItem>& items) {
    held_.insert(held_.end(), data, data + count);
    counters_.bytesReceived += count;

    // Only a candidate's start byte is dropped when it fails, so the search
    // goes on inside the bytes it covered.
    std::size_t pos = 0;
    while (pos < held_.size()) {
        const auto start =
            std::find(held_.begin() + static_cast<std::ptrdiff_t>(pos), held_.end(), kStartByte);
        const std::size_t at = static_cast<std::size_t>(start - held_.begin());
        discard(pos, at - pos, items);
        pos = at;
        if (held_.size() - pos < 2) break;
        if (held_[pos + kLengthOffset] != kCommandLength) {
            ++counters_.badFrames;
            discard(pos, 1, items);
            ++pos;
            continue;
        }
        if (held_.size() - pos < static_cast<std::size_t>(kCommandFrameSize)) break;
        const std::uint8_t* frame = held_.data() + pos;
        const std::uint16_t crc = frameCrc16(frame + kLengthOffset, kCommandLength + 1u);
        if (crc != getBe16(frame + kCommandCrcOffset)) {
            ++counters_.badFrames;
            discard(pos, 1, items);
            ++pos;
            continue;
        }
        items.push_back(
            {StreamItem::Kind::Frame, std::vector<std::uint8_t>(frame, frame + kCommandFrameSize)});
        ++counters_.goodFrames;
        pos += kCommandFrameSize;
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(pos));
}

}  // namespace velocart::sim
