// The driver allocates nothing of its own: the encoders, the status check
// and decoding, and the serial calls on a real pty run with a counter on
// every heap allocation of the process, and it must stay at zero.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "hardening/allocation_counter.h"
#include "hardening/fake_host.h"
#include "protocol/command_frame.h"
#include "protocol/frame_crc16.h"
#include "protocol/status_frame.h"
#include "serial/port_list.h"
#include "serial/serial_link.h"
#include "support/reference_crc.h"

using namespace velocart;
using velocart_test::AllocationScope;

namespace {

// Keeps the compiler from dropping an allocation it can see is unused.
void* volatile escaped = nullptr;

constexpr float kAwkward[] = {0.0f,
                              -0.0f,
                              1.0f,
                              -0.5f,
                              30.0f,
                              -30.0f,
                              40.0f,
                              -1e30f,
                              0.0039f,
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::denorm_min(),
                              std::numeric_limits<float>::max()};

std::uint8_t statusFrame[1024];

void sealStatusFrame(std::uint8_t* frame) {
    const std::uint16_t crc = velocart_test::referenceCrc16(frame + 1, frame[1] + 1u);
    frame[28] = static_cast<std::uint8_t>(crc >> 8);
    frame[29] = static_cast<std::uint8_t>(crc & 0xFF);
}

// The test's end of the cable: a pty master, its slave opened by the driver.
class PtyCable {
public:
    PtyCable() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name != nullptr) slave_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyCable() {
        if (master_ >= 0) close(master_);
    }
    const char* slave() const { return slave_.c_str(); }
    bool ready() const { return master_ >= 0 && !slave_.empty(); }

    // Everything the driver has written so far (waits briefly for it).
    long drain() {
        long total = 0;
        std::uint8_t sink[4096];
        for (int idle = 0; idle < 50;) {
            const ssize_t n = read(master_, sink, sizeof sink);
            if (n > 0) {
                total += n;
                idle = 0;
            } else {
                ++idle;
                usleep(1000);
            }
        }
        return total;
    }
    bool send(const std::uint8_t* bytes, std::size_t count) {
        return write(master_, bytes, count) == static_cast<ssize_t>(count);
    }

private:
    int master_ = -1;
    std::string slave_;
};

}  // namespace

// Without this, every other test here could pass with a counter that
// never counts.
TEST(AllocationCounter, SeesOperatorNewMallocAndCalloc) {
    AllocationScope scope;
    int* fromNew = new int(7);
    escaped = fromNew;
    void* fromMalloc = std::malloc(64);
    escaped = fromMalloc;
    void* fromCalloc = std::calloc(4, 16);
    escaped = fromCalloc;
    const long seen = scope.count();
    delete fromNew;
    std::free(fromMalloc);
    std::free(fromCalloc);
    EXPECT_GE(seen, 3);
}

TEST(NoAllocation, EncodersChecksumAndStatusFrame) {
    std::memset(statusFrame, 0, sizeof statusFrame);
    const std::uint8_t head[] = {0xAA, 0x1A, 0x00};
    std::memcpy(statusFrame, head, sizeof head);
    sealStatusFrame(statusFrame);
    CommandFrameBytes own = {};
    double vector[kStatusVectorSize];
    int valid = 0;

    long seen;
    {
        AllocationScope scope;
        for (float a : kAwkward) {
            for (float b : kAwkward) {
                encodeVelocity(a, b, own);
                encodeOdometry(b, a, b, own);
                encodeFreeWheels(own);
                (void)velocityToFixed(a);
            }
        }
        (void)frameCrc16(own.bytes + 1, 23);
        for (int length : {0, 3, 26, 255}) {
            statusFrame[1] = static_cast<std::uint8_t>(length);
            const bool ok = checkStatusFrame(statusFrame);
            decodeStatus(statusFrame, ok, vector);
            valid += ok;
        }
        seen = scope.count();
    }
    EXPECT_EQ(seen, 0);
    // Both paths of the decoding ran: the frame is sealed for L = 26 only.
    EXPECT_EQ(valid, 1);
}

