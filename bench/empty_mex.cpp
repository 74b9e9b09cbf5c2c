// A MEX function that does nothing: what a call costs the host before the
// driver does any work. Built like VelocartDriver.mex, so the two differ
// only in what mexFunction does.
#include "gateway/host_api.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]) {}
