#include "sim/wire.h"

#include <gtest/gtest.h>

#include <vector>

using namespace velocart::sim;

namespace {

constexpr Nanos kMs = kNanosPerMs;
// The times in the table count from the origin, which is anything but zero.
constexpr Nanos kOrigin = 7000 * kMs + 123;

struct Send {
    Nanos ready;
    int count;
};

// By `time`, exactly `handedOver` bytes have been handed over.
struct Check {
    Nanos time;
    std::int64_t handedOver;
};

struct WireCase {
    const char* name;
    Nanos chunk;
    int latencyTimerMs;
    std::vector<Send> sends;
    std::vector<Check> checks;  // in time order; the last at the final hand-over
};

// A byte crosses 781250/9 ns (about 86.8 us) after the one before it; the
// times below are those multiples, rounded up.
const WireCase kWireCases[] = {
    {"each byte as it crosses",
     0,
     0,
     {{0, 30}},
     {{86805, 0}, {86806, 1}, {2604166, 29}, {2604167, 30}}},
    {"no drift: 1152 bytes take exactly 100 ms",
     0,
     0,
     {{0, 1152}},
     {{99999999, 1151}, {100000000, 1152}}},
    {"frames queue back to back", 0, 0, {{0, 30}, {0, 30}}, {{5208333, 59}, {5208334, 60}}},
    {"a pause leaves the line idle",
     0,
     0,
     {{0, 15}, {10 * kMs, 15}},
     {{1302084, 15}, {10086805, 15}, {10086806, 16}, {11302084, 30}}},
    {"chunks on a 1 ms grid",
     kMs,
     0,
     {{300000, 30}},
     {{999999, 0}, {kMs, 8}, {1999999, 8}, {2 * kMs, 19}, {2999999, 19}, {3 * kMs, 30}}},
    {"the grid does not move with the reply",
     kMs,
     0,
     {{1900000, 30}},
     {{1999999, 0}, {2 * kMs, 1}, {3 * kMs, 12}, {4 * kMs, 24}, {4999999, 24}, {5 * kMs, 30}}},
    {"latency timer: held until it expires", 0, 16, {{0, 30}}, {{15999999, 0}, {16 * kMs, 30}}},
    {"latency timer: a full packet goes at once and restarts the timer",
     0,
     16,
     {{0, 100}},
     {{5381944, 0}, {5381945, 62}, {21381944, 62}, {21381945, 100}}},
    {"latency timer: packets still wait for the grid",
     kMs,
     16,
     {{0, 100}},
     {{5999999, 0}, {6 * kMs, 62}, {21999999, 62}, {22 * kMs, 100}}},
    {"latency timer: expiries count from the origin",
     0,
     2,
     {{500000, 30}},
     {{1999999, 0}, {2 * kMs, 17}, {3999999, 17}, {4 * kMs, 30}}},
};

}  // namespace

TEST(Wire, HandsBytesOverWhenTheLineAndTheAdapterLetThem) {
    for (const WireCase& c : kWireCases) {
        SCOPED_TRACE(c.name);
        Wire wire({c.chunk, c.latencyTimerMs}, kOrigin);
        std::vector<std::uint8_t> sent;
        for (const Send& s : c.sends) {
            std::vector<std::uint8_t> bytes;
            for (int i = 0; i < s.count; ++i)
                bytes.push_back(static_cast<std::uint8_t>(sent.size() + i));
            sent.insert(sent.end(), bytes.begin(), bytes.end());
            wire.send(kOrigin + s.ready, bytes);
        }
        EXPECT_EQ(wire.drainedAt(), kOrigin + c.checks.back().time);

        std::vector<std::uint8_t> out;
        for (std::size_t i = 0; i < c.checks.size(); ++i) {
            const Check& check = c.checks[i];
            wire.takeDue(kOrigin + check.time, out);
            EXPECT_EQ(wire.bytesHandedOver(), check.handedOver) << "by " << check.time;
            // The loop wakes for the next hand-over: after now, and no later
            // than the next check that sees more bytes.
            for (std::size_t j = i + 1; j < c.checks.size(); ++j) {
                if (c.checks[j].handedOver == check.handedOver) continue;
                EXPECT_GT(wire.nextHandover(), kOrigin + check.time);
                EXPECT_LE(wire.nextHandover(), kOrigin + c.checks[j].time);
                break;
            }
        }
        EXPECT_EQ(out, sent);
        EXPECT_EQ(wire.nextHandover(), kNever);
    }
}
