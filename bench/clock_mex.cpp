// t = ClockMex(): CLOCK_MONOTONIC in seconds, the clock the driver stamps
// its frames on and velocart-sim's log gives its start on. Read right after
// a call that returned a stamp, less that stamp, it is an upper bound of the
// link's open time, which the stamps count from: stamp_bench.m puts the
// stamps and the log on one clock that way.
#include <time.h>

#include "gateway/host_api.h"

extern "C" void mexFunction(int, mxArray* plhs[], int, const mxArray*[]) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    plhs[0] = mxCreateDoubleMatrix_700(1, 1, mxREAL);
    *mxGetPr(plhs[0]) = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
