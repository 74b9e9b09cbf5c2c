// checkStatusFrame and decodeStatus over any receive buffer: any start,
// header and length byte, any checksum. The verdict and every decoded value
// are judged against a plain reading of the frame layout, and the check runs
// a second time on the same bytes placed at the very end of a 257-byte
// allocation, the least the check promises to need, so that a read past
// offset L+1 or past the checksum shows up as a heap overflow.
//
// Input: byte 0 bit 0 asks for the frame to be sealed so that it checks out
// for its length L, whatever L is; the rest is the buffer. A checksum that
// matches by chance is too rare for the fuzzer to reach every L by itself.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "protocol/status_frame.h"
#include "support/reference_crc.h"

namespace {

constexpr std::size_t kBufferSize = 1024;
constexpr std::size_t kLeastBuffer = 257;

bool referenceValid(const std::uint8_t* b) {
    if (b[0] != 0xAA || b[2] != 0x00) return false;
    const std::uint16_t crc = velocart_test::referenceCrc16(b + 1, b[1] + 1u);
    return crc == ((b[28] << 8) | b[29]);
}

double signed16(const std::uint8_t* at, double scale) {
    int value = at[0] | (at[1] << 8);
    if (value >= 0x8000) value -= 0x10000;
    return value * scale;
}

double single(const std::uint8_t* at) {
    const std::uint32_t bits = static_cast<std::uint32_t>(at[0]) | (at[1] << 8) | (at[2] << 16) |
                               (static_cast<std::uint32_t>(at[3]) << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void referenceDecode(const std::uint8_t* b, bool valid, double out[8]) {
    if (!valid) {
        for (int i = 0; i < 8; ++i) out[i] = 0.0;
        return;
    }
    out[0] = 1.0;
    out[1] = single(b + 12);
    out[2] = single(b + 16);
    out[3] = single(b + 20);
    out[4] = signed16(b + 10, 1.0 / 256);
    out[5] = signed16(b + 8, 1.0 / 256);
    out[6] = signed16(b + 26, 1.0 / 4096);
    out[7] = signed16(b + 24, 1.0 / 4096);
}

std::uint16_t coveredCrc(const std::uint8_t* b) {
    return velocart_test::referenceCrc16(b + 1, b[1] + 1u);
}

// Makes the CRC over offsets 1..L+1 equal the value at offsets 28..29. Up to
// L = 26 the checksum is simply written there. From L = 27 on, the covered
// bytes include the checksum itself, so header bytes 3 and 4 (covered for
// any such L, never interpreted) are chosen instead: the CRC is affine in
// those 16 bits and the map is one to one, so a small GF(2) solve finds them.
void seal(std::uint8_t* b) {
    if (b[1] <= 26) {
        const std::uint16_t crc = coveredCrc(b);
        b[28] = static_cast<std::uint8_t>(crc >> 8);
        b[29] = static_cast<std::uint8_t>(crc & 0xFF);
        return;
    }
    b[3] = b[4] = 0;
    const std::uint16_t base = coveredCrc(b);
    // Bit i's share of the CRC depends only on L, so each L's columns are
    // worked out once, on a frame of zeros.
    static std::uint16_t columns[256][16];
    static bool known[256];
    std::uint16_t* column = columns[b[1]];
    if (!known[b[1]]) {
        std::uint8_t probe[kLeastBuffer] = {};
        probe[1] = b[1];
        const std::uint16_t zero = coveredCrc(probe);
        for (int i = 0; i < 16; ++i) {
            probe[3] = static_cast<std::uint8_t>((1u << i) >> 8);
            probe[4] = static_cast<std::uint8_t>((1u << i) & 0xFF);
            column[i] = coveredCrc(probe) ^ zero;
        }
        known[b[1]] = true;
    }
    // Solve XOR of column[i] over the set bits of v == target ^ base, by
    // elimination that tracks which bits of v make up each row.
    const std::uint16_t target = static_cast<std::uint16_t>((b[28] << 8) | b[29]);
    std::uint16_t rowValue[16];
    std::uint32_t rowBits[16];
    int rows = 0;
    for (int i = 0; i < 16; ++i) {
        std::uint16_t value = column[i];
        std::uint32_t bits = 1u << i;
        for (int r = 0; r < rows; ++r) {
            if ((value ^ rowValue[r]) < value) {
                value ^= rowValue[r];
                bits ^= rowBits[r];
            }
        }
        if (value == 0) continue;
        rowValue[rows] = value;
        rowBits[rows] = bits;
        ++rows;
        // Keep rows ordered by leading bit, highest first.
        for (int r = rows - 1; r > 0 && rowValue[r] > rowValue[r - 1]; --r) {
            std::swap(rowValue[r], rowValue[r - 1]);
            std::swap(rowBits[r], rowBits[r - 1]);
        }
    }
    std::uint16_t want = target ^ base;
    std::uint32_t v = 0;
    for (int r = 0; r < rows; ++r) {
        if ((want ^ rowValue[r]) < want) {
            want ^= rowValue[r];
            v ^= rowBits[r];
        }
    }
    b[3] = static_cast<std::uint8_t>(v >> 8);
    b[4] = static_cast<std::uint8_t>(v & 0xFF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool sealed = data[0] & 1u;
    ++data;
    --size;
    // The receive buffer as a read leaves it: the input from offset 0, the
    // rest still zero as at load.
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kBufferSize]());
    std::memcpy(buffer.get(), data, size < kBufferSize ? size : kBufferSize);
    if (sealed) {
        seal(buffer.get());
        // Start and header bytes may still rule it out; the CRC must not.
        if (coveredCrc(buffer.get()) != ((buffer[28] << 8) | buffer[29])) std::abort();
    }

    const bool valid = velocart::checkStatusFrame(buffer.get());
    if (valid != referenceValid(buffer.get())) std::abort();

    // Elements are compared bit for bit: -0.0 and 0.0, and NaN payloads,
    // must come through unchanged.
    double decoded[velocart::kStatusVectorSize];
    double expected[velocart::kStatusVectorSize];
    std::memset(decoded, 0x5A, sizeof decoded);
    velocart::decodeStatus(buffer.get(), valid, decoded);
    referenceDecode(buffer.get(), valid, expected);
    if (std::memcmp(decoded, expected, sizeof decoded) != 0) std::abort();

    std::unique_ptr<std::uint8_t[]> least(new std::uint8_t[kLeastBuffer]);
    std::memcpy(least.get(), buffer.get(), kLeastBuffer);
    if (velocart::checkStatusFrame(least.get()) != valid) std::abort();
    return 0;
}
