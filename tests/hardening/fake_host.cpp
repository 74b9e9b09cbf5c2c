#include "hardening/fake_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

struct mxArray_tag {
    bool used;
    mxClassID classId;
    int rows;
    int columns;
    alignas(double) unsigned char data[512];
};

namespace {

constexpr int kArrays = 16;
mxArray_tag arrays[kArrays];
// Arguments first, then the results of the current call.
int argumentCount = 0;

char texts[4][256];
bool textOut[4];

char printed[4096];
std::size_t printedLength = 0;

mxArray* allocate(mxClassID classId, int rows, int columns, std::size_t elementSize) {
    if (elementSize * static_cast<std::size_t>(rows * columns) > sizeof arrays[0].data) {
        return nullptr;
    }
    for (mxArray_tag& array : arrays) {
        if (array.used) continue;
        array = {true, classId, rows, columns, {}};
        return &array;
    }
    return nullptr;
}

mxArray* charArray(const char* text) {
    const int length = static_cast<int>(std::strlen(text));
    mxArray* array = allocate(mxCHAR_CLASS, 1, length, sizeof(mxChar));
    for (int i = 0; i < length; ++i) {
        reinterpret_cast<mxChar*>(array->data)[i] = static_cast<unsigned char>(text[i]);
    }
    return array;
}

}  // namespace

namespace velocart_test {

const mxArray* fakeText(const char* text) {
    ++argumentCount;
    return charArray(text);
}

const mxArray* fakeNumbers(const double* values, int count) {
    mxArray* array = allocate(mxDOUBLE_CLASS, 1, count, sizeof(double));
    std::memcpy(array->data, values, sizeof(double) * static_cast<std::size_t>(count));
    ++argumentCount;
    return array;
}

int fakeTextsOutstanding() {
    int count = 0;
    for (bool out : textOut) count += out;
    return count;
}

void fakeEndCall() {
    for (int i = argumentCount; i < kArrays; ++i) arrays[i].used = false;
}

const char* fakePrinted() { return printed; }

void fakeReset() {
    for (mxArray_tag& array : arrays) array.used = false;
    for (bool& out : textOut) out = false;
    argumentCount = 0;
}

}  // namespace velocart_test

extern "C" {

mxArray* mxCreateNumericMatrix_700(int rows, int columns, mxClassID classId, mxComplexity) {
    return allocate(classId, rows, columns, 8);
}

mxArray* mxCreateDoubleMatrix_700(int rows, int columns, mxComplexity) {
    return allocate(mxDOUBLE_CLASS, rows, columns, sizeof(double));
}

mxArray* mxCreateString(const char* text) { return charArray(text); }

// Structs hold no fields here: a value set into one goes back to the pool
// at once, so that a table of many fields fits in it.
mxArray* mxCreateStructMatrix_700(int rows, int columns, int, const char**) {
    return allocate(mxSTRUCT_CLASS, rows, columns, 0);
}

void mxSetField_700(mxArray*, int, const char*, mxArray* value) {
    if (value != nullptr) value->used = false;
}

char* mxArrayToString(const mxArray* array) {
    if (array->classId != mxCHAR_CLASS) return nullptr;
    for (int t = 0; t < 4; ++t) {
        if (textOut[t]) continue;
        const int count = array->rows * array->columns;
        for (int i = 0; i < count && i < 255; ++i) {
            texts[t][i] = static_cast<char>(reinterpret_cast<const mxChar*>(array->data)[i]);
        }
        texts[t][count < 255 ? count : 255] = '\0';
        textOut[t] = true;
        return texts[t];
    }
    return nullptr;
}

void mxFree(void* pointer) {
    for (int t = 0; t < 4; ++t) {
        if (pointer == texts[t]) textOut[t] = false;
    }
}

mxChar* mxGetChars(const mxArray* array) {
    return reinterpret_cast<mxChar*>(const_cast<unsigned char*>(array->data));
}

bool mxIsClass(const mxArray*, const char*) { return false; }

void mxDestroyArray(mxArray* array) { array->used = false; }

double* mxGetPr(const mxArray* array) {
    return reinterpret_cast<double*>(const_cast<unsigned char*>(array->data));
}

void* mxGetData(const mxArray* array) { return const_cast<unsigned char*>(array->data); }

mxClassID mxGetClassID(const mxArray* array) { return array->classId; }

std::size_t mxGetM(const mxArray* array) { return static_cast<std::size_t>(array->rows); }

std::size_t mxGetN(const mxArray* array) { return static_cast<std::size_t>(array->columns); }

std::size_t mxGetNumberOfElements(const mxArray* array) {
    return static_cast<std::size_t>(array->rows * array->columns);
}

bool mxIsComplex(const mxArray*) { return false; }

bool mxIsSparse(const mxArray*) { return false; }

int mexPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n =
        std::vsnprintf(printed + printedLength, sizeof printed - printedLength, format, args);
    va_end(args);
    if (n > 0) printedLength += static_cast<std::size_t>(n);
    if (printedLength >= sizeof printed) printedLength = sizeof printed - 1;
    return n;
}

int mexAtExit(void (*)(void)) { return 0; }

const char* mexFunctionName(void) { return "VelocartDriver"; }

bool utIsInterruptPending(void) { return false; }

mxArray* mexCallMATLABWithTrap(int, mxArray*[], int, mxArray*[], const char*) { return nullptr; }
}