// The serial calls the gateway makes, on a real device: open, writes while
// open and while closed, reads with and without bytes waiting, refused
// opens, the port list and who holds a port, and close.
TEST(NoAllocation, SerialCallsOnAPty) {
    PtyCable cable;
    ASSERT_TRUE(cable.ready());
    static SerialLinkState port;
    static CommandFrameBytes frame;
    std::uint8_t reply[30] = {0xAA, 0x1A, 0x00};
    sealStatusFrame(reply);

    static PortInfo ports[kMostPorts];
    const char* devices[] = {cable.slave(), "/dev/null"};
    PortHolder holders[2];
    char access[256];
    int opened, reopened, refusedPath, refusedNumber;
    bool allWritten = true;
    bool replyRead = false;
    long seenOpen, seenClosed;
    {
        AllocationScope scope;
        opened = openPortByName(port, cable.slave(), kLineBaudRate);
        reopened = openPortByName(port, cable.slave(), kLineBaudRate);
        refusedPath = openPortByName(port, "/nonexistent/velocart/port", kLineBaudRate);
        refusedNumber = openPort(port, kLastPortNumber + 1, kLineBaudRate);
        for (int i = 0; i < 20; ++i) {
            encodeVelocity(0.25f * static_cast<float>(i), -1.0f, frame);
            allWritten = writeFrame(port, frame.bytes, kCommandFrameSize) && allWritten;
            readAvailable(port);
        }
        cable.send(reply, sizeof reply);
        for (int tries = 0; tries < 200 && !replyRead; ++tries) {
            readAvailable(port);
            replyRead = checkStatusFrame(port.receiveBuffer);
            if (!replyRead) usleep(1000);
        }
        listPorts(ports, kMostPorts);
        findHolders(devices, 2, holders);
        accessProblem(cable.slave(), access, sizeof access);
        seenOpen = scope.count();
    }
    const long received = cable.drain();
    {
        AllocationScope scope;
        closePort(port);
        encodeFreeWheels(frame);
        writeFrame(port, frame.bytes, kCommandFrameSize);
        readAvailable(port);
        closePort(port);
        seenClosed = scope.count();
    }
    EXPECT_EQ(seenOpen, 0);
    EXPECT_EQ(seenClosed, 0);
    // The calls did their real work, so the zero above is about real I/O.
    EXPECT_EQ(opened, kPortOpen);
    EXPECT_EQ(reopened, kPortOpen);
    EXPECT_EQ(refusedPath, kPortUnavailable);
    EXPECT_EQ(refusedNumber, kPortUnavailable);
    EXPECT_TRUE(allWritten);
    EXPECT_TRUE(replyRead);
    EXPECT_EQ(received, 20 * kCommandFrameSize);
    EXPECT_TRUE(holders[0].found && holders[0].thisProcess);
}

// The gateway on top, through a host that allocates nothing itself: no call
// path allocates, and every text the host hands out is released before the
// call returns (Octave never releases it otherwise).
TEST(NoAllocation, GatewayCallsAndTheHostTextsTheyRelease) {
    PtyCable cable;
    ASSERT_TRUE(cable.ready());
    const double velocity[] = {1.0, -0.5};
    const double odometry[] = {1.0, 2.0, 0.5};
    const double zero[] = {0.0};
    const double waitBriefly[] = {0.01};
    const struct {
        const char* command;
        const char* text;  // a text second argument, or
        const double* numbers;
        int count;
    } calls[] = {
        {"open", cable.slave(), nullptr, 0},
        {"open", "/nonexistent/velocart/port", nullptr, 0},
        {"open", nullptr, zero, 1},
        {"sendVelocity", nullptr, velocity, 2},
        {"sendVelocity", nullptr, velocity, 1},
        {"setOdometry", nullptr, odometry, 3},
        {"setFreeWheels", nullptr, nullptr, 0},
        {"read", nullptr, nullptr, 0},
        {"readLatest", nullptr, nullptr, 0},
        {"readLatest", nullptr, waitBriefly, 1},
        {"readAll", nullptr, waitBriefly, 1},
        {"linkOf", cable.slave(), nullptr, 0},
        {"linkOf", "usb:0403:6001", nullptr, 0},
        {"open", "usb:0403:6001:NONE", nullptr, 0},
        {"ports", nullptr, nullptr, 0},
        {"links", nullptr, nullptr, 0},
        {"version", nullptr, nullptr, 0},
        {"Open", nullptr, nullptr, 0},
        {"close", nullptr, nullptr, 0},
    };
    for (const auto& call : calls) {
        velocart_test::fakeReset();
        const mxArray* prhs[2] = {velocart_test::fakeText(call.command), nullptr};
        int nrhs = 1;
        if (call.text != nullptr) prhs[nrhs++] = velocart_test::fakeText(call.text);
        if (call.numbers != nullptr) {
            prhs[nrhs++] = velocart_test::fakeNumbers(call.numbers, call.count);
        }
        mxArray* plhs[1] = {nullptr};
        long seen;
        {
            AllocationScope scope;
            mexFunction(1, plhs, nrhs, prhs);
            seen = scope.count();
        }
        EXPECT_EQ(seen, 0) << call.command;
        EXPECT_EQ(velocart_test::fakeTextsOutstanding(), 0) << call.command;
        velocart_test::fakeEndCall();
    }
    EXPECT_NE(std::strstr(velocart_test::fakePrinted(), "unknown command 'Open'"), nullptr);
    EXPECT_GT(cable.drain(), 0) << velocart_test::fakePrinted();
}

