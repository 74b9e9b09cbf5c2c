// CRC-16/CMS, the checksum that seals every frame on the robot link.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velocart {

// Width 16, polynomial 0x8005, initial value 0xFFFF, not reflected, no final
// XOR. Check value over "123456789" is 0xAEE7.
constexpr std::uint16_t kCrcPolynomial = 0x8005;
constexpr std::uint16_t kCrcInitial = 0xFFFF;

// Entry i is the register after shifting byte i through the polynomial,
// most significant bit first. Built by the compiler, not pasted in.
struct CrcTable {
    std::uint16_t entry[256];
};

constexpr CrcTable makeCrcTable() {
    CrcTable table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000u) ? (reg << 1) ^ kCrcPolynomial : reg << 1;
        }
        table.entry[i] = static_cast<std::uint16_t>(reg & 0xFFFFu);
    }
    return table;
}

// Not `inline`: an inline variable becomes a unique symbol that keeps the
// module from ever being unloaded, and a cleared module must start afresh.
constexpr CrcTable kCrcTable = makeCrcTable();

// One table lookup, one shift and one XOR per byte.
std::uint16_t frameCrc16(const std::uint8_t* bytes, std::size_t count);

}  // namespace velocart
