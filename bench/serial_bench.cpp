// What the kernel charges for the serial calls: writeFrame of a command
// frame into a pty whose far end a second thread drains, and readAvailable
// when nothing has arrived (the common case for "read"). These put the host
// call figures in context; a real serial driver costs a system call too.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "protocol/command_frame.h"
#include "serial/serial_link.h"

using namespace velocart;

namespace {

// The link under measurement, static as the module's are.
SerialLinkState Port;

// A pty master read by a background thread, like the test peer process.
class DrainedPty {
public:
    DrainedPty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name == nullptr) return;
        opened_ = openPortByName(Port, name, kLineBaudRate) == kPortOpen;
        drainer_ = std::thread([this] { drain(); });
    }
    ~DrainedPty() {
        closePort(Port);
        stop_ = true;
        if (drainer_.joinable()) drainer_.join();
        if (master_ >= 0) close(master_);
    }
    bool opened() const { return opened_; }

private:
    void drain() {
        std::uint8_t sink[4096];
        while (!stop_) {
            pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                if (read(master_, sink, sizeof sink) < 0) usleep(1000);
            }
        }
    }

    int master_ = -1;
    bool opened_ = false;
    std::atomic<bool> stop_{false};
    std::thread drainer_;
};

void BM_WriteFrameToPty(benchmark::State& state) {
    DrainedPty pty;
    if (!pty.opened()) {
        state.SkipWithError("no pty");
        return;
    }
    CommandFrameBytes frame = {};
    encodeVelocity(0.2f, 0.5f, frame);
    bool all = true;
    for (auto _ : state) all = writeFrame(Port, frame.bytes, kCommandFrameSize) && all;
    if (!all) state.SkipWithError("a write failed");
}
BENCHMARK(BM_WriteFrameToPty)->UseRealTime();

void BM_ReadAvailableNothingWaiting(benchmark::State& state) {
    DrainedPty pty;
    if (!pty.opened()) {
        state.SkipWithError("no pty");
        return;
    }
    for (auto _ : state) {
        readAvailable(Port);
        benchmark::DoNotOptimize(Port.receiveBuffer);
    }
}
BENCHMARK(BM_ReadAvailableNothingWaiting)->UseRealTime();

}  // namespace
