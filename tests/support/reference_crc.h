// A bitwise CRC-16/CMS written straight from the catalogue parameters
// (poly 0x8005, init 0xFFFF, no reflection, no final XOR). It shares nothing
// with the table-driven code, so tests can judge that code by it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velocart_test {

inline std::uint16_t referenceCrc16(const std::uint8_t* data, std::size_t count) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x8005)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

}  // namespace velocart_test
