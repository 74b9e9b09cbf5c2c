// The host services the gateway uses, under the names of MATLAB's C API
// with 32-bit dimensions (R2017b, -compatibleArrayDims), and
// hostInterruptPending(): whether the user has asked (Ctrl-C) to stop what
// runs. Neither host signals a module: each keeps the request for itself
// and acts on it once the call returns, which is left to it.
//
// This is the only file that knows which host the module is built for:
//   VELOCART_HOST_OCTAVE   GNU Octave's own mex.h; Octave has no _700 names,
//                          so they are mapped here.
//   VELOCART_HOST_MATLAB   MATLAB's own mex.h with MX_COMPAT_32, which
//                          already spells the creation calls as _700.
//   neither                the MATLAB ABI declared here, for builds that
//                          link against import libraries of libmx/libmex.
#pragma once

#if defined(VELOCART_HOST_OCTAVE)

#include <mex.h>
#include <quit.h>

inline mxArray* mxCreateNumericMatrix_700(int rows, int columns, mxClassID classId,
                                          mxComplexity complexity) {
    return mxCreateNumericMatrix(rows, columns, classId, complexity);
}

inline mxArray* mxCreateDoubleMatrix_700(int rows, int columns, mxComplexity complexity) {
    return mxCreateDoubleMatrix(rows, columns, complexity);
}

inline mxArray* mxCreateStructMatrix_700(int rows, int columns, int fieldCount,
                                         const char** fieldNames) {
    return mxCreateStructMatrix(rows, columns, fieldCount, fieldNames);
}

inline void mxSetField_700(mxArray* array, int index, const char* field, mxArray* value) {
    mxSetField(array, index, field, value);
}

// Octave 7 takes SIGINT on a thread of its own and raises this counter at
// once; octave_signal_caught alone is set by any signal it handles
// (SIGUSR1 too), which is no request to stop.
inline bool hostInterruptPending() { return octave_interrupt_state > 0; }

#elif defined(VELOCART_HOST_MATLAB)

#include "mex.h"

// libut, undocumented but long stable: MATLAB's Ctrl-C flag, for the main
// thread only.
extern "C" bool utIsInterruptPending(void);
inline bool hostInterruptPending() { return utIsInterruptPending(); }

#else

#include <cstddef>

extern "C" {

typedef struct mxArray_tag mxArray;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX } mxComplexity;

typedef bool mxLogical;
typedef char16_t mxChar;

// libmx
mxArray* mxCreateNumericMatrix_700(int rows, int columns, mxClassID classId,
                                   mxComplexity complexity);
mxArray* mxCreateDoubleMatrix_700(int rows, int columns, mxComplexity complexity);
mxArray* mxCreateStructMatrix_700(int rows, int columns, int fieldCount, const char** fieldNames);
void mxSetField_700(mxArray* array, int index, const char* field, mxArray* value);
mxArray* mxCreateString(const char* text);
char* mxArrayToString(const mxArray* array);
void mxFree(void* pointer);
mxChar* mxGetChars(const mxArray* array);
bool mxIsClass(const mxArray* array, const char* className);
void mxDestroyArray(mxArray* array);
double* mxGetPr(const mxArray* array);
void* mxGetData(const mxArray* array);
std::size_t mxGetM(const mxArray* array);
std::size_t mxGetN(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);
std::size_t mxGetNumberOfElements(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);

// libmex
const char* mexFunctionName(void);
int mexPrintf(const char* format, ...);
int mexAtExit(void (*handler)(void));
mxArray* mexCallMATLABWithTrap(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                               const char* functionName);

// libut
bool utIsInterruptPending(void);

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
}

inline bool hostInterruptPending() { return utIsInterruptPending(); }

#endif
