// SerialLink against real pseudo-terminals: the test holds the master side,
// the driver opens the slave side as it would a USB serial adapter.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_list.h"
#include "serial/serial_link.h"

using namespace velocart;
using Clock = std::chrono::steady_clock;

namespace {

// The link under test, as the module holds one: static, Closed at start.
SerialLinkState testLink;

// Opens and writes as the gateway does: on testLink, at the line's rate.
int openLink(const char* path) { return openPortByName(testLink, path, kLineBaudRate); }
int openLink(const std::string& path) { return openLink(path.c_str()); }
bool writeLink(const std::vector<std::uint8_t>& bytes) {
    return writeFrame(testLink, bytes.data(), static_cast<int>(bytes.size()));
}

int openFdCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

struct Pty {
    int master = -1;
    std::string slave;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
    }
    ~Pty() { hangUp(); }

    void hangUp() {
        if (master >= 0) close(master);
        master = -1;
    }

    void send(const std::vector<std::uint8_t>& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Everything that arrives within the wait.
    std::vector<std::uint8_t> receive(std::size_t expected, int waitMs = 2000) const {
        std::vector<std::uint8_t> got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        while (got.size() < expected && Clock::now() < deadline) {
            pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            std::uint8_t buf[1024];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
};

std::vector<std::uint8_t> sampleFrame() {
    // Bytes a terminal in cooked mode would eat or change: NUL, XON, XOFF,
    // CR, LF, ^C, ^D, DEL.
    std::vector<std::uint8_t> frame = {0xAA, 0x16, 0x00, 0x11, 0x13, 0x0D, 0x0A, 0x03, 0x04, 0x7F};
    for (int i = static_cast<int>(frame.size()); i < 26; ++i) {
        frame.push_back(static_cast<std::uint8_t>(i * 37));
    }
    return frame;
}

// Every test starts from a Closed link with a known receive buffer.
class SerialLinkTest : public ::testing::Test {
protected:
    Pty pty;

    void SetUp() override {
        ASSERT_FALSE(pty.slave.empty());
        closePort(testLink);
        std::memset(testLink.receiveBuffer, 0x5A, kReceiveBufferSize);
    }
    void TearDown() override { closePort(testLink); }

    bool bufferUntouchedFrom(int offset) const {
        for (int i = offset; i < kReceiveBufferSize; ++i) {
            if (testLink.receiveBuffer[i] != 0x5A) return false;
        }
        return true;
    }

    // Reads until the link has delivered `count` bytes or time runs out.
    bool readUntil(const std::vector<std::uint8_t>& expected) {
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < deadline) {
            readAvailable(testLink);
            if (std::memcmp(testLink.receiveBuffer, expected.data(), expected.size()) == 0) {
                return true;
            }
            usleep(1000);
        }
        return false;
    }
};

// The outcome of openPortByName in a separate process, as a second program
// would see it: the child starts from a Closed link of its own.
int openInChild(const std::string& path) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (!testLink.isClosed) close(testLink.deviceHandle);
        testLink.isClosed = true;
        const int status = openLink(path);
        _exit(status + 2);  // 0 -> 2, -1 -> 1, -2 -> 0
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) - 2 : 99;
}

}  // namespace

