// VelocartDriver's entry point: VelocartDriver(command, argument).
//
// Every outcome reaches the caller as a result array or a console line; the
// module never raises an error into the host, whatever it is handed.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "gateway/host_api.h"
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

using Handler = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

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

void printBanner() {
    mexPrintf("%s", kBannerRule);
    mexPrintf("VelocartDriver: drive a wheeled mobile robot over a serial port from MATLAB.\n");
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

// Reads element `index` of a real numeric or logical array as a double,
// whatever its class.
double elementAsDouble(const mxArray* array, mxClassID classId, std::size_t index) {
    const void* data = mxGetData(array);
    switch (classId) {
        case mxDOUBLE_CLASS: return mxGetPr(array)[index];
        case mxSINGLE_CLASS: return static_cast<const float*>(data)[index];
        case mxLOGICAL_CLASS: return static_cast<const mxLogical*>(data)[index] ? 1.0 : 0.0;
        case mxINT8_CLASS: return static_cast<const std::int8_t*>(data)[index];
        case mxUINT8_CLASS: return static_cast<const std::uint8_t*>(data)[index];
        case mxINT16_CLASS: return static_cast<const std::int16_t*>(data)[index];
        case mxUINT16_CLASS: return static_cast<const std::uint16_t*>(data)[index];
        case mxINT32_CLASS: return static_cast<const std::int32_t*>(data)[index];
        case mxUINT32_CLASS: return static_cast<const std::uint32_t*>(data)[index];
        case mxINT64_CLASS:
            return static_cast<double>(static_cast<const std::int64_t*>(data)[index]);
        case mxUINT64_CLASS:
            return static_cast<double>(static_cast<const std::uint64_t*>(data)[index]);
        default: return 0.0;
    }
}

bool isRealNumericClass(mxClassID classId) {
    switch (classId) {
        case mxDOUBLE_CLASS:
        case mxSINGLE_CLASS:
        case mxLOGICAL_CLASS:
        case mxINT8_CLASS:
        case mxUINT8_CLASS:
        case mxINT16_CLASS:
        case mxUINT16_CLASS:
        case mxINT32_CLASS:
        case mxUINT32_CLASS:
        case mxINT64_CLASS:
        case mxUINT64_CLASS: return true;
        default: return false;
    }
}

// The first `count` elements of the second argument, if it is a real,
// full numeric or logical array holding at least that many.
bool readNumbers(int nrhs, const mxArray* prhs[], std::size_t count, double* values) {
    if (nrhs < 2 || prhs[1] == nullptr) return false;
    const mxArray* array = prhs[1];
    const mxClassID classId = mxGetClassID(array);
    if (!isRealNumericClass(classId) || mxIsComplex(array) || mxIsSparse(array)) return false;
    if (mxGetNumberOfElements(array) < count) return false;
    for (std::size_t i = 0; i < count; ++i) values[i] = elementAsDouble(array, classId, i);
    return true;
}

float toSingle(double value) { return static_cast<float>(value); }

// The text of an argument, for as long as this object lives: a char array,
// or a MATLAB string scalar converted through the host's own char(). The
// text handed out by the host is released here (Octave does not release it
// when the call returns), and so is the converted array.
class ArgumentText {
public:
    explicit ArgumentText(const mxArray* array) {
        if (array == nullptr) return;
        if (mxGetClassID(array) == mxCHAR_CLASS) {
            isText_ = true;
            take(array);
        } else if (mxIsClass(array, "string") && mxGetNumberOfElements(array) == 1) {
            isText_ = true;
            convertString(array);
        }
    }
    ~ArgumentText() {
        if (text_ != nullptr) mxFree(text_);
        if (converted_ != nullptr) mxDestroyArray(converted_);
    }
    ArgumentText(const ArgumentText&) = delete;
    ArgumentText& operator=(const ArgumentText&) = delete;

    // Char text or a string scalar, whether or not it could be read.
    bool isText() const { return isText_; }
    // The whole text, or null when there is none to use: the host gave
    // none, or it holds a NUL, so that a name cut short there matches nothing.
    const char* text() const { return whole_ ? text_ : nullptr; }
    // The text as a message may quote it.
    const char* shown() const {
        if (whole_) return text_;
        return text_ != nullptr ? "(text holding a NUL)" : "(text that cannot be read)";
    }

private:
    // A failed conversion (a missing string) must not raise a host error:
    // the trap hands the error back, and it is let go.
    void convertString(const mxArray* array) {
        mxArray* in[1] = {const_cast<mxArray*>(array)};
        mxArray* out[1] = {nullptr};
        mxArray* failure = mexCallMATLABWithTrap(1, out, 1, in, "char");
        if (failure != nullptr) {
            mxDestroyArray(failure);
            return;
        }
        converted_ = out[0];
        if (converted_ != nullptr && mxGetClassID(converted_) == mxCHAR_CLASS) take(converted_);
    }

    // The host's text may count bytes in the locale's encoding, which differ
    // from the characters, so the NUL is looked for among the characters.
    void take(const mxArray* array) {
        text_ = mxArrayToString(array);
        if (text_ == nullptr) return;
        const mxChar* chars = mxGetChars(array);
        const std::size_t count = mxGetNumberOfElements(array);
        whole_ = true;
        for (std::size_t i = 0; chars != nullptr && i < count; ++i) {
            if (chars[i] == 0) whole_ = false;
        }
    }

    char* text_ = nullptr;
    mxArray* converted_ = nullptr;
    bool isText_ = false;
    bool whole_ = false;
};

void setPortStatus(mxArray* plhs[], int status) {
    plhs[0] = mxCreateNumericMatrix_700(1, 1, mxINT8_CLASS, mxREAL);
    *static_cast<std::int8_t*>(mxGetData(plhs[0])) = static_cast<std::int8_t>(status);
}

void closeAtUnload() { closePort(); }

// The hint that goes with a reason the user can act on.
const char* hintFor(OpenProblem problem) {
    switch (problem) {
        case OpenProblem::Busy: return "; another program holds the port: close it there first";
        case OpenProblem::AccessDenied:
            return "; on Linux, join the dialout group (sudo usermod -aG dialout $USER) and log in"
                   " again";
        case OpenProblem::NotSerial: return "; it is not a serial port";
        case OpenProblem::SettingsRejected: return "; the port refused 115200 baud 8N1";
        default: return "";
    }
}

// Reports why an open did not succeed, in one line after the failure line.
void reportOpenFailure(bool wasOpen) {
    if (wasOpen && !SerialLink.isClosed) {
        mexPrintf("VelocartDriver: %s is already open; call VelocartDriver('close') first.\n",
                  openPortName());
        return;
    }
    const OpenFailure& failure = lastOpenFailure();
    if (failure.problem == OpenProblem::None) return;
    const char* text = failure.systemText[0] != '\0' ? failure.systemText : "refused";
    mexPrintf("VelocartDriver: %s%s.\n", text, hintFor(failure.problem));
}

void finishOpen(mxArray* plhs[], int status) {
    if (status == kPortOpen) mexAtExit(closeAtUnload);
    setPortStatus(plhs, status == kPortOpen ? 0 : -1);
}

void openByName(mxArray* plhs[], const ArgumentText& nameText) {
    const char* name = nameText.text();
    if (name == nullptr || name[0] == '\0') {
        mexPrintf(
            "VelocartDriver: 'open' needs a port number or a device name,"
            " e.g. VelocartDriver('open', 3).\n");
        setPortStatus(plhs, -1);
        return;
    }
    const bool wasOpen = !SerialLink.isClosed;
    const int status = openPortByName(name, kLineBaudRate);
    if (status == kPortOpen) {
        mexPrintf("Port %s is opened successfully.\n", name);
    } else {
        mexPrintf("I cannot open %s!\n", name);
        reportOpenFailure(wasOpen);
    }
    finishOpen(plhs, status);
}

void runOpen(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs >= 2 && prhs[1] != nullptr && !isRealNumericClass(mxGetClassID(prhs[1]))) {
        const ArgumentText name(prhs[1]);
        if (name.isText()) {
            openByName(plhs, name);
            return;
        }
    }
    double number = 0.0;
    if (!readNumbers(nrhs, prhs, 1, &number)) {
        mexPrintf(
            "VelocartDriver: 'open' needs a port number or a device name,"
            " e.g. VelocartDriver('open', 3).\n");
        setPortStatus(plhs, -1);
        return;
    }
    // Test before converting: NaN, infinities and huge values have no
    // integer value, and converting them is undefined.
    if (!std::isfinite(number)) {
        mexPrintf("VelocartDriver: 'open' needs a finite port number, not %s.\n",
                  std::isnan(number) ? "NaN" : "Inf");
        setPortStatus(plhs, -1);
        return;
    }
    const double truncated = std::trunc(number);
    if (truncated < -2147483648.0 || truncated > 2147483647.0) {
        mexPrintf(
            "VelocartDriver: port number %.0f is out of range; ports run from COM%d to COM%d.\n",
            truncated, kFirstPortNumber, kLastPortNumber);
        setPortStatus(plhs, -1);
        return;
    }
    const int port = static_cast<int>(truncated);
    const bool wasOpen = !SerialLink.isClosed;
    const int status = openPort(port, kLineBaudRate);
    if (status == kPortOpen) {
        mexPrintf("Port COM%d is opened successfully.\n", port);
    } else {
        mexPrintf("I cannot open COM%d!\n", port);
        if (port < kFirstPortNumber || port > kLastPortNumber) {
            mexPrintf("VelocartDriver: ports run from COM%d to COM%d.\n", kFirstPortNumber,
                      kLastPortNumber);
        } else {
            reportOpenFailure(wasOpen);
        }
    }
    finishOpen(plhs, status);
}