// A link number is checked as a double before it becomes an int: a value no
// int holds must be refused, not converted (undefined; UBSan stops there).
TEST(GatewayInput, LinkNumbersNoIntHoldsAreRefused) {
    const double huge[] = {1e10, -1e10, std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN(), 9.3e18};
    for (double number : huge) {
        velocart_test::fakeReset();
        const mxArray* prhs[2] = {velocart_test::fakeNumbers(&number, 1),
                                  velocart_test::fakeText("readLatest")};
        mxArray* plhs[1] = {nullptr};
        mexFunction(1, plhs, 2, prhs);
        velocart_test::fakeEndCall();
    }
    const char* printed = velocart_test::fakePrinted();
    int refusals = 0;
    for (const char* at = printed; (at = std::strstr(at, "needs a link number")) != nullptr; ++at) {
        ++refusals;
    }
    EXPECT_EQ(refusals, 5) << printed;
}

// The module's thread beside the caller on one link: it reads the link in
// the background and logs what it takes in, and its watchdog stops the
// robot while the caller waits; the next call tells of it. The gateway's
// share of the thread, for ThreadSanitizer.
TEST(GatewayThread, TheThreadReadsLogsAndStopsWhileTheCallerWaits) {
    PtyCable cable;
    ASSERT_TRUE(cable.ready());
    char log[64];
    std::snprintf(log, sizeof log, "/tmp/velocart-thread-%d.csv", static_cast<int>(getpid()));
    const double on[] = {1.0};
    const double seconds[] = {0.05};
    const double velocity[] = {0.5, 0.0};
    const double wait[] = {0.15};
    const struct {
        const char* command;
        const char* text;
        const double* numbers;
        bool reply;  // the robot's status frame arrives first
    } calls[] = {
        {"open", cable.slave(), nullptr, false},
        {"background", nullptr, on, false},
        {"log", log, nullptr, false},
        {"watchdog", nullptr, seconds, false},
        {"sendVelocity", nullptr, velocity, false},
        {"readLatest", nullptr, wait, true},
        {"readLatest", nullptr, wait, false},
        {"log", "", nullptr, false},
        {"close", nullptr, nullptr, false},
    };
    std::uint8_t reply[30] = {0xAA, 0x1A, 0x00};
    sealStatusFrame(reply);
    for (const auto& call : calls) {
        if (call.reply) cable.send(reply, sizeof reply);
        velocart_test::fakeReset();
        const mxArray* prhs[2] = {velocart_test::fakeText(call.command), nullptr};
        if (call.text != nullptr) prhs[1] = velocart_test::fakeText(call.text);
        if (call.numbers != nullptr) {
            prhs[1] = velocart_test::fakeNumbers(
                call.numbers, std::strcmp(call.command, "sendVelocity") == 0 ? 2 : 1);
        }
        mxArray* plhs[1] = {nullptr};
        mexFunction(1, plhs, prhs[1] != nullptr ? 2 : 1, prhs);
        velocart_test::fakeEndCall();
    }
    EXPECT_NE(std::strstr(velocart_test::fakePrinted(), "the watchdog told the robot to stop"),
              nullptr)
        << velocart_test::fakePrinted();
    // The velocity, the watchdog's zero velocity and free wheels.
    EXPECT_EQ(cable.drain(), 3 * kCommandFrameSize);
    // The header, the reply, and the three frames sent.
    char text[1024] = {};
    const int fd = open(log, O_RDONLY);
    ASSERT_GE(fd, 0);
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    unlink(log);
    int lines = 0;
    for (ssize_t i = 0; i < length; ++i) lines += text[i] == '\n';
    EXPECT_EQ(lines, 5) << text;
}
