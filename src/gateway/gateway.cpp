// VelocartDriver's entry point: VelocartDriver(command, argument), or
// VelocartDriver(k, command, argument) for link k (1 to 32; without k, 1).
//
// Every outcome reaches the caller as a result array or a console line; the
// module never raises an error into the host, whatever it is handed.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "gateway/arguments.h"
#include "gateway/host_api.h"
#include "gateway/link_log.h"
#include "gateway/links.h"
#include "gateway/ports.h"
#include "protocol/command_frame.h"
#include "protocol/frame_assembler.h"
#include "protocol/status_frame.h"
#include "serial/serial_link.h"

using namespace velocart;

// The narrowing of doubles to single precision relies on IEEE conversions:
// round to nearest, and out-of-range magnitudes become infinities.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "IEEE-754 floating point is required");

namespace {

constexpr char kBannerRule[] = "                                                      \n";
static_assert(sizeof kBannerRule == 56, "the banner rule is 54 spaces and a line feed");

// The build passes the release from the VERSION file as a bare token
// (-DVELOCART_VERSION=1.1.0): quotes do not survive every compiler driver.
#ifndef VELOCART_VERSION
#error "VELOCART_VERSION is not defined: build with -DVELOCART_VERSION=x.y.z (see VERSION)"
#endif
#define VELOCART_QUOTE(token) #token
#define VELOCART_TEXT(token) VELOCART_QUOTE(token)
constexpr char kVersion[] = VELOCART_TEXT(VELOCART_VERSION);

constexpr double kLongestWait = 60.0;
constexpr double kShortestWatchdog = 0.05;
constexpr double kLongestWatchdog = 60.0;

// The name the host called the module by, for the module's own lines: a
// renamed copy (RobotB.mexw64) must point at itself. Asked for only when a
// line is printed, which keeps it off the path of every call.
const char* moduleName() {
    const char* called = mexFunctionName();
    return called != nullptr && called[0] != '\0' ? called : "VelocartDriver";
}

// One console line of the module's own, "Name: text", naming the link when
// it is not link 1. Lines are short; a device path may be long, and a line
// that would not fit is cut rather than overrun.
void say(const Link* link, const char* format, ...) {
    char text[kDevicePathSize + 400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (link != nullptr && numberOf(*link) != 1) {
        mexPrintf("%s: link %d: %s\n", moduleName(), numberOf(*link), text);
    } else {
        mexPrintf("%s: %s\n", moduleName(), text);
    }
}

// A link opened (or reopened) whose watchdog or background reading needs
// the module's thread, which could not start: both are off.
void sayThreadFailed(const Link& link) {
    say(&link, "the module's thread could not start; the watchdog and background reading are off.");
}

// How a call names its link in an example: "" for link 1, "2, " for link 2.
struct LinkPrefix {
    char text[8];
};

LinkPrefix linkPrefix(const Link& link) {
    LinkPrefix prefix = {};
    if (numberOf(link) != 1) std::snprintf(prefix.text, sizeof prefix.text, "%d, ", numberOf(link));
    return prefix;
}

void printBanner() {
    mexPrintf("%s", kBannerRule);
    mexPrintf(
        "VelocartDriver: drive a wheeled mobile robot over a serial port from MATLAB or GNU"
        " Octave.\n");
    mexPrintf(
        "        Version %s, by the VelocartDriver developers; 'help VelocartDriver' lists"
        " the commands.\n",
        kVersion);
    mexPrintf("%s", kBannerRule);
}

void runBanner(int nlhs, mxArray* plhs[]) {
    // A requested output gets a zero so that x = VelocartDriver() works.
    if (nlhs == 1) plhs[0] = mxCreateDoubleMatrix_700(1, 1, mxREAL);
    printBanner();
}

float toSingle(double value) { return static_cast<float>(value); }

// One call of a command: its results, its argument (what follows the
// command name), and the links it acts on.
struct Call {
    int nlhs;
    mxArray** plhs;
    const mxArray* argument;  // null when the call has none
    Link* links[kLinkCount];
    int linkCount;
    bool numbered;  // the caller named the link(s)

    Link& link() const { return *links[0]; }
};

void setPortStatus(mxArray* plhs[], int status) {
    plhs[0] = mxCreateNumericMatrix_700(1, 1, mxINT8_CLASS, mxREAL);
    *static_cast<std::int8_t*>(mxGetData(plhs[0])) = static_cast<std::int8_t>(status);
}

void closeAtUnload() { closeAllLinks(); }

// Why an open did not succeed, as data for [status, reason] = open and as
// the console line the module prints, from the same words. The identifiers
// are stable: programs test them, not the text.
struct OpenReason {
    const char* identifier = "";  // empty when the port is open
    char message[kDevicePathSize + 300] = {};
    const char* device = "";  // the device the reason is about
    int link = 0;             // the link that holds it, where that is the reason
};

void explain(OpenReason& reason, const char* identifier, const char* format, ...) {
    reason.identifier = identifier;
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason.message, sizeof reason.message, format, args);
    va_end(args);
}

const char* identifierFor(OpenProblem problem) {
    switch (problem) {
        case OpenProblem::Missing: return "VelocartDriver:notFound";
        case OpenProblem::Busy: return "VelocartDriver:busy";
        case OpenProblem::BusyHere: return "VelocartDriver:busyHere";
        case OpenProblem::AccessDenied: return "VelocartDriver:accessDenied";
        case OpenProblem::NotSerial: return "VelocartDriver:notSerial";
        case OpenProblem::SettingsRejected: return "VelocartDriver:settingsRejected";
        default: return "VelocartDriver:refused";
    }
}

// The hint that goes with a reason the user can act on.
const char* hintFor(OpenProblem problem) {
    switch (problem) {
        case OpenProblem::Busy: return "; another program holds the port: close it there first";
        case OpenProblem::BusyHere:
            return "; another copy of the module in this session holds the port: close it there"
                   " first";
        case OpenProblem::AccessDenied:
            return "; on Linux, join the dialout group (sudo usermod -aG dialout $USER) and log in"
                   " again";
        case OpenProblem::NotSerial: return "; it is not a serial port";
        case OpenProblem::SettingsRejected: return "; the port refused 115200 baud 8N1";
        default: return "";
    }
}

// Why the serial link refused, after the open request.
void explainRefusal(OpenReason& reason, const Link& link, bool wasOpen) {
    if (wasOpen && !link.port.isClosed) {
        reason.device = openPortName(link.port);
        reason.link = numberOf(link);
        explain(reason, "VelocartDriver:alreadyOpen",
                "%s is already open; call %s(%s'close') first.", openPortName(link.port),
                moduleName(), linkPrefix(link).text);
        return;
    }
    const OpenFailure& failure = lastOpenFailure();
    const char* text = failure.systemText[0] != '\0' ? failure.systemText : "refused";
    char hint[300];
    refusalHint(failure.problem, failure.device[0] != '\0' ? failure.device : reason.device,
                hintFor(failure.problem), hint, sizeof hint);
    if (failure.problem == OpenProblem::None) {
        reason.identifier = identifierFor(failure.problem);
    } else if (failure.device[0] != '\0') {
        explain(reason, identifierFor(failure.problem), "%s: %s%s.", failure.device, text, hint);
    } else {
        explain(reason, identifierFor(failure.problem), "%s%s.", text, hint);
    }
}

// A device is open on one link at a time.
void explainHeldElsewhere(OpenReason& reason, const Link& holder) {
    reason.device = openPortName(holder.port);
    reason.link = numberOf(holder);
    explain(reason, "VelocartDriver:openOnLink",
            "%s is open on link %d; use that link, or call %s(%d, 'close') first.",
            openPortName(holder.port), numberOf(holder), moduleName(), numberOf(holder));
}

void setText(mxArray* record, const char* field, const char* text) {
    mxSetField_700(record, 0, field, mxCreateString(text));
}

void setNumber(mxArray* record, const char* field, double value) {
    mxArray* number = mxCreateDoubleMatrix_700(1, 1, mxREAL);
    mxGetPr(number)[0] = value;
    mxSetField_700(record, 0, field, number);
}

// The result of open: the status, and with a second output the reason.
void finishOpen(const Call& call, int status, const OpenReason& reason) {
    Link& link = call.link();
    if (reason.message[0] != '\0') say(&link, "%s", reason.message);
    if (status == kPortOpen) {
        mexAtExit(closeAtUnload);
        if (!linkOpened(link)) sayThreadFailed(link);
    }
    setPortStatus(call.plhs, status == kPortOpen ? 0 : -1);
    if (call.nlhs < 2) return;
    const char* fields[] = {"identifier", "message", "device", "link"};
    call.plhs[1] = mxCreateStructMatrix_700(1, 1, 4, fields);
    setText(call.plhs[1], "identifier", reason.identifier);
    setText(call.plhs[1], "message", reason.message);
    setText(call.plhs[1], "device", status == kPortOpen ? openPortName(link.port) : reason.device);
    setNumber(call.plhs[1], "link", status == kPortOpen ? numberOf(link) : reason.link);
}

void refuseOpen(const Call& call) {
    OpenReason reason;
    explain(reason, "VelocartDriver:badArgument",
            "'open' needs a port number or a device name, e.g. %s(%s'open', 3).", moduleName(),
            linkPrefix(call.link()).text);
    finishOpen(call, kPortUnavailable, reason);
}

// An identity that names no port, or several.
void refuseIdentity(const Call& call, const char* identity, IdentityMatch match,
                    const ResolvedIdentity& resolved) {
    OpenReason reason;
    reason.device = identity;
    mexPrintf("I cannot open %s!\n", identity);
    if (match == IdentityMatch::None) {
        explain(reason, "VelocartDriver:notFound",
                "no port answers to %s: is the adapter plugged in? %s('ports') lists the ports.",
                identity, moduleName());
    } else {
        explain(reason, "VelocartDriver:ambiguous", "%s names %d ports: %s; give a whole identity.",
                identity, resolved.count, resolved.matches);
    }
    finishOpen(call, kPortUnavailable, reason);
}

void openByName(const Call& call, const ArgumentText& nameText) {
    Link& link = call.link();
    const char* name = nameText.text();
    if (name == nullptr || name[0] == '\0') {
        refuseOpen(call);
        return;
    }
    ResolvedIdentity resolved = {};
    const bool byIdentity = isPortIdentity(name);
    const IdentityMatch match = byIdentity ? resolveIdentity(name, resolved) : IdentityMatch::One;
    if (match != IdentityMatch::One) {
        refuseIdentity(call, name, match, resolved);
        return;
    }
    const char* device = byIdentity ? resolved.port.name : name;
    OpenReason reason;
    reason.device = device;
    const Link* holder = linkHoldingDevice(&link, device);
    const bool wasOpen = !link.port.isClosed;
    const int status =
        holder != nullptr ? kPortUnavailable : openPortByName(link.port, device, kLineBaudRate);
    if (status == kPortOpen) {
        mexPrintf("Port %s is opened successfully.\n", name);
        if (byIdentity) say(&link, "%s is %s.", name, device);
        rememberIdentity(link, byIdentity ? &resolved.port : nullptr);
    } else {
        mexPrintf("I cannot open %s!\n", name);
        if (holder != nullptr) {
            explainHeldElsewhere(reason, *holder);
        } else {
            explainRefusal(reason, link, wasOpen);
        }
    }
    finishOpen(call, status, reason);
}

void runOpen(const Call& call) {
    if (call.argument != nullptr && !isRealNumericClass(mxGetClassID(call.argument))) {
        const ArgumentText name(call.argument);
        if (name.isText()) {
            openByName(call, name);
            return;
        }
    }
    Link& link = call.link();
    double number = 0.0;
    if (!readNumbers(call.argument, 1, &number)) {
        refuseOpen(call);
        return;
    }
    OpenReason reason;
    // Test before converting: NaN, infinities and huge values have no
    // integer value, and converting them is undefined.
    if (!std::isfinite(number)) {
        explain(reason, "VelocartDriver:badArgument", "'open' needs a finite port number, not %s.",
                std::isnan(number) ? "NaN" : "Inf");
        finishOpen(call, kPortUnavailable, reason);
        return;
    }
    const double truncated = std::trunc(number);
    if (truncated < -2147483648.0 || truncated > 2147483647.0) {
        explain(reason, "VelocartDriver:badPort",
                "port number %.0f is out of range; ports run from COM%d to COM%d.", truncated,
                kFirstPortNumber, kLastPortNumber);
        finishOpen(call, kPortUnavailable, reason);
        return;
    }
    const int port = static_cast<int>(truncated);
    char shown[16];
    std::snprintf(shown, sizeof shown, "COM%d", port);
    reason.device = shown;
    const Link* holder = linkHoldingPort(&link, port);
    const bool wasOpen = !link.port.isClosed;
    const int status =
        holder != nullptr ? kPortUnavailable : openPort(link.port, port, kLineBaudRate);
    if (status == kPortOpen) {
        mexPrintf("Port COM%d is opened successfully.\n", port);
        rememberIdentity(link, nullptr);
    } else {
        mexPrintf("I cannot open COM%d!\n", port);
        if (holder != nullptr) {
            explainHeldElsewhere(reason, *holder);
        } else if (port < kFirstPortNumber || port > kLastPortNumber) {
            explain(reason, "VelocartDriver:badPort", "ports run from COM%d to COM%d.",
                    kFirstPortNumber, kLastPortNumber);
        } else {
            explainRefusal(reason, link, wasOpen);
        }
    }
    finishOpen(call, status, reason);
}

void runClose(const Call& call) { closeLink(call.link()); }

// Sends the link's frame and copies it into row `row` of the echo (rows x
// 26, column-major). A line that stops taking frames is reported once, not
// on every call, whichever thread met it first.
void sendCommandFrame(Link& link, mxArray* echo, int row, int rows) {
    sendFrame(link, link.frame);
    if (link.port.writeFailureNews.exchange(false)) {
        say(&link, "the frame could not be written to %s.", openPortName(link.port));
    }
    auto* bytes = static_cast<std::uint8_t*>(mxGetData(echo));
    for (int i = 0; i < kCommandFrameSize; ++i) bytes[row + i * rows] = link.frame.bytes[i];
}

mxArray* createEcho(int rows) {
    return mxCreateNumericMatrix_700(rows, kCommandFrameSize, mxUINT8_CLASS, mxREAL);
}

void refuseFrame(const Call& call, const char* command, const char* needs, const char* example) {
    say(call.numbered ? &call.link() : nullptr,
        "'%s' needs %s, e.g. %s(%s'%s', %s); nothing was sent.", command, needs, moduleName(),
        linkPrefix(call.link()).text, command, example);
    call.plhs[0] = mxCreateNumericMatrix_700(1, 0, mxUINT8_CLASS, mxREAL);
}

// NaN or an infinity in a command is a fault upstream (a division by zero,
// a missing reading), and must not become full speed or a pose of zero.
void refuseNonFinite(const Call& call, const char* command) {
    say(call.numbered ? &call.link() : nullptr,
        "'%s' needs finite numbers, not NaN or Inf; nothing was sent.", command);
    call.plhs[0] = mxCreateNumericMatrix_700(1, 0, mxUINT8_CLASS, mxREAL);
}

// Velocities for each link of the call: one link takes the first two
// elements of any real numeric array; several take a K x 2 matrix, a row
// for each link, and nothing else.
bool readVelocities(const Call& call, double (*rows)[2]) {
    if (call.linkCount == 1) return readNumbers(call.argument, 2, rows[0]);
    const mxArray* v = call.argument;
    if (!isRealNumeric(v) || mxGetM(v) != static_cast<std::size_t>(call.linkCount) ||
        mxGetN(v) != 2) {
        return false;
    }
    const mxClassID classId = mxGetClassID(v);
    for (int k = 0; k < call.linkCount; ++k) {
        for (int c = 0; c < 2; ++c) {
            rows[k][c] =
                elementAsDouble(v, classId, static_cast<std::size_t>(k + c * call.linkCount));
        }
    }
    return true;
}

void runSendVelocity(const Call& call) {
    double v[kLinkCount][2];
    if (!readVelocities(call, v)) {
        if (call.linkCount == 1) {
            refuseFrame(call, "sendVelocity", "a real numeric array of 2 velocities", "[0.2 0.5]");
        } else {
            refuseFrame(call, "sendVelocity", "one row of 2 velocities for each link",
                        "[0.2 0.5; 0.1 0]");
        }
        return;
    }
    for (int k = 0; k < call.linkCount; ++k) {
        if (!allFinite(v[k], 2)) {
            refuseNonFinite(call, "sendVelocity");
            return;
        }
    }
    call.plhs[0] = createEcho(call.linkCount);
    for (int k = 0; k < call.linkCount; ++k) {
        Link& link = *call.links[k];
        encodeVelocity(toSingle(v[k][0]), toSingle(v[k][1]), link.frame);
        sendCommandFrame(link, call.plhs[0], k, call.linkCount);
    }
}

void runSetOdometry(const Call& call) {
    double odometry[3];
    if (!readNumbers(call.argument, 3, odometry)) {
        refuseFrame(call, "setOdometry", "a real numeric array of 3 odometry values", "[0 0 0]");
        return;
    }
    if (!allFinite(odometry, 3)) {
        refuseNonFinite(call, "setOdometry");
        return;
    }
    Link& link = call.link();
    encodeOdometry(toSingle(odometry[0]), toSingle(odometry[1]), toSingle(odometry[2]), link.frame);
    call.plhs[0] = createEcho(1);
    sendCommandFrame(link, call.plhs[0], 0, 1);
}

void runSetFreeWheels(const Call& call) {
    Link& link = call.link();
    encodeFreeWheels(link.frame);
    call.plhs[0] = createEcho(1);
    sendCommandFrame(link, call.plhs[0], 0, 1);
}

// The frames' lock of a link the worker reads, for as long as this lives;
// nothing for one the caller reads itself.
class FramesHeld {
public:
    explicit FramesHeld(Link& link) {
        if (link.port.background) held_.emplace(link.framesLock);
    }

private:
    std::optional<HeldLock> held_;
};

// With background reading the worker takes every byte in, and read gives
// the newest status it assembled, valid once one came.
void runRead(const Call& call) {
    Link& link = call.link();
    call.plhs[0] = mxCreateDoubleMatrix_700(1, kStatusVectorSize, mxREAL);
    if (link.port.background) {
        FramesHeld held(link);
        decodeStatus(link.newest.bytes, link.newest.seen, mxGetPr(call.plhs[0]));
        return;
    }
    SerialLinkState& port = link.port;
    readAvailable(port);
    const bool valid = checkStatusFrame(port.receiveBuffer);
    decodeStatus(port.receiveBuffer, valid, mxGetPr(call.plhs[0]));
}

// The user's Ctrl-C ended a wait: the program is about to stop, and so must
// every robot it drives. The host's request stays in place, so that the host
// stops the program as soon as the call returns.
void stopOnInterrupt() {
    int told = 0;
    for (Link& link : Links) {
        if (link.port.isClosed) continue;
        sendStopSequence(link);
        ++told;
    }
    if (told <= 1) {
        say(nullptr, "interrupted; the robot was told to stop.");
    } else {
        say(nullptr, "interrupted; the robots on %d links were told to stop.", told);
    }
}

// Row `row` of a column-major K x 8 status matrix: one decoded frame.
void putStatus(double* rows, int row, int rowCount, const std::uint8_t* frame, bool valid) {
    double vector[kStatusVectorSize];
    decodeStatus(frame, valid, vector);
    for (int i = 0; i < kStatusVectorSize; ++i) rows[row + i * rowCount] = vector[i];
}

// The K x 8 status result, and with a second output the K x 1 stamps
// (`stamps` stays null without one).
double* createStatusRows(const Call& call, int count, double*& stamps) {
    call.plhs[0] = mxCreateDoubleMatrix_700(count, kStatusVectorSize, mxREAL);
    if (call.nlhs >= 2) {
        call.plhs[1] = mxCreateDoubleMatrix_700(count, 1, mxREAL);
        stamps = mxGetPr(call.plhs[1]);
    }
    return mxGetPr(call.plhs[0]);
}

// What a reading command gives when it is refused: no status (a row of
// zeros for each link, no stamp), or no frames.
void refuseStatus(const Call& call) {
    double* stamps = nullptr;
    createStatusRows(call, call.linkCount, stamps);
    for (int k = 0; stamps != nullptr && k < call.linkCount; ++k) stamps[k] = kNoStamp;
}
void refuseAll(const Call& call) {
    double* stamps = nullptr;
    createStatusRows(call, 0, stamps);
}

// Input the system's serial driver lost (its overrun count rose): frames
// went missing before the module could take them. Said once for each rise.
void reportOverruns(Link& link) {
    const std::uint64_t overruns = link.port.overruns.load();
    if (overruns <= link.overrunsReported) return;
    say(&link,
        "the serial driver of %s lost input (%llu overruns since the open); status frames are"
        " missing: read more often.",
        openPortName(link.port), static_cast<unsigned long long>(overruns));
    link.overrunsReported = overruns;
}

// Waits for each link in turn against one deadline: the wires work in
// parallel, so the round ends with the slowest reply, not the sum. False if
// the user interrupted it.
bool receiveEach(const Call& call, double timeout, Reader reader) {
    const double deadline = monotonicSeconds() + timeout;
    for (int k = 0; k < call.linkCount; ++k) {
        Link& link = *call.links[k];
        const double left = deadline - monotonicSeconds();
        const bool wasFailing = link.port.readFailing;
        const ReceiveOutcome outcome =
            receiveStatus(link, left > 0.0 ? left : 0.0, reader, hostInterruptPending);
        if (outcome == ReceiveOutcome::HungUp && !wasFailing) {
            say(&link, "%s hung up; open it again once it is back.", openPortName(link.port));
        }
        reportOverruns(link);
        if (outcome == ReceiveOutcome::Interrupted) {
            stopOnInterrupt();
            return false;
        }
    }
    return true;
}

// The optional timeout of the reading commands, 0 to 60 s (0 without one);
// false, with a line, for anything else.
bool readTimeout(const Call& call, const char* command, double& timeout) {
    timeout = 0.0;
    // NaN fails both comparisons.
    if (call.argument == nullptr ||
        (readNumbers(call.argument, 1, &timeout) && timeout >= 0.0 && timeout <= kLongestWait)) {
        return true;
    }
    say(&call.link(),
        "'%s' takes a timeout in seconds from 0 to 60, e.g. %s(%s'%s', 0.1); nothing was read.",
        command, moduleName(), linkPrefix(call.link()).text, command);
    return false;
}

// s = readLatest: the newest frame of each link, element 1 telling whether
// it is new since the last readLatest; [s, t] also gives their stamps (NaN
// before a link's first frame).
void runReadLatest(const Call& call) {
    double timeout = 0.0;
    if (!readTimeout(call, "readLatest", timeout)) {
        refuseStatus(call);
        return;
    }
    const bool interrupted = !receiveEach(call, timeout, Reader::Latest);
    const int count = call.linkCount;
    double* stamps = nullptr;
    double* rows = createStatusRows(call, count, stamps);
    for (int k = 0; k < count; ++k) {
        FramesHeld held(*call.links[k]);
        NewestStatus& newest = call.links[k]->newest;
        putStatus(rows, k, count, newest.bytes, newest.seen);
        rows[k] = newest.fresh && !interrupted ? 1.0 : 0.0;
        newest.fresh = false;
        if (stamps != nullptr) stamps[k] = newest.stamp;
    }
}

// [S, T] = readAll: every status frame accepted since the last readAll,
// oldest first, and their stamps. The ring holds the last kRingSize; older
// ones are gone, and the console says how many.
void runReadAll(const Call& call) {
    Link& link = call.link();
    double timeout = 0.0;
    if (!readTimeout(call, "readAll", timeout)) {
        refuseAll(call);
        return;
    }
    receiveEach(call, timeout, Reader::All);
    FramesHeld held(link);
    StatusRing& ring = link.ring;
    const std::uint64_t kept = ring.accepted < kRingSize ? ring.accepted : kRingSize;
    const std::uint64_t first = ring.next > ring.accepted - kept ? ring.next : ring.accepted - kept;
    if (first > ring.next) {
        say(&link,
            "%llu status frames were lost before this readAll: it keeps the last %d; call it"
            " more often.",
            static_cast<unsigned long long>(first - ring.next), kRingSize);
    }
    const int count = static_cast<int>(ring.accepted - first);
    double* stamps = nullptr;
    double* rows = createStatusRows(call, count, stamps);
    for (int k = 0; k < count; ++k) {
        const StampedFrame& frame =
            ring.frames[(first + static_cast<std::uint64_t>(k)) % kRingSize];
        putStatus(rows, k, count, frame.bytes, true);
        if (stamps != nullptr) stamps[k] = frame.stamp;
    }
    ring.next = ring.accepted;
}

// k = linkOf(port): the link that has this port open (the same device, by
// any name), or 0.
void runLinkOf(const Call& call) {
    const Link* holder = nullptr;
    const ArgumentText name(call.argument);
    double number = 0.0;
    if (name.text() != nullptr) {
        holder = isPortIdentity(name.text()) ? linkOfIdentity(name.text())
                                             : linkHoldingDevice(nullptr, name.text());
    } else if (readNumbers(call.argument, 1, &number) && std::isfinite(number) &&
               std::fabs(number) < 2147483648.0) {
        holder = linkHoldingPort(nullptr, static_cast<int>(std::trunc(number)));
    } else {
        say(&call.link(), "'linkOf' needs a port number or a device name, e.g. %s('linkOf', 3).",
            moduleName());
    }
    call.plhs[0] = mxCreateDoubleMatrix_700(1, 1, mxREAL);
    mxGetPr(call.plhs[0])[0] = holder != nullptr ? numberOf(*holder) : 0;
}

// VelocartDriver('watchdog', seconds): stop a robot left driving without
// commands. With an output: the setting in force.
void runWatchdog(const Call& call) {
    Link& link = call.link();
    if (call.argument != nullptr) {
        double seconds = 0.0;
        const bool valid =
            readNumbers(call.argument, 1, &seconds) &&
            (seconds == 0.0 || (seconds >= kShortestWatchdog && seconds <= kLongestWatchdog));
        if (!valid) {
            say(call.numbered ? &link : nullptr,
                "'watchdog' takes 0 (off) or seconds from %g to %g, e.g. %s(%s'watchdog', 0.5);"
                " it stays at %g.",
                kShortestWatchdog, kLongestWatchdog, moduleName(), linkPrefix(link).text,
                link.watchdog.seconds.load());
        } else {
            setWatchdog(link, seconds);
            if (seconds > 0.0 && !link.port.isClosed && !workerRunning()) {
                say(&link, "the watchdog could not start its thread; it is off.");
                setWatchdog(link, 0.0);
            }
        }
    }
    if (call.nlhs >= 1) {
        call.plhs[0] = mxCreateDoubleMatrix_700(1, 1, mxREAL);
        mxGetPr(call.plhs[0])[0] = link.watchdog.seconds.load();
    }
}

// VelocartDriver('links'): one line per open link; with an output, their
// numbers as a column.
void runLinks(const Call& call) {
    int open = 0;
    for (Link& link : Links) {
        if (link.port.isClosed) continue;
        ++open;
        if (call.nlhs == 0) mexPrintf("link %d: %s\n", numberOf(link), openPortName(link.port));
    }
    if (call.nlhs == 0 && open == 0) say(nullptr, "no link is open.");
    if (call.nlhs >= 1) {
        call.plhs[0] = mxCreateDoubleMatrix_700(open, 1, mxREAL);
        double* numbers = mxGetPr(call.plhs[0]);
        for (Link& link : Links) {
            if (!link.port.isClosed) *numbers++ = numberOf(link);
        }
    }
}

// VelocartDriver(k, 'background', true): the module's thread reads the
// link as bytes arrive and stamps each frame then; false: the caller's
// calls read it, as by default. With an output: the setting.
void runBackground(const Call& call) {
    Link& link = call.link();
    double on = 0.0;
    if (call.argument == nullptr) {
    } else if (!readNumbers(call.argument, 1, &on) || !(on == 0.0 || on == 1.0)) {
        say(&link, "'background' takes true or false, e.g. %s(%s'background', true); it stays %s.",
            moduleName(), linkPrefix(link).text, link.backgroundWanted ? "on" : "off");
    } else if (on == 0.0 && link.log.file != kNoFile) {
        say(&link, "the log to %s needs background reading: end it first with %s(%s'log', '').",
            link.log.path, moduleName(), linkPrefix(link).text);
    } else {
        link.backgroundWanted = on != 0.0;
        if (!applyBackground(link)) say(&link, "background reading could not start; it is off.");
    }
    if (call.nlhs >= 1) {
        call.plhs[0] = mxCreateDoubleMatrix_700(1, 1, mxREAL);
        mxGetPr(call.plhs[0])[0] = link.backgroundWanted ? 1.0 : 0.0;
    }
}

// Ends the link's log, and the background reading it turned on.
void endLog(Link& link) {
    stopLog(link);
    if (!link.log.startedBackground) return;
    link.log.startedBackground = false;
    link.backgroundWanted = false;
    applyBackground(link);
}

// With an output: the file the link logs to ('' for none).
void finishLogCall(const Call& call) {
    if (call.nlhs >= 1) call.plhs[0] = mxCreateString(call.link().log.path);
}

// VelocartDriver(k, 'log', file): every status frame taken in and every
// command sent on the link, a line each, appended to the file by the
// module's thread (background reading goes on for it); '' ends it.
void runLog(const Call& call) {
    Link& link = call.link();
    const ArgumentText path(call.argument);
    if (call.argument == nullptr) {
    } else if (path.text() == nullptr) {
        say(&link, "'log' takes a file name, e.g. %s(%s'log', 'run1.csv'), or '' to end it.",
            moduleName(), linkPrefix(link).text);
    } else if (path.text()[0] == '\0') {
        endLog(link);
    } else if (link.port.isClosed) {
        say(&link, "'log' needs an open link: open it first; nothing is logged.");
    } else {
        // The log opens first, so that it has every frame the reading
        // that starts for it takes in.
        char why[160] = {};
        const bool turnsOn = !link.backgroundWanted;
        if (!startLog(link, path.text(), why, sizeof why)) {
            say(&link, "cannot log to %s: %s; nothing is logged.", path.text(), why);
            finishLogCall(call);
            return;
        }
        link.backgroundWanted = true;
        if (applyBackground(link)) {
            link.log.startedBackground = link.log.startedBackground || turnsOn;
        } else {
            say(&link,
                "background reading could not start, and the log needs it; nothing is"
                " logged.");
            stopLog(link);
        }
    }
    finishLogCall(call);
}

void runVersion(const Call& call) { call.plhs[0] = mxCreateString(kVersion); }

void runPorts(const Call& call) {
    runPortsCommand(call.nlhs, call.plhs, call.argument, moduleName());
}

// What a command gives when its link number is refused.
void refusePortStatus(const Call& call) { setPortStatus(call.plhs, -1); }
void refuseEcho(const Call& call) {
    call.plhs[0] = mxCreateNumericMatrix_700(1, 0, mxUINT8_CLASS, mxREAL);
}
void refuseLink(const Call& call) { call.plhs[0] = mxCreateDoubleMatrix_700(1, 1, mxREAL); }
void refuseNothing(const Call& call) {
    if (call.nlhs >= 1) call.plhs[0] = mxCreateDoubleMatrix_700(0, 0, mxREAL);
}

struct Command {
    const char* name;
    void (*run)(const Call& call);
    void (*refuse)(const Call& call);
    bool manyLinks;  // takes a vector of link numbers
};

constexpr Command kCommands[] = {
    {"open", runOpen, refusePortStatus, false},
    {"close", runClose, refuseNothing, false},
    {"sendVelocity", runSendVelocity, refuseEcho, true},
    {"setOdometry", runSetOdometry, refuseEcho, false},
    {"setFreeWheels", runSetFreeWheels, refuseEcho, false},
    {"read", runRead, refuseStatus, false},
    {"readLatest", runReadLatest, refuseStatus, true},
    {"readAll", runReadAll, refuseAll, false},
    {"watchdog", runWatchdog, refuseNothing, false},
    {"links", runLinks, refuseNothing, false},
    {"linkOf", runLinkOf, refuseLink, false},
    {"background", runBackground, refuseNothing, false},
    {"log", runLog, refuseNothing, false},
    {"ports", runPorts, refuseNothing, false},
    {"version", runVersion, refuseNothing, false},
};

const Command* findCommand(const char* name) {
    if (name == nullptr) return nullptr;
    for (const Command& command : kCommands) {
        if (std::strcmp(name, command.name) == 0) return &command;
    }
    return nullptr;
}

// Text that names no command is a mistake to point out, not a request for
// the banner: a misspelled 'Open' must not look like a successful open.
void runUnknownCommand(int nlhs, mxArray* plhs[], const char* name) {
    constexpr int kShownLength = 40;
    const bool cut = std::strlen(name) > static_cast<std::size_t>(kShownLength);
    mexPrintf("%s: unknown command '%.*s%s'; commands are", moduleName(), kShownLength, name,
              cut ? "..." : "");
    const char* separator = " ";
    for (const Command& command : kCommands) {
        mexPrintf("%s%s", separator, command.name);
        separator = ", ";
    }
    mexPrintf(".\n");
    printBanner();
    if (nlhs >= 1) {
        plhs[0] = mxCreateDoubleMatrix_700(1, 1, mxREAL);
        mxGetPr(plhs[0])[0] = -1.0;
    }
}

// The link numbers in the first place: a real numeric scalar from 1 to 32,
// or for commands that take several, a vector of distinct ones.
bool readLinkNumbers(const mxArray* array, const Command& command, Call& call) {
    if (!isRealNumeric(array) || mxGetClassID(array) == mxLOGICAL_CLASS) return false;
    const std::size_t count = mxGetNumberOfElements(array);
    if (count == 0 || count > kLinkCount || (count > 1 && !command.manyLinks)) return false;
    const mxClassID classId = mxGetClassID(array);
    for (std::size_t i = 0; i < count; ++i) {
        int number = 0;
        Link* link = wholeNumberIn(elementAsDouble(array, classId, i), 1, kLinkCount, number)
                         ? linkNumbered(number)
                         : nullptr;
        for (std::size_t j = 0; link != nullptr && j < i; ++j) {
            if (call.links[j] == link) link = nullptr;
        }
        if (link == nullptr) return false;
        call.links[i] = link;
    }
    call.linkCount = static_cast<int>(count);
    return true;
}

// A log the module's thread could not write ends; frames that found no
// room in it are counted.
void reportLogNews(Link& link) {
    LinkLog& log = link.log;
    std::uint64_t dropped = 0;
    {
        HeldLock held(link.framesLock);
        dropped = log.dropped;
    }
    if (dropped > log.droppedReported) {
        say(&link, "%llu frames found no room in the log to %s (the disk was too slow).",
            static_cast<unsigned long long>(dropped - log.droppedReported), log.path);
        log.droppedReported = dropped;
    }
    if (log.failed.exchange(false)) {
        say(&link, "the log to %s could not be written (%s); logging stopped, driving goes on.",
            log.path, log.why);
        endLog(link);
    }
}

// What the watchdog's thread met since the last call, said first by the
// next one, once: a robot it stopped (and how to change the setting that
// stopped it), a stop whose frame could not be written, a frame that could
// not be written.
void reportThreadNews() {
    if (!takeThreadNews()) return;
    for (Link& link : Links) {
        const double seconds = link.watchdog.seconds.load();
        if (link.watchdog.fired.exchange(false)) {
            if (link.watchdog.stopFailed.exchange(false)) {
                say(&link,
                    "no command for %g s; the watchdog tried to stop the robot, but the frame"
                    " could not be written to %s.",
                    seconds, openPortName(link.port));
            } else {
                say(&link,
                    "no command for %g s; the watchdog told the robot to stop (%s(%s'watchdog',"
                    " seconds) or VelocartRobot's 'Watchdog' option sets the time; 0 turns it"
                    " off).",
                    seconds, moduleName(), linkPrefix(link).text);
            }
        }
        if (link.port.writeFailureNews.exchange(false)) {
            say(&link, "the frame could not be written to %s.", openPortName(link.port));
        }
        reportLogNews(link);
    }
}

// A link opened by identity whose adapter went away comes back by itself at
// the first call on it once the adapter is plugged in again, under
// whatever name it has now.
void reopenReturnedLinks(const Call& call) {
    for (int k = 0; k < call.linkCount; ++k) {
        Link& link = *call.links[k];
        if (!reopenIfBack(link)) continue;
        say(nullptr, "link %d: %s is back as %s; reopened.", numberOf(link), identityOfLink(link),
            openPortName(link.port));
        if (!linkOpened(link)) sayThreadFailed(link);
    }
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    reportThreadNews();
    // VelocartDriver(k, command, ...) names a link; anything else but text
    // in the first place has no command name to match.
    const bool numbered = nrhs >= 2 && !isText(prhs[0]) && isText(prhs[1]);
    const int first = numbered ? 1 : 0;
    const ArgumentText name(nrhs > first ? prhs[first] : nullptr);
    if (!name.isText()) {
        runBanner(nlhs, plhs);
        return;
    }
    const Command* command = findCommand(name.text());
    if (command == nullptr) {
        runUnknownCommand(nlhs, plhs, name.shown());
        return;
    }
    Call call = {nlhs,        plhs, nrhs > first + 1 ? prhs[first + 1] : nullptr,
                 {&Links[0]}, 1,    numbered};
    if (numbered && !readLinkNumbers(prhs[0], *command, call)) {
        call.linkCount = 1;
        call.links[0] = &Links[0];
        say(nullptr,
            "'%s' needs a link number from 1 to %d in the first place%s, e.g. %s(2, '%s', ...).",
            command->name, kLinkCount, command->manyLinks ? " (or a vector of distinct ones)" : "",
            moduleName(), command->name);
        command->refuse(call);
        return;
    }
    if (command->run != runOpen && command->run != runClose) reopenReturnedLinks(call);
    command->run(call);
}