void runClose(int, mxArray*[], int, const mxArray*[]) { closePort(); }

// Creates the echo, sends CommandFrame and copies it into the echo. A line
// that stops taking frames is reported once, not on every call.
void sendCommandFrame(mxArray* plhs[]) {
    plhs[0] = mxCreateNumericMatrix_700(1, kCommandFrameSize, mxUINT8_CLASS, mxREAL);
    const bool wasOpen = !SerialLink.isClosed;
    const bool wasFailing = SerialLink.writeFailing;
    const bool written = writeFrame(CommandFrame.bytes, kCommandFrameSize);
    if (wasOpen && !written && !wasFailing) {
        mexPrintf("VelocartDriver: the frame could not be written to %s.\n", openPortName());
    }
    std::memcpy(mxGetData(plhs[0]), CommandFrame.bytes, kCommandFrameSize);
}

void refuseFrame(mxArray* plhs[], const char* command, const char* needs, const char* example) {
    mexPrintf("VelocartDriver: '%s' needs %s, e.g. VelocartDriver('%s', %s); nothing was sent.\n",
              command, needs, command, example);
    plhs[0] = mxCreateNumericMatrix_700(1, 0, mxUINT8_CLASS, mxREAL);
}

void runSendVelocity(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    double v[2];
    if (!readNumbers(nrhs, prhs, 2, v)) {
        refuseFrame(plhs, "sendVelocity", "a real numeric array of 2 velocities", "[0.2 0.5]");
        return;
    }
    encodeVelocity(toSingle(v[0]), toSingle(v[1]));
    sendCommandFrame(plhs);
}

