// A host for the gateway that allocates nothing: arrays and texts come from
// fixed pools, so that a heap allocation seen during a call is the
// gateway's own, and every text and array the host hands out can be
// counted back in.
#pragma once

#include "gateway/host_api.h"

namespace velocart_test {

// Arguments as the host would pass them; valid until the next reset.
const mxArray* fakeText(const char* text);
const mxArray* fakeNumbers(const double* values, int count);

// Texts from mxArrayToString not yet released with mxFree, and arrays the
// host made for the module (results, conversions) not yet destroyed or
// taken back by the host at the end of the call.
int fakeTextsOutstanding();

// What the host does when a call returns: takes back the results.
void fakeEndCall();

// Everything the module printed (up to 4 kB).
const char* fakePrinted();
// Forgets the arguments, the results and the texts of earlier calls.
void fakeReset();

}  // namespace velocart_test
