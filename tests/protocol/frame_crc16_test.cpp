#include "protocol/frame_crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/reference_crc.h"

using velocart::frameCrc16;
using velocart::kCrcTable;

TEST(FrameCrc16, CatalogueCheckValueOverDigitsOneToNine) {
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(frameCrc16(digits, sizeof digits), 0xAEE7);
}

TEST(FrameCrc16, TableStartsWithTheCatalogueEntries) {
    EXPECT_EQ(kCrcTable.entry[0], 0x0000);
    EXPECT_EQ(kCrcTable.entry[1], 0x8005);
    EXPECT_EQ(kCrcTable.entry[2], 0x800F);
    EXPECT_EQ(kCrcTable.entry[3], 0x000A);
}

TEST(FrameCrc16, EmptyInputLeavesTheInitialValue) { EXPECT_EQ(frameCrc16(nullptr, 0), 0xFFFF); }

TEST(FrameCrc16, AgreesWithBitwiseReferenceOnRandomInputsOfEveryLength) {
    std::mt19937 rng(12345);
    std::vector<std::uint8_t> data(300);
    for (std::size_t length = 0; length <= data.size(); ++length) {
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(frameCrc16(data.data(), length),
                  velocart_test::referenceCrc16(data.data(), length))
            << "length " << length;
    }
}