void runSetOdometry(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    double odometry[3];
    if (!readNumbers(nrhs, prhs, 3, odometry)) {
        refuseFrame(plhs, "setOdometry", "a real numeric array of 3 odometry values", "[0 0 0]");
        return;
    }
    encodeOdometry(toSingle(odometry[0]), toSingle(odometry[1]), toSingle(odometry[2]));
    sendCommandFrame(plhs);
}

void runSetFreeWheels(int, mxArray* plhs[], int, const mxArray*[]) {
    encodeFreeWheels();
    sendCommandFrame(plhs);
}

void runRead(int, mxArray* plhs[], int, const mxArray*[]) {
    readAvailable();
    const bool valid = checkStatusFrame(SerialLink.receiveBuffer);
    plhs[0] = mxCreateDoubleMatrix_700(1, kStatusVectorSize, mxREAL);
    decodeStatus(SerialLink.receiveBuffer, valid, mxGetPr(plhs[0]));
}

// readLatest keeps, between calls, the frame half received and the newest
// frame accepted. Both are static and fixed in size; the constant
// initialisers leave nothing to run at load.
class LatestStatus : public FrameListener {
public:
    void onFrame(const std::uint8_t* frame) override {
        std::memcpy(bytes, frame, kStatusFrameSize);
        fresh = true;
        seen = true;
    }

