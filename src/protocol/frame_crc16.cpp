#include "protocol/frame_crc16.h"

namespace velocart {

static_assert(kCrcTable.entry[0] == 0x0000 && kCrcTable.entry[1] == 0x8005 &&
                  kCrcTable.entry[2] == 0x800F && kCrcTable.entry[3] == 0x000A,
              "CRC table does not start as CRC-16/CMS requires");

std::uint16_t frameCrc16(const std::uint8_t* bytes, std::size_t count) {
    // Bits shifted above the low 16 never flow back down, so the register is
    // cut to 16 bits once at the end rather than after every byte.
    std::uint32_t crc = kCrcInitial;
    for (std::size_t i = 0; i < count; ++i) {
        crc = (crc << 8) ^ kCrcTable.entry[((crc >> 8) ^ bytes[i]) & 0xFFu];
    }
    return static_cast<std::uint16_t>(crc);
}

}  // namespace velocart
