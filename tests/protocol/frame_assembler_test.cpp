#include "protocol/frame_assembler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "protocol/command_frame.h"
#include "support/reference_crc.h"

using namespace velocart;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes velocityFrame(float forward, float turn) {
    CommandFrameBytes frame = {};
    encodeVelocity(forward, turn, frame);
    return Bytes(frame.bytes, frame.bytes + kCommandFrameSize);
}

Bytes odometryFrame(float x, float y, float heading) {
    CommandFrameBytes frame = {};
    encodeOdometry(x, y, heading, frame);
    return Bytes(frame.bytes, frame.bytes + kCommandFrameSize);
}

// A status frame: AA 1A 00, the payload byte `fill` everywhere, sealed.
Bytes statusFrame(std::uint8_t fill) {
    Bytes frame(kStatusFrameSize, fill);
    frame[0] = 0xAA;
    frame[1] = 26;
    frame[2] = 0x00;
    const std::uint16_t crc = velocart_test::referenceCrc16(frame.data() + 1, 27);
    frame[28] = static_cast<std::uint8_t>(crc >> 8);
    frame[29] = static_cast<std::uint8_t>(crc & 0xFF);
    return frame;
}

float floatFromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// What the assembler reported, in stream order; neighbouring discarded runs
// are one item, as nothing came between them.
struct StreamItem {
    enum class Kind { Frame, Discarded };
    Kind kind;
    Bytes bytes;
};

class Collector : public FrameListener {
public:
    explicit Collector(int frameSize) : frameSize_(frameSize) {}
    void onFrame(const std::uint8_t* frame) override {
        items.push_back({StreamItem::Kind::Frame, Bytes(frame, frame + frameSize_)});
    }
    void onDiscard(const std::uint8_t* bytes, std::size_t count) override {
        if (items.empty() || items.back().kind != StreamItem::Kind::Discarded) {
            items.push_back({StreamItem::Kind::Discarded, {}});
        }
        items.back().bytes.insert(items.back().bytes.end(), bytes, bytes + count);
    }
    std::vector<StreamItem> items;

private:
    int frameSize_;
};

struct Parsed {
    std::vector<Bytes> frames;
    Bytes discarded;
};

Parsed parse(FrameAssembler& parser, const Bytes& stream, std::size_t chunk = 0) {
    Collector collector(parser.format().size);
    if (chunk == 0) chunk = stream.size() == 0 ? 1 : stream.size();
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        const std::size_t n = std::min(chunk, stream.size() - at);
        parser.feed(stream.data() + at, n, collector);
    }
    Parsed parsed;
    for (const StreamItem& item : collector.items) {
        if (item.kind == StreamItem::Kind::Frame) {
            parsed.frames.push_back(item.bytes);
        } else {
            parsed.discarded.insert(parsed.discarded.end(), item.bytes.begin(), item.bytes.end());
        }
    }
    return parsed;
}

}  // namespace

TEST(FrameAssembler, WholeFramesComeOutIntactAndCounted) {
    FrameAssembler parser(kCommandFrameFormat);
    const Bytes a = velocityFrame(1.0f, -0.5f);
    const Bytes b = odometryFrame(1.0f, 2.0f, 0.5f);
    const Parsed parsed = parse(parser, concat({a, b}));
    ASSERT_EQ(parsed.frames.size(), 2u);
    EXPECT_EQ(parsed.frames[0], a);
    EXPECT_EQ(parsed.frames[1], b);
    EXPECT_TRUE(parsed.discarded.empty());
    EXPECT_EQ(parser.counters().goodFrames, 2u);
    EXPECT_EQ(parser.counters().badFrames, 0u);
    EXPECT_EQ(parser.counters().discardedBytes, 0u);
    EXPECT_EQ(parser.counters().bytesReceived, 52u);
    EXPECT_EQ(static_cast<std::size_t>(parser.held()), 0u);
}

TEST(FrameAssembler, FrameSplitAtAnyPointIsReassembledInBothFormats) {
    const struct {
        FrameFormat format;
        Bytes frame;
    } cases[] = {{kCommandFrameFormat, velocityFrame(0.25f, 1.5f)},
                 {kStatusFrameFormat, statusFrame(0xAA)}};
    for (const auto& c : cases) {
        for (std::size_t cut = 1; cut < c.frame.size(); ++cut) {
            FrameAssembler parser(c.format);
            Collector collector(c.format.size);
            parser.feed(c.frame.data(), cut, collector);
            EXPECT_TRUE(collector.items.empty()) << "cut " << cut;
            EXPECT_EQ(parser.held(), static_cast<int>(cut));
            EXPECT_EQ(parser.missing(), c.format.size - static_cast<int>(cut));
            parser.feed(c.frame.data() + cut, c.frame.size() - cut, collector);
            ASSERT_EQ(collector.items.size(), 1u) << "cut " << cut;
            EXPECT_EQ(collector.items[0].bytes, c.frame);
            EXPECT_EQ(parser.counters().badFrames, 0u);
            EXPECT_EQ(parser.missing(), c.format.size);
        }
        FrameAssembler bytewise(c.format);
        const Parsed parsed = parse(bytewise, concat({c.frame, c.frame}), 1);
        EXPECT_EQ(parsed.frames.size(), 2u);
        EXPECT_TRUE(parsed.discarded.empty());
    }
}

