// The core's cost per operation: the checksum over a command frame's covered
// bytes, each encoder, and the check plus decoding of a status frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "protocol/command_frame.h"
#include "protocol/frame_crc16.h"
#include "protocol/status_frame.h"

using namespace velocart;

namespace {

constexpr std::uint8_t kStatusFrame[30] = {
    0xAA, 0x1A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0xFF, 0x00, 0x01, 0x00, 0x00, 0x80,
    0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x08, 0x00, 0xF0, 0x9D, 0x7A};

// Inputs cycle through a small table so the compiler cannot fold a call
// into a constant, and clamped, in-range and NaN values all take their turn.
constexpr float kVelocities[8] = {1.0f, -0.5f, 40.0f, -0.001f, 29.99f, -31.0f, 0.25f, -7.5f};

void BM_FrameCrc16_23Bytes(benchmark::State& state) {
    CommandFrameBytes frame = {};
    encodeVelocity(1.0f, -0.5f, frame);
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame.bytes);
        benchmark::DoNotOptimize(frameCrc16(frame.bytes + 1, 23));
    }
}
BENCHMARK(BM_FrameCrc16_23Bytes);

void BM_EncodeVelocity(benchmark::State& state) {
    CommandFrameBytes frame = {};
    unsigned i = 0;
    for (auto _ : state) {
        encodeVelocity(kVelocities[i & 7u], kVelocities[(i + 3) & 7u], frame);
        benchmark::DoNotOptimize(frame.bytes);
        ++i;
    }
}
BENCHMARK(BM_EncodeVelocity);

void BM_EncodeOdometry(benchmark::State& state) {
    CommandFrameBytes frame = {};
    unsigned i = 0;
    for (auto _ : state) {
        encodeOdometry(kVelocities[i & 7u], kVelocities[(i + 1) & 7u], kVelocities[(i + 2) & 7u],
                       frame);
        benchmark::DoNotOptimize(frame.bytes);
        ++i;
    }
}
BENCHMARK(BM_EncodeOdometry);

void BM_EncodeFreeWheels(benchmark::State& state) {
    CommandFrameBytes frame = {};
    for (auto _ : state) {
        encodeFreeWheels(frame);
        benchmark::DoNotOptimize(frame.bytes);
    }
}
BENCHMARK(BM_EncodeFreeWheels);

// A valid frame is the dearer case: the checksum runs and all eight
// elements are decoded.
void BM_CheckAndDecodeStatus(benchmark::State& state) {
    static std::uint8_t buffer[1024] = {};
    std::memcpy(buffer, kStatusFrame, sizeof kStatusFrame);
    double vector[kStatusVectorSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(buffer);
        decodeStatus(buffer, checkStatusFrame(buffer), vector);
        benchmark::DoNotOptimize(vector);
    }
}
BENCHMARK(BM_CheckAndDecodeStatus);

}  // namespace

BENCHMARK_MAIN();
