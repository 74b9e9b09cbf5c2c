// t = ClockMex(): CLOCK_MONOTONIC in seconds, the clock the driver stamps
// its frames on and velocart-sim's log gives its start on. Called right
// after VelocartDriver('open') returns, it gives the link's open time, from
// which the stamps count; the stamp bench sets the two side by side.
#include <time.h>

#include "gateway/host_api.h"

extern "C" void mexFunction(int, mxArray* plhs[], int, const mxArray*[]) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    plhs[0] = mxCreateDoubleMatrix_700(1, 1, mxREAL);
    *mxGetPr(plhs[0]) = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
