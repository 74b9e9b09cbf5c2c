#include "sim/sim_options.h"

#include <gtest/gtest.h>

#include <vector>

using namespace velocart::sim;

namespace {

bool parse(std::vector<const char*> args, SimOptions& options, std::string& error) {
    args.insert(args.begin(), "velocart-sim");
    return parseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

}  // namespace

TEST(SimOptions, ReadsEveryOption) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--link", "/tmp/l", "--log", "a.log", "--stats", "s", "--stream", "50",
                       "--fault-crc", "3", "--fault-garbage", "4", "--fault-split", "25",
                       "--fault-silent-after", "0", "--fault-hangup-after", "7"},
                      o, error))
        << error;
    EXPECT_EQ(o.link, "/tmp/l");
    EXPECT_EQ(o.logPath, "a.log");
    EXPECT_EQ(o.statsPath, "s");
    EXPECT_EQ(o.streamHz, 50.0);
    EXPECT_EQ(o.faults.crcEvery, 3u);
    EXPECT_EQ(o.faults.garbageEvery, 4u);
    EXPECT_EQ(o.faults.splitPauseMs, 25);
    EXPECT_EQ(o.faults.silentAfter, 0);
    EXPECT_EQ(o.faults.hangupAfter, 7);
    EXPECT_FALSE(o.wire);
    EXPECT_FALSE(o.help);

    SimOptions w;
    ASSERT_TRUE(
        parse({"--link", "l", "--wire", "--chunk-ms", "0.125", "--latency-timer", "16"}, w, error))
        << error;
    EXPECT_TRUE(w.wire);
    EXPECT_EQ(w.wireOptions.chunk, 125000);
    EXPECT_EQ(w.wireOptions.latencyTimerMs, 16);
    SimOptions plain;
    ASSERT_TRUE(parse({"--link", "l", "--wire"}, plain, error)) << error;
    EXPECT_EQ(plain.wireOptions.chunk, 1000000) << "--chunk-ms defaults to 1";
    EXPECT_EQ(plain.wireOptions.latencyTimerMs, 0);
}

TEST(SimOptions, RefusesWhatItCannotUse) {
    const std::vector<std::vector<const char*>> refused = {
        {},                                     // no link
        {"--link", ""},                         // empty link
        {"--link", "l", "--fault-crc", "0"},    // every 0th frame
        {"--link", "l", "--fault-crc", "-2"},   // negative
        {"--link", "l", "--fault-crc", "3x"},   // trailing text
        {"--link", "l", "--fault-split", "0"},  // no pause
        {"--link", "l", "--fault-silent-after", "-1"},
        {"--link", "l", "--stream", "0"},     // no rate
        {"--link", "l", "--stream", "nan"},   //
        {"--link", "l", "--stream", "5000"},  // faster than the line
        {"--link", "l", "--bogus", "1"},      // unknown
        {"--link", "l", "--fault-crc"},       // value missing
        {"--link", "l", "--wire", "--chunk-ms", "-1"},
        {"--link", "l", "--wire", "--chunk-ms", "1001"},
        {"--link", "l", "--wire", "--chunk-ms", "inf"},
        {"--link", "l", "--wire", "--latency-timer", "0"},
        {"--link", "l", "--wire", "--latency-timer", "256"},
        {"--link", "l", "--wire", "--latency-timer", "2.5"},
        {"--link", "l", "--chunk-ms", "1"},        // without --wire
        {"--link", "l", "--latency-timer", "16"},  //
    };
    for (const auto& args : refused) {
        SimOptions o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << (args.empty() ? "(none)" : args.back());
        EXPECT_FALSE(error.empty());
    }
}

TEST(SimOptions, HelpNeedsNoLinkAndNamesEveryOption) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--help"}, o, error));
    EXPECT_TRUE(o.help);
    const std::string text = usageText();
    for (const char* name :
         {"--link", "--stream", "--wire", "--chunk-ms", "--latency-timer", "--log", "--stats",
          "--fault-crc", "--fault-garbage", "--fault-split", "--fault-silent-after",
          "--fault-hangup-after", "--help", "m/s", "rad/s"}) {
        EXPECT_NE(text.find(name), std::string::npos) << name;
    }
}

TEST(SimOptions, SaysWhenTheStreamIsFasterThanTheLine) {
    SimOptions o;
    o.streamHz = 384.0;  // 30-byte frames back to back at 115200 baud
    EXPECT_EQ(streamNote(o), "");
    o.streamHz = 385.0;
    EXPECT_NE(streamNote(o).find("at most 384 go out"), std::string::npos) << streamNote(o);
}
