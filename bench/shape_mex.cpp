// The host's part of a driver call: takes the command text and hands back a
// result of the driver's class and size, but sends and reads nothing. The
// gap between this and VelocartDriver is what the driver itself costs.
#include <cstring>

#include "gateway/host_api.h"

extern "C" void mexFunction(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < 1) return;
    const char* name = mxArrayToString(prhs[0]);
    if (name == nullptr) return;
    if (std::strcmp(name, "read") == 0) {
        plhs[0] = mxCreateDoubleMatrix_700(1, 8, mxREAL);
    } else if (std::strcmp(name, "sendVelocity") == 0) {
        plhs[0] = mxCreateNumericMatrix_700(1, 26, mxUINT8_CLASS, mxREAL);
    }
}