    std::uint8_t bytes[kStatusFrameSize] = {};
    bool fresh = false;  // a frame was completed since the last readLatest
    bool seen = false;   // a frame was ever accepted
    // The connection the half-received frame came from: a new one starts
    // without it.
    std::uint32_t openCount = 0;
};

LatestStatus Latest;
FrameAssembler StatusAssembler{kStatusFrameFormat};

constexpr double kLongestWait = 60.0;

// Takes each delivery; wants nothing more once a frame is complete, else
// the bytes that would complete the frame under way.
int feedStatus(const std::uint8_t* bytes, int count, void*) {
    StatusAssembler.feed(bytes, static_cast<std::size_t>(count), Latest);
    return Latest.fresh ? 0 : StatusAssembler.missing();
}

void receiveLatest(double timeout) {
    if (Latest.openCount != SerialLink.openCount) {
        StatusAssembler.reset();
        Latest.openCount = SerialLink.openCount;
    }
    const bool wasFailing = SerialLink.readFailing;
    std::uint8_t scratch[kReceiveBufferSize];
    const ReceiveOutcome outcome =
        receiveUntil(scratch, kReceiveBufferSize, timeout, feedStatus, nullptr);
    if (outcome == ReceiveOutcome::HungUp && !wasFailing) {
        mexPrintf("VelocartDriver: %s hung up; open it again once it is back.\n", openPortName());
    }
}

void runReadLatest(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    double timeout = 0.0;
    // NaN fails both comparisons.
    const bool refused = nrhs >= 2 && (!readNumbers(nrhs, prhs, 1, &timeout) ||
                                       !(timeout >= 0.0 && timeout <= kLongestWait));
    if (refused) {
        mexPrintf(
            "VelocartDriver: 'readLatest' takes a timeout in seconds from 0 to 60,"
            " e.g. VelocartDriver('readLatest', 0.1); nothing was read.\n");
    } else {
        receiveLatest(timeout);
    }
    plhs[0] = mxCreateDoubleMatrix_700(1, kStatusVectorSize, mxREAL);
    double* vector = mxGetPr(plhs[0]);
    decodeStatus(Latest.bytes, Latest.seen, vector);
    vector[0] = Latest.fresh ? 1.0 : 0.0;
    Latest.fresh = false;
}

void runVersion(int, mxArray* plhs[], int, const mxArray*[]) { plhs[0] = mxCreateString(kVersion); }

struct Command {
    const char* name;
    Handler run;
};

constexpr Command kCommands[] = {
    {"open", runOpen},
    {"close", runClose},
    {"sendVelocity", runSendVelocity},
    {"setOdometry", runSetOdometry},
    {"setFreeWheels", runSetFreeWheels},
    {"read", runRead},
    {"readLatest", runReadLatest},
    {"version", runVersion},
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
    mexPrintf("VelocartDriver: unknown command '%.*s%s'; commands are", kShownLength, name,
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

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    // Anything but text in the first place has no command name to match.
    const ArgumentText name(nrhs >= 1 ? prhs[0] : nullptr);
    if (!name.isText()) {
        runBanner(nlhs, plhs);
        return;
    }
    const Command* command = findCommand(name.text());
    if (command == nullptr) {
        runUnknownCommand(nlhs, plhs, name.shown());
        return;
    }
    command->run(nlhs, plhs, nrhs, prhs);
}
