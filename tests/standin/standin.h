// Test-only hooks of the stand-in MATLAB host. The stand-in libmx and libmex
// (DLLs on Windows, shared objects on Linux) implement the host functions the
// module imports; these extra exports let standin-host build arguments, read
// results and do what MATLAB does between calls. The module itself never
// sees them.
#pragma once

#include "gateway/host_api.h"

// Marks what the stand-in libraries export to the module and the host.
#ifdef _WIN32
#define STANDIN_EXPORT __declspec(dllexport)
#else
#define STANDIN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// libmx: arrays the host hands to the module. Numeric and logical arrays
// start zeroed; char arrays hold UTF-16 units as in MATLAB; cells and
// structs carry no data the module could read.
mxArray* standinCreateArray(mxClassID classId, int rows, int columns);
mxArray* standinCreateString(const char* text);  // UTF-8 in, UTF-16 units held
// A MATLAB string scalar (an object only char() can read), possibly <missing>.
mxArray* standinCreateStringObject(const char* text, int isMissing);
// char() of a string scalar: a char array the module owns, or null and an
// error object (also the module's) for anything else.
mxArray* standinConvertToChar(const mxArray* array, mxArray** error);
void standinMarkComplex(mxArray* array);
void standinMarkSparse(mxArray* array);
void standinGetSize(const mxArray* array, int* rows, int* columns);
void standinDestroyArray(mxArray* array);
// A struct array's fields, and the value of one in element `index` (null
// if the module set none).
int standinFieldCount(const mxArray* array);
const char* standinFieldName(const mxArray* array, int field);
const mxArray* standinFieldValue(const mxArray* array, int index, int field);

// libmx: what MATLAB does when a call returns. Releases the texts handed
// out by mxArrayToString that the module did not release itself (a misuse:
// Octave would leak them; overwritten first, so a text kept past its call
// reads back as garbage) and the arrays the module created but did not
// return; `kept` are the returned ones. Returns how many arrays were
// created and not returned.
int standinEndCall(mxArray* const* kept, int keptCount);

// libmx: uses of the API outside its contract since the last time this was
// called, one per line ("" if none).
const char* standinTakeMisuse();

// libmex: everything mexPrintf produced since the last clear.
const char* standinPrinted();
void standinClearPrinted();

// libmex: runs the handler registered with mexAtExit, as MATLAB does when it
// clears the module. Returns 1 if there was one.
int standinRunExitHandler();

// libmex: the name mexFunctionName gives, as MATLAB takes it from the file.
void standinSetFunctionName(const char* name);

// libut: MATLAB's Ctrl-C flag, which utIsInterruptPending reports: up while
// RAISED, the host's, returns nonzero.
void standinSetInterruptFlag(int (*raised)(void));
}