TEST_F(SerialLinkTest, OpensRaw115200EightNoneOneWithReadsThatReturnAtOnce) {
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    EXPECT_FALSE(testLink.isClosed);
    EXPECT_STREQ(openPortName(testLink), pty.slave.c_str());

    termios tio;
    ASSERT_EQ(tcgetattr(testLink.deviceHandle, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_TRUE(fcntl(testLink.deviceHandle, F_GETFD) & FD_CLOEXEC);
}

TEST_F(SerialLinkTest, FrameBytesArriveAtTheFarEndExactly) {
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    const auto frame = sampleFrame();
    EXPECT_TRUE(writeLink(frame));
    EXPECT_TRUE(writeLink(frame));
    auto twice = frame;
    twice.insert(twice.end(), frame.begin(), frame.end());
    EXPECT_EQ(pty.receive(twice.size()), twice);
    // Closing right after a frame (the free-wheel command, typically)
    // must not drop it.
    EXPECT_TRUE(writeLink(frame));
    closePort(testLink);
    EXPECT_EQ(pty.receive(frame.size()), frame);
}

TEST_F(SerialLinkTest, InputThatArrivedBeforeTheOpenIsDiscarded) {
    pty.send(sampleFrame());
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    usleep(20000);
    readAvailable(testLink);
    EXPECT_TRUE(bufferUntouchedFrom(0));
}

// 40 status-sized frames queued: each read takes whole frames only, so the
// next read still starts at a frame boundary.
TEST_F(SerialLinkTest, ABacklogIsReadInWholeFrames) {
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    std::vector<std::uint8_t> backlog;
    for (int k = 0; k < 40; ++k) {
        std::vector<std::uint8_t> frame(30, static_cast<std::uint8_t>(k));
        frame[0] = 0xAA;
        backlog.insert(backlog.end(), frame.begin(), frame.end());
    }
    pty.send(backlog);
    usleep(20000);
    readAvailable(testLink);
    readAvailable(testLink);
    EXPECT_EQ(testLink.receiveBuffer[0], 0xAA);
    EXPECT_EQ(testLink.receiveBuffer[1], 34);
}

TEST_F(SerialLinkTest, ReceivedBytesLandAtOffsetZeroAndTheRestKeepsOlderContents) {
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    const auto frame = sampleFrame();
    pty.send(frame);
    ASSERT_TRUE(readUntil(frame));
    EXPECT_TRUE(bufferUntouchedFrom(static_cast<int>(frame.size())));

    // A shorter second delivery overwrites only its own length.
    const std::vector<std::uint8_t> shorter = {0x01, 0x02, 0x03};
    pty.send(shorter);
    ASSERT_TRUE(readUntil(shorter));
    EXPECT_EQ(0, std::memcmp(testLink.receiveBuffer + 3, frame.data() + 3, frame.size() - 3));
}

TEST_F(SerialLinkTest, ReadWithNothingPendingReturnsAtOnceAndChangesNothing) {
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i) readAvailable(testLink);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(bufferUntouchedFrom(0));
}

TEST_F(SerialLinkTest, ReadWhileClosedMakesNoRead) {
    pty.send({0x42, 0x43});
    readAvailable(testLink);
    EXPECT_TRUE(bufferUntouchedFrom(0));
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    closePort(testLink);
    readAvailable(testLink);
    EXPECT_TRUE(bufferUntouchedFrom(0));
}

TEST_F(SerialLinkTest, WriteWhileClosedPausesWritesNothingAndReportsSuccess) {
    const auto frame = sampleFrame();
    const auto start = Clock::now();
    EXPECT_TRUE(writeLink(frame));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(9));
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    EXPECT_TRUE(pty.receive(1, 100).empty());
}

TEST_F(SerialLinkTest, ClosingTwiceReleasesOnceAndStaysClosed) {
    const int before = openFdCount();
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    EXPECT_EQ(openFdCount(), before + 1);
    closePort(testLink);
    closePort(testLink);
    EXPECT_TRUE(testLink.isClosed);
    EXPECT_EQ(openFdCount(), before);
    // Released for real: the same device opens again.
    EXPECT_EQ(openLink(pty.slave), kPortOpen);
}

TEST_F(SerialLinkTest, SecondProcessIsRefusedWhileTheFirstHoldsThePort) {
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    EXPECT_EQ(openInChild(pty.slave), kPortUnavailable);
    closePort(testLink);
    EXPECT_EQ(openInChild(pty.slave), kPortOpen);
}