// Each kind of frame is refused by the other's assembler, and a status
// frame needs its header byte 2 zero even with a matching checksum.
TEST(FrameAssembler, AcceptsOnlyItsOwnFormat) {
    Bytes headerSet = statusFrame(0x01);
    headerSet[2] = 0x01;
    const std::uint16_t crc = velocart_test::referenceCrc16(headerSet.data() + 1, 27);
    headerSet[28] = static_cast<std::uint8_t>(crc >> 8);
    headerSet[29] = static_cast<std::uint8_t>(crc & 0xFF);
    const struct {
        FrameFormat format;
        Bytes stream;
    } cases[] = {{kStatusFrameFormat, velocityFrame(1.0f, 1.0f)},
                 {kCommandFrameFormat, statusFrame(0x01)},
                 {kStatusFrameFormat, headerSet}};
    for (const auto& c : cases) {
        FrameAssembler parser(c.format);
        const Parsed parsed = parse(parser, c.stream);
        EXPECT_TRUE(parsed.frames.empty());
        EXPECT_EQ(parsed.discarded, c.stream);
        EXPECT_EQ(parser.counters().badFrames, 1u);
    }
}

TEST(FrameAssembler, GarbageBeforeAFrameIsDiscardedInOrder) {
    FrameAssembler parser(kCommandFrameFormat);
    // Stray start bytes, one followed by the right length byte.
    const Bytes garbage = {0x00, 0xAA, 0x01, 0x55, 0xAA, 0x16, 0x13, 0xAA};
    const Bytes frame = velocityFrame(1.0f, 0.0f);
    Collector collector(kCommandFrameSize);
    const Bytes stream = concat({garbage, frame, {0x42}});
    parser.feed(stream.data(), stream.size(), collector);
    const std::vector<StreamItem>& items = collector.items;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].kind, StreamItem::Kind::Discarded);
    EXPECT_EQ(items[0].bytes, garbage);
    EXPECT_EQ(items[1].kind, StreamItem::Kind::Frame);
    EXPECT_EQ(items[1].bytes, frame);
    EXPECT_EQ(items[2].kind, StreamItem::Kind::Discarded);
    EXPECT_EQ(parser.counters().goodFrames, 1u);
    EXPECT_EQ(parser.counters().badFrames, 3u);  // the three stray start bytes
    EXPECT_EQ(parser.counters().discardedBytes, garbage.size() + 1);
}

TEST(FrameAssembler, StartByteAtTheEndIsHeldNotDiscarded) {
    FrameAssembler parser(kCommandFrameFormat);
    const Bytes stream = {0x01, 0x02, 0xAA};
    const Parsed parsed = parse(parser, stream);
    EXPECT_EQ(parsed.discarded, (Bytes{0x01, 0x02}));
    EXPECT_EQ(static_cast<std::size_t>(parser.held()), 1u);
    EXPECT_EQ(parser.counters().badFrames, 0u);
}

TEST(FrameAssembler, StartByteInsidePayloadDoesNotBreakFraming) {
    // Odometry x = bits 0x3F16AA00: its bytes 00 AA 16 3F look like a start
    // byte and the length byte; y = 4/3 carries AB AA AA 3F.
    const Bytes tricky = odometryFrame(floatFromBits(0x3F16AA00u), 4.0f / 3.0f, -1.0f);
    const Bytes plain = velocityFrame(0.5f, 0.5f);
    {
        FrameAssembler parser(kCommandFrameFormat);
        const Parsed parsed = parse(parser, concat({tricky, plain, tricky}));
        ASSERT_EQ(parsed.frames.size(), 3u);
        EXPECT_EQ(parsed.frames[0], tricky);
        EXPECT_EQ(parsed.frames[2], tricky);
        EXPECT_EQ(parser.counters().badFrames, 0u);
        EXPECT_TRUE(parsed.discarded.empty());
    }
    {
        // Cut short before its checksum, the frame's payload start byte is
        // tried as a candidate too; the whole frame after it still comes out.
        FrameAssembler parser(kCommandFrameFormat);
        const Bytes cutOff(tricky.begin(), tricky.begin() + 20);
        const Parsed parsed = parse(parser, concat({cutOff, tricky}));
        ASSERT_EQ(parsed.frames.size(), 1u);
        EXPECT_EQ(parsed.frames[0], tricky);
        EXPECT_EQ(parsed.discarded, cutOff);
        EXPECT_GE(parser.counters().badFrames, 2u);
    }
}

