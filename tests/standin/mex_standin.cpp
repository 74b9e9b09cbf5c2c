// Stand-in for MATLAB's libmex, for tests only: mexPrintf collects what
// the module prints so the stand-in host can show it exactly, and mexAtExit
// keeps the handler MATLAB would run when it clears the module.
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "standin.h"

namespace {

std::string printed;
void (*exitHandler)(void) = nullptr;
std::string functionName;

}  // namespace

extern "C" {

STANDIN_EXPORT int mexPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length > 0) {
        std::vector<char> text(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        printed.append(text.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    return length;
}

// The only function the module asks the host to run is char() on a string
// scalar.
STANDIN_EXPORT mxArray* mexCallMATLABWithTrap(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                                              const char* functionName) {
    mxArray* error = nullptr;
    if (nlhs == 1 && nrhs == 1 && std::string(functionName) == "char") {
        plhs[0] = standinConvertToChar(prhs[0], &error);
    } else {
        standinConvertToChar(nullptr, &error);
    }
    return error;
}

// MATLAB's name for the function: the module file's name without its
// folder and extension, whatever the module was built as.
STANDIN_EXPORT const char* mexFunctionName(void) { return functionName.c_str(); }

STANDIN_EXPORT void standinSetFunctionName(const char* name) { functionName = name; }

STANDIN_EXPORT int mexAtExit(void (*handler)(void)) {
    exitHandler = handler;
    return 0;
}

STANDIN_EXPORT const char* standinPrinted() { return printed.c_str(); }

STANDIN_EXPORT void standinClearPrinted() { printed.clear(); }

STANDIN_EXPORT int standinRunExitHandler() {
    if (exitHandler == nullptr) return 0;
    void (*handler)(void) = exitHandler;
    exitHandler = nullptr;
    handler();
    return 1;
}
}