TEST_F(SerialLinkTest, SameDeviceAgainSucceedsEvenThroughASymbolicLink) {
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    const int fd = testLink.deviceHandle;
    char dir[] = "/tmp/velocart-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/robot";
    ASSERT_EQ(symlink(pty.slave.c_str(), link.c_str()), 0);
    EXPECT_EQ(openLink(link), kPortOpen);
    EXPECT_EQ(openLink(pty.slave), kPortOpen);
    EXPECT_EQ(testLink.deviceHandle, fd);  // no second open happened
    unlink(link.c_str());
    rmdir(dir);
}

TEST_F(SerialLinkTest, DifferentDeviceIsRefusedAndFramesKeepGoingToTheOpenPort) {
    Pty other;
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    const int before = openFdCount();
    EXPECT_EQ(openLink(other.slave), kPortUnavailable);
    EXPECT_EQ(openPort(testLink, 3, kLineBaudRate), kPortUnavailable);
    EXPECT_EQ(openLink("/nonexistent/velocart"), kPortUnavailable);
    EXPECT_EQ(openFdCount(), before);
    EXPECT_STREQ(openPortName(testLink), pty.slave.c_str());

    const auto frame = sampleFrame();
    EXPECT_TRUE(writeLink(frame));
    EXPECT_EQ(pty.receive(frame.size()), frame);
    EXPECT_TRUE(other.receive(1, 100).empty());
}

TEST_F(SerialLinkTest, RefusedOpensLeaveNoDescriptorBehind) {
    char dir[] = "/tmp/velocart-file-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string regular = std::string(dir) + "/not-a-tty";
    close(open(regular.c_str(), O_CREAT | O_WRONLY, 0644));
    const std::string tooLong(PATH_MAX + 10, 'x');

    const int before = openFdCount();
    EXPECT_EQ(openLink("/nonexistent/ttyUSB0"), kPortUnavailable);
    EXPECT_EQ(openLink("/dev/null"), kPortUnavailable);
    EXPECT_EQ(openLink(regular), kPortUnavailable);
    EXPECT_EQ(openLink(dir), kPortUnavailable);
    EXPECT_EQ(openLink(""), kPortUnavailable);
    EXPECT_EQ(openLink(nullptr), kPortUnavailable);
    EXPECT_EQ(openLink(tooLong), kPortUnavailable);
    EXPECT_EQ(openFdCount(), before);
    EXPECT_TRUE(testLink.isClosed);
    unlink(regular.c_str());
    rmdir(dir);
}

TEST_F(SerialLinkTest, PortNumbersOutsideOneTo9999AreRefusedBeforeAnyOpen) {
    const int before = openFdCount();
    for (int port : {0, -1, -999, 10000, 99999, INT_MAX, INT_MIN}) {
        EXPECT_EQ(openPort(testLink, port, kLineBaudRate), kPortUnavailable) << "port " << port;
    }
    // In range but absent: COM9999 is /dev/ttyS9998.
    EXPECT_EQ(openPort(testLink, 9999, kLineBaudRate), kPortUnavailable);
    EXPECT_EQ(openFdCount(), before);
    EXPECT_TRUE(testLink.isClosed);
}

TEST_F(SerialLinkTest, RejectedLineSettingsCloseTheDeviceSoALaterOpenSucceeds) {
    const int before = openFdCount();
    EXPECT_EQ(openPortByName(testLink, pty.slave.c_str(), 12345), kPortSettingsRejected);
    EXPECT_TRUE(testLink.isClosed);
    EXPECT_EQ(openFdCount(), before);
    EXPECT_EQ(openInChild(pty.slave), kPortOpen);  // the lock went with the descriptor
    EXPECT_EQ(openLink(pty.slave), kPortOpen);
}