TEST(FrameAssembler, AnySingleBitFlipIsRejectedAndTheNextFrameSurvives) {
    const Bytes frame = odometryFrame(0.125f, -3.0f, 2.5f);
    const Bytes next = velocityFrame(-0.75f, 0.125f);
    for (std::size_t bit = 0; bit < frame.size() * 8; ++bit) {
        Bytes broken = frame;
        broken[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        FrameAssembler parser(kCommandFrameFormat);
        const Parsed parsed = parse(parser, concat({broken, next}));
        ASSERT_EQ(parsed.frames.size(), 1u) << "bit " << bit;
        EXPECT_EQ(parsed.frames[0], next) << "bit " << bit;
        EXPECT_EQ(parsed.discarded, broken) << "bit " << bit;
        // A flip in the start byte leaves no candidate to reject.
        if (bit >= 8) {
            EXPECT_GE(parser.counters().badFrames, 1u) << "bit " << bit;
        }
    }
}

TEST(FrameAssembler, WrongLengthByteIsRejectedEvenWithAMatchingChecksum) {
    // Same envelope, but length 26 as in a status frame, sealed for it.
    Bytes frame = velocityFrame(1.0f, 1.0f);
    frame[1] = 23;
    const std::uint16_t crc = velocart_test::referenceCrc16(frame.data() + 1, 24);
    frame.push_back(0);
    frame[24] = 0;
    frame[25] = static_cast<std::uint8_t>(crc >> 8);
    frame[26] = static_cast<std::uint8_t>(crc & 0xFF);
    FrameAssembler parser(kCommandFrameFormat);
    const Parsed parsed = parse(parser, frame);
    EXPECT_TRUE(parsed.frames.empty());
    EXPECT_EQ(parser.counters().badFrames, 1u);
}

TEST(FrameAssembler, EveryFrameSurvivesRandomNoiseAndChunking) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> noiseLength(0, 12);
    std::uniform_int_distribution<std::size_t> chunk(1, 64);
    std::uniform_real_distribution<float> value(-30.0f, 30.0f);

    Bytes stream;
    std::vector<Bytes> sent;
    for (int i = 0; i < 300; ++i) {
        for (int n = noiseLength(random); n > 0; --n) {
            // Start bytes are common in the noise, to make false candidates.
            stream.push_back(byte(random) < 64 ? 0xAA : static_cast<std::uint8_t>(byte(random)));
        }
        sent.push_back(i % 2 ? velocityFrame(value(random), value(random))
                             : odometryFrame(value(random), value(random), value(random)));
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }

    FrameAssembler parser(kCommandFrameFormat);
    Collector collector(kCommandFrameSize);
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min(chunk(random), stream.size() - at);
        parser.feed(stream.data() + at, n, collector);
        at += n;
    }
    std::vector<Bytes> received;
    std::size_t discarded = 0;
    for (const StreamItem& item : collector.items) {
        if (item.kind == StreamItem::Kind::Frame) received.push_back(item.bytes);
        if (item.kind == StreamItem::Kind::Discarded) discarded += item.bytes.size();
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(discarded + sent.size() * kCommandFrameSize + static_cast<std::size_t>(parser.held()),
              stream.size());
    EXPECT_EQ(parser.counters().discardedBytes, discarded);
}

// Frames completed by one delivery learn how many of its bytes came after
// them: the driver stamps each frame back from the read by their line time.
TEST(FrameAssembler, EachFrameKnowsTheBytesOfItsFeedAfterIt) {
    FrameAssembler parser(kStatusFrameFormat);
    struct : FrameListener {
        FrameAssembler* parser = nullptr;
        std::vector<std::size_t> after;
        void onFrame(const std::uint8_t*) override { after.push_back(parser->bytesAfterFrame()); }
    } listener;
    listener.parser = &parser;
    const Bytes c = statusFrame(3);
    const Bytes feed = concat(
        {statusFrame(1), {0x00, 0x11, 0x22}, statusFrame(2), Bytes(c.begin(), c.begin() + 15)});
    parser.feed(feed.data(), feed.size(), listener);
    parser.feed(c.data() + 15, 15, listener);
    EXPECT_EQ(listener.after, (std::vector<std::size_t>{48, 15, 0}));
}
