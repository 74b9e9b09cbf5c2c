// The physical floor of a driver call: the host's part of it (the command
// text, a result of the driver's class and size) plus the one system call
// the call cannot do without, and nothing else.
//   FloorMex('open', path)       opens path (no result); the line stays open
//   FloorMex('sendVelocity', v)  1x26 uint8; waits for nothing but asks the
//                                line for its output queue (the drain check)
//                                and writes 26 bytes
//   FloorMex('read'), FloorMex('readLatest')
//                                1x8 double; one non-blocking read
// Before 'open' the calls make no system call at all: the host's part alone.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "gateway/host_api.h"

namespace {

int line = -1;
std::uint8_t frame[26] = {0xAA, 0x16, 0x00, 0x03, 0x00, 0x01, 0x03};
std::uint8_t received[1020];

void openLine(const mxArray* path) {
    char* name = mxArrayToString(path);
    if (name == nullptr) return;
    line = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    mxFree(name);
    termios tio;
    if (line >= 0 && tcgetattr(line, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tcsetattr(line, TCSANOW, &tio);
    }
}

}  // namespace

extern "C" void mexFunction(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < 1) return;
    char* name = mxArrayToString(prhs[0]);
    if (name == nullptr) return;
    if (std::strcmp(name, "read") == 0 || std::strcmp(name, "readLatest") == 0) {
        plhs[0] = mxCreateDoubleMatrix_700(1, 8, mxREAL);
        if (line >= 0) (void)!read(line, received, sizeof received);
    } else if (std::strcmp(name, "sendVelocity") == 0) {
        plhs[0] = mxCreateNumericMatrix_700(1, 26, mxUINT8_CLASS, mxREAL);
        if (line >= 0) {
            int queued = 0;
            ioctl(line, TIOCOUTQ, &queued);
            (void)!write(line, frame, sizeof frame);
        }
        std::memcpy(mxGetData(plhs[0]), frame, sizeof frame);
    } else if (std::strcmp(name, "open") == 0 && nrhs >= 2) {
        openLine(prhs[1]);
    }
    mxFree(name);
}