// The failed write is the first sign that the device has gone: the handle
// goes at once (with the lock), and the link keeps the device's name.
TEST_F(SerialLinkTest, HangUpOfTheFarEndFailsWritesAndLeavesTheBufferAlone) {
    const int before = openFdCount();
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    const auto frame = sampleFrame();
    pty.send(frame);
    ASSERT_TRUE(readUntil(frame));
    pty.hangUp();

    EXPECT_FALSE(writeLink(frame));
    EXPECT_TRUE(testLink.writeFailing);
    EXPECT_TRUE(testLink.isClosed && testLink.isLost);
    EXPECT_EQ(openFdCount(), before - 1);  // the far end's master went too
    EXPECT_STREQ(openPortName(testLink), pty.slave.c_str());
    readAvailable(testLink);
    EXPECT_EQ(0, std::memcmp(testLink.receiveBuffer, frame.data(), frame.size()));
    EXPECT_TRUE(bufferUntouchedFrom(static_cast<int>(frame.size())));
    closePort(testLink);
    EXPECT_TRUE(testLink.isClosed);
}

// After an unplug the device comes back behind the same name: a new open
// lets the dead link go instead of reporting it as open.
TEST_F(SerialLinkTest, OpeningOverADeadLinkOpensAfresh) {
    char dir[] = "/tmp/velocart-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/robot";
    ASSERT_EQ(symlink(pty.slave.c_str(), link.c_str()), 0);
    ASSERT_EQ(openLink(link), kPortOpen);
    pty.hangUp();
    Pty replugged;
    unlink(link.c_str());
    ASSERT_EQ(symlink(replugged.slave.c_str(), link.c_str()), 0);

    EXPECT_EQ(openLink(link), kPortOpen);
    const auto frame = sampleFrame();
    EXPECT_TRUE(writeLink(frame));
    EXPECT_EQ(replugged.receive(frame.size()), frame);
    closePort(testLink);
    unlink(link.c_str());
    rmdir(dir);
}

// A device that no longer answers is let go at the check, as a failed
// write would let it go; one that answers stays open.
TEST_F(SerialLinkTest, ACheckLetsGoOfADeviceThatNoLongerAnswers) {
    const int before = openFdCount();
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    EXPECT_TRUE(checkDevice(testLink));
    pty.hangUp();
    EXPECT_FALSE(checkDevice(testLink));
    EXPECT_TRUE(testLink.isClosed && testLink.isLost);
    EXPECT_EQ(openFdCount(), before - 1);  // the far end's master went too
}

