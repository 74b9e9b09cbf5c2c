// Stand-in for MATLAB's libut, for tests only: the Ctrl-C flag that
// utIsInterruptPending reports, as the stand-in host says.
#include "standin.h"

namespace {

int (*interruptRaised)(void) = nullptr;

}  // namespace

extern "C" {

STANDIN_EXPORT bool utIsInterruptPending(void) {
    return interruptRaised != nullptr && interruptRaised() != 0;
}

STANDIN_EXPORT void standinSetInterruptFlag(int (*raised)(void)) { interruptRaised = raised; }
}
