// The three encoders over any float bit patterns, in any order, against a
// model of the frame written straight from the layout: header, command
// code, clamped 8.8 velocities (component 2 first), raw odometry singles,
// fields kept from earlier commands, and a big-endian CRC over offsets 1..23
// from the bitwise reference.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/command_frame.h"
#include "support/reference_crc.h"

namespace {

float floatFromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Clamp to [-30, 30], scale by 256, truncate toward zero; NaN gives 0.
// Done in double, where the scaling of any single is exact.
std::int16_t referenceFixed(float velocity) {
    if (std::isnan(velocity)) return 0;
    double value = velocity;
    if (value > 30.0) value = 30.0;
    if (value < -30.0) value = -30.0;
    return static_cast<std::int16_t>(std::trunc(value * 256.0));
}

struct ModelFrame {
    std::uint8_t bytes[26] = {};

    void header(std::uint8_t code) {
        const std::uint8_t head[8] = {0xAA, 0x16, 0x00, 0x03, 0x00, 0x01, code, 0x00};
        std::memcpy(bytes, head, sizeof head);
    }
    void velocity(int offset, std::int16_t value) {
        const auto raw = static_cast<std::uint16_t>(value);
        bytes[offset] = static_cast<std::uint8_t>(raw & 0xFF);
        bytes[offset + 1] = static_cast<std::uint8_t>(raw >> 8);
    }
    void single(int offset, std::uint32_t bits) {
        for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    void seal() {
        const std::uint16_t crc = velocart_test::referenceCrc16(bytes + 1, 23);
        bytes[24] = static_cast<std::uint8_t>(crc >> 8);
        bytes[25] = static_cast<std::uint8_t>(crc & 0xFF);
    }
};

std::uint32_t takeBits(const std::uint8_t*& data, std::size_t& size) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4 && size > 0; ++i, ++data, --size) bits |= std::uint32_t{*data} << (8 * i);
    return bits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velocart::CommandFrameBytes frame = {};
    ModelFrame model;
    while (size > 0) {
        const std::uint8_t op = *data++;
        --size;
        switch (op % 3) {
            case 0: {
                const std::uint32_t v1 = takeBits(data, size);
                const std::uint32_t v2 = takeBits(data, size);
                const float f1 = floatFromBits(v1), f2 = floatFromBits(v2);
                if (velocart::velocityToFixed(f1) != referenceFixed(f1)) std::abort();
                velocart::encodeVelocity(f1, f2, frame);
                model.header(3);
                model.velocity(8, referenceFixed(f2));
                model.velocity(10, referenceFixed(f1));
                break;
            }
            case 1: {
                const std::uint32_t o1 = takeBits(data, size);
                const std::uint32_t o2 = takeBits(data, size);
                const std::uint32_t o3 = takeBits(data, size);
                velocart::encodeOdometry(floatFromBits(o1), floatFromBits(o2), floatFromBits(o3),
                                         frame);
                model.header(7);
                model.single(12, o1);
                model.single(16, o2);
                model.single(20, o3);
                break;
            }
            default:
                velocart::encodeFreeWheels(frame);
                model.header(0);
                model.velocity(8, 0);
                model.velocity(10, 0);
                break;
        }
        model.seal();
        if (std::memcmp(frame.bytes, model.bytes, sizeof model.bytes) != 0) std::abort();
    }
    return 0;
}