// What the console will say about a refused open. The holder here is this
// process, as a renamed copy of the module would be.
TEST_F(SerialLinkTest, RefusalsSayWhy) {
    const int holder = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const struct {
        const char* path;
        OpenProblem problem;
        const char* text;
    } cases[] = {
        {"/nonexistent/ttyUSB0", OpenProblem::Missing, "No such file or directory"},
        {"/dev/null", OpenProblem::NotSerial, ""},
        {pty.slave.c_str(), OpenProblem::BusyHere, "Device or resource busy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(openLink(c.path), kPortUnavailable) << c.path;
        EXPECT_EQ(lastOpenFailure().problem, c.problem) << c.path;
        EXPECT_STREQ(lastOpenFailure().systemText, c.text) << c.path;
    }
    close(holder);
    EXPECT_EQ(openLink(pty.slave), kPortOpen);
    EXPECT_EQ(lastOpenFailure().problem, OpenProblem::None);
}

std::atomic<bool> stopRequested{false};
bool hostAsksToStop() { return stopRequested; }

// A consumer that wants four bytes in all.
int wantFour(const std::uint8_t*, int count, int, void* context) {
    int& taken = *static_cast<int*>(context);
    taken += count;
    return taken >= 4 ? 0 : 4 - taken;
}

// A waiting receive ends when the consumer is satisfied, when its time is
// up, or at once when the far end hangs up; what is already there needs no
// wait at all.
TEST_F(SerialLinkTest, AReceiveWaitsNoLongerThanItMust) {
    enum class FarEnd { SendsAtOnce, SendsLater, Silent, HangsUpLater, Signals, AsksToStop };
    const struct {
        const char* label;
        FarEnd farEnd;
        double timeout;
        ReceiveOutcome outcome;
        int atLeastMs;
        int underMs;
    } cases[] = {
        {"bytes already there", FarEnd::SendsAtOnce, 0.0, ReceiveOutcome::Satisfied, 0, 500},
        {"nothing, no wait", FarEnd::Silent, 0.0, ReceiveOutcome::TimedOut, 0, 500},
        {"bytes in two pieces", FarEnd::SendsLater, 5.0, ReceiveOutcome::Satisfied, 90, 2500},
        {"nothing within the time", FarEnd::Silent, 0.15, ReceiveOutcome::TimedOut, 145, 2500},
        {"hang-up while waiting", FarEnd::HangsUpLater, 5.0, ReceiveOutcome::HungUp, 45, 2500},
        {"another signal while waiting", FarEnd::Signals, 0.3, ReceiveOutcome::TimedOut, 295, 2500},
        {"the host asks to stop", FarEnd::AsksToStop, 5.0, ReceiveOutcome::Interrupted, 45, 2500},
    };
    // A signal that ends ppoll with EINTR, as a host's timer would.
    struct sigaction wake = {};
    wake.sa_handler = [](int) {};
    sigaction(SIGUSR1, &wake, nullptr);
    const pthread_t waiter = pthread_self();
    for (const auto& c : cases) {
        Pty far;
        closePort(testLink);
        ASSERT_EQ(openLink(far.slave), kPortOpen);
        if (c.farEnd == FarEnd::SendsAtOnce) {
            far.send({1, 2, 3, 4});
            usleep(20000);
        }
        std::thread actor([&far, &c, waiter] {
            if (c.farEnd == FarEnd::SendsAtOnce || c.farEnd == FarEnd::Silent) return;
            usleep(50000);
            if (c.farEnd == FarEnd::SendsLater) {
                far.send({1, 2});
                usleep(50000);
                far.send({1, 2});
            }
            if (c.farEnd == FarEnd::HangsUpLater) far.hangUp();
            if (c.farEnd == FarEnd::Signals) pthread_kill(waiter, SIGUSR1);
            if (c.farEnd == FarEnd::AsksToStop) stopRequested = true;
        });
        std::uint8_t scratch[64];
        int taken = 0;
        stopRequested = false;
        const auto start = Clock::now();
        const ReceiveOutcome outcome = receiveUntil(testLink, scratch, sizeof scratch, c.timeout,
                                                    wantFour, &taken, hostAsksToStop);
        const auto tookMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        actor.join();
        EXPECT_EQ(outcome, c.outcome) << c.label;
        EXPECT_GE(tookMs.count(), c.atLeastMs) << c.label;
        EXPECT_LT(tookMs.count(), c.underMs) << c.label;
        EXPECT_EQ(testLink.readFailing, c.outcome == ReceiveOutcome::HungUp) << c.label;
        EXPECT_EQ(testLink.isLost, c.outcome == ReceiveOutcome::HungUp) << c.label;
    }
    closePort(testLink);
    int taken = 0;
    std::uint8_t scratch[4];
    EXPECT_EQ(receiveUntil(testLink, scratch, sizeof scratch, 1.0, wantFour, &taken, nullptr),
              ReceiveOutcome::Closed);
}

TEST_F(SerialLinkTest, AWriteThatCannotDrainFailsWithinItsBound) {
    // Nobody reads the master: the pty's buffer fills and writes stall.
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    std::vector<std::uint8_t> block(26, 0x55);
    bool failed = false;
    const auto start = Clock::now();
    for (int i = 0; i < 20000 && !failed; ++i) failed = !writeLink(block);
    EXPECT_TRUE(failed);
    EXPECT_TRUE(testLink.writeFailing);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    // Once the far end drains the line, writes succeed again.
    pty.receive(1 << 20, 300);
    EXPECT_TRUE(writeLink(block));
    EXPECT_FALSE(testLink.writeFailing);
}

// Only the caller's thread lets a handle go. The worker writing beside the
// caller finds the line dead first: it marks the link, the handle stays
// (the caller may be using it) until the caller's next operation lets it
// go. Run under ThreadSanitizer too.
std::atomic<int> workerWrites{0};
double writeFromWorker() {
    const std::vector<std::uint8_t> frame = sampleFrame();
    writeFrameIf(
        testLink, frame.data(), static_cast<int>(frame.size()), [](void*) { return true; },
        nullptr);
    ++workerWrites;
    return 0.002;
}

TEST_F(SerialLinkTest, AWorkerThatFindsTheLineDeadLeavesTheHandleToTheCaller) {
    ASSERT_EQ(openLink(pty.slave), kPortOpen);
    workerWrites = 0;
    ASSERT_TRUE(startWorker(writeFromWorker));
    std::uint8_t scratch[64];
    int taken = 0;
    for (int i = 0; i < 20; ++i) {
        writeLink(sampleFrame());
        receiveUntil(testLink, scratch, sizeof scratch, 0.002, wantFour, &taken, nullptr);
        pty.receive(1 << 16, 1);
    }
    pty.hangUp();
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (!testLink.foundDead && Clock::now() < deadline) usleep(1000);
    stopWorker();
    EXPECT_GT(workerWrites.load(), 0);
    EXPECT_TRUE(testLink.foundDead && testLink.writeFailing && testLink.writeFailureNews);
    EXPECT_FALSE(testLink.isClosed);  // still the caller's to let go
    EXPECT_EQ(receiveUntil(testLink, scratch, sizeof scratch, 1.0, wantFour, &taken, nullptr),
              ReceiveOutcome::HungUp);
    EXPECT_TRUE(testLink.isClosed && testLink.isLost && !testLink.foundDead);
}

// A USB adapter answers to its whole identity and to its parts, in either
// case; any other port is known by its name. Numbers in names sort by value.
TEST(PortList, IdentitiesAndTheOrderOfNames) {
    const PortInfo adapter = {"/dev/ttyUSB0", PortKind::Usb, 0x0403, 0x6001, "FT1234", "FTDI"};
    const PortInfo uart = {"/dev/ttyS1", PortKind::Builtin, 0, 0, "", ""};
    char identity[kPortIdentitySize];
    identityOf(adapter, identity);
    EXPECT_STREQ(identity, "usb:0403:6001:FT1234");
    identityOf(uart, identity);
    EXPECT_STREQ(identity, "/dev/ttyS1");
    const struct {
        const char* identity;
        bool matches;
    } cases[] = {
        {"usb:0403:6001:FT1234", true}, {"USB:0403:6001:ft1234", true},
        {"usb:0403:6001", true},        {"usb:0403", true},
        {"usb:0403:6001:FT123", false}, {"usb:0403:6015", false},
        {"usb:0403:", false},           {"usb:403:6001", false},
        {"/dev/ttyUSB0", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matchesIdentity(adapter, c.identity), c.matches) << c.identity;
    EXPECT_FALSE(matchesIdentity(uart, "usb:0000"));

    PortInfo ports[] = {{"COM12", {}, 0, 0, "", ""},
                        {"COM3", {}, 0, 0, "", ""},
                        {"/dev/ttyS10", {}, 0, 0, "", ""},
                        {"/dev/ttyS2", {}, 0, 0, "", ""}};
    sortPorts(ports, 4);
    const char* sorted[] = {"/dev/ttyS2", "/dev/ttyS10", "COM3", "COM12"};
    for (int i = 0; i < 4; ++i) EXPECT_STREQ(ports[i].name, sorted[i]);
}
