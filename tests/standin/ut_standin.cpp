// Stand-in for MATLAB's libut, for tests only: the Ctrl-C flag that
// utIsInterruptPending reports, raised by the stand-in host on a timer.
#include <atomic>

#include "standin.h"

namespace {

std::atomic<int> interruptPending{0};

}  // namespace

extern "C" {

STANDIN_EXPORT bool utIsInterruptPending(void) { return interruptPending.load() != 0; }

STANDIN_EXPORT void standinSetInterruptPending(int pending) { interruptPending.store(pending); }

STANDIN_EXPORT int standinTakeInterruptPending() { return interruptPending.exchange(0); }
}
