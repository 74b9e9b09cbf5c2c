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

void printBanner() {
    mexPrintf("%s", kBannerRule);
    mexPrintf("VelocartDriver: drive a wheeled mobile robot over a serial port from MATLAB.\n");
    mexPrintf(
        "        Written by the VelocartDriver developers; 'help VelocartDriver' lists"
        " the commands.\n");
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

// The text of a char array, or null when the host gives none or the text
// holds a NUL: a name cut short at the NUL must not match anything.
const char* wholeText(const mxArray* array) {
    const char* text = mxArrayToString(array);
    if (text == nullptr || std::strlen(text) != mxGetNumberOfElements(array)) return nullptr;
    return text;
}

void setPortStatus(mxArray* plhs[], int status) {
    plhs[0] = mxCreateNumericMatrix_700(1, 1, mxINT8_CLASS, mxREAL);
    *static_cast<std::int8_t*>(mxGetData(plhs[0])) = static_cast<std::int8_t>(status);
}

void closeAtUnload() { closePort(); }

// Reports an open that did not succeed, with the reason when there is one
// the user can act on.
void reportOpenFailure(bool wasOpen) {
    if (wasOpen) {
        mexPrintf("VelocartDriver: %s is already open; call VelocartDriver('close') first.\n",
                  openPortName());
    }
}

void finishOpen(mxArray* plhs[], int status) {
    if (status == kPortOpen) mexAtExit(closeAtUnload);
    setPortStatus(plhs, status == kPortOpen ? 0 : -1);
}

void openByName(mxArray* plhs[], const mxArray* nameArray) {
    const char* name = wholeText(nameArray);
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
    if (nrhs >= 2 && prhs[1] != nullptr && mxGetClassID(prhs[1]) == mxCHAR_CLASS) {
        openByName(plhs, prhs[1]);
        return;
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
};

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    // Anything but text in the first place has no command name to match.
    if (nrhs < 1 || prhs[0] == nullptr || mxGetClassID(prhs[0]) != mxCHAR_CLASS) {
        runBanner(nlhs, plhs);
        return;
    }
    const char* name = wholeText(prhs[0]);
    if (name != nullptr) {
        for (const Command& command : kCommands) {
            if (std::strcmp(name, command.name) == 0) {
                command.run(nlhs, plhs, nrhs, prhs);
                return;
            }
        }
    }
    runBanner(nlhs, plhs);
}
