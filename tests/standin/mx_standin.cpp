// Stand-in for MATLAB's libmx.dll, for tests only: the array functions the
// module imports, over the smallest array type that behaves like MATLAB's
// for them, plus the hooks of standin.h.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "standin.h"

struct mxArray_tag {
    mxClassID classId;
    int rows;
    int columns;
    bool isComplex;
    bool isSparse;
    void* data;  // column-major elements; null for cells, structs and empty arrays
};

namespace {

std::vector<mxArray*> createdThisCall;
std::vector<char*> textsThisCall;
std::string misuse;

void noteMisuse(const std::string& what) { misuse += what + "\n"; }

const char* className(mxClassID classId) {
    switch (classId) {
        case mxCELL_CLASS: return "cell";
        case mxSTRUCT_CLASS: return "struct";
        case mxLOGICAL_CLASS: return "logical";
        case mxCHAR_CLASS: return "char";
        case mxDOUBLE_CLASS: return "double";
        case mxSINGLE_CLASS: return "single";
        case mxINT8_CLASS: return "int8";
        case mxUINT8_CLASS: return "uint8";
        case mxINT16_CLASS: return "int16";
        case mxUINT16_CLASS: return "uint16";
        case mxINT32_CLASS: return "int32";
        case mxUINT32_CLASS: return "uint32";
        case mxINT64_CLASS: return "int64";
        case mxUINT64_CLASS: return "uint64";
        default: return "unknown";
    }
}

std::size_t elementSize(mxClassID classId) {
    switch (classId) {
        case mxLOGICAL_CLASS:
        case mxINT8_CLASS:
        case mxUINT8_CLASS: return 1;
        case mxCHAR_CLASS:
        case mxINT16_CLASS:
        case mxUINT16_CLASS: return 2;
        case mxSINGLE_CLASS:
        case mxINT32_CLASS:
        case mxUINT32_CLASS: return 4;
        case mxDOUBLE_CLASS:
        case mxINT64_CLASS:
        case mxUINT64_CLASS: return 8;
        default: return 0;
    }
}

bool isNumeric(mxClassID classId) {
    return classId == mxDOUBLE_CLASS || classId == mxSINGLE_CLASS ||
           (classId >= mxINT8_CLASS && classId <= mxUINT64_CLASS);
}

mxArray* newArray(mxClassID classId, int rows, int columns) {
    mxArray* array =
        new mxArray_tag{classId, std::max(rows, 0), std::max(columns, 0), false, false, nullptr};
    const std::size_t bytes = elementSize(classId) * static_cast<std::size_t>(array->rows) *
                              static_cast<std::size_t>(array->columns);
    if (bytes > 0) array->data = std::calloc(bytes, 1);
    return array;
}

void deleteArray(mxArray* array) {
    if (array == nullptr) return;
    std::free(array->data);
    delete array;
}

// A module-facing accessor was handed no array at all.
bool missing(const mxArray* array, const char* function) {
    if (array != nullptr) return false;
    noteMisuse(std::string(function) + " on a null array");
    return true;
}

}  // namespace

extern "C" {

__declspec(dllexport) mxArray* mxCreateNumericMatrix_700(int rows, int columns, mxClassID classId,
                                                         mxComplexity complexity) {
    if (rows < 0 || columns < 0) noteMisuse("mxCreateNumericMatrix_700 with a negative size");
    if (!isNumeric(classId) && classId != mxLOGICAL_CLASS) {
        noteMisuse(std::string("mxCreateNumericMatrix_700 of class ") + className(classId));
    }
    if (complexity != mxREAL) noteMisuse("mxCreateNumericMatrix_700 of a complex array");
    mxArray* array = newArray(classId, rows, columns);
    createdThisCall.push_back(array);
    return array;
}

__declspec(dllexport) mxArray* mxCreateDoubleMatrix_700(int rows, int columns,
                                                        mxComplexity complexity) {
    if (rows < 0 || columns < 0) noteMisuse("mxCreateDoubleMatrix_700 with a negative size");
    if (complexity != mxREAL) noteMisuse("mxCreateDoubleMatrix_700 of a complex array");
    mxArray* array = newArray(mxDOUBLE_CLASS, rows, columns);
    createdThisCall.push_back(array);
    return array;
}

// MATLAB returns null for anything but a char array, and frees the text
// itself when the call returns.
__declspec(dllexport) char* mxArrayToString(const mxArray* array) {
    if (missing(array, "mxArrayToString") || array->classId != mxCHAR_CLASS) return nullptr;
    const std::size_t count =
        static_cast<std::size_t>(array->rows) * static_cast<std::size_t>(array->columns);
    char* text = static_cast<char*>(std::malloc(count + 1));
    const auto* units = static_cast<const std::uint16_t*>(array->data);
    for (std::size_t i = 0; i < count; ++i) {
        text[i] = units[i] < 0x80 ? static_cast<char>(units[i]) : '?';
    }
    text[count] = '\0';
    textsThisCall.push_back(text);
    return text;
}

__declspec(dllexport) double* mxGetPr(const mxArray* array) {
    if (missing(array, "mxGetPr")) return nullptr;
    if (array->classId != mxDOUBLE_CLASS) {
        noteMisuse(std::string("mxGetPr on a ") + className(array->classId) + " array");
    }
    return static_cast<double*>(array->data);
}

__declspec(dllexport) void* mxGetData(const mxArray* array) {
    if (missing(array, "mxGetData")) return nullptr;
    return array->data;
}

__declspec(dllexport) mxClassID mxGetClassID(const mxArray* array) {
    if (missing(array, "mxGetClassID")) return mxUNKNOWN_CLASS;
    return array->classId;
}

__declspec(dllexport) std::size_t mxGetNumberOfElements(const mxArray* array) {
    if (missing(array, "mxGetNumberOfElements")) return 0;
    return static_cast<std::size_t>(array->rows) * static_cast<std::size_t>(array->columns);
}

__declspec(dllexport) bool mxIsComplex(const mxArray* array) {
    return !missing(array, "mxIsComplex") && array->isComplex;
}

__declspec(dllexport) bool mxIsSparse(const mxArray* array) {
    return !missing(array, "mxIsSparse") && array->isSparse;
}

// Hooks for standin-host.exe.

__declspec(dllexport) mxArray* standinCreateArray(mxClassID classId, int rows, int columns) {
    return newArray(classId, rows, columns);
}

__declspec(dllexport) mxArray* standinCreateString(const char* text) {
    const int length = static_cast<int>(std::strlen(text));
    mxArray* array = newArray(mxCHAR_CLASS, length == 0 ? 0 : 1, length);
    auto* units = static_cast<std::uint16_t*>(array->data);
    for (int i = 0; i < length; ++i) units[i] = static_cast<unsigned char>(text[i]);
    return array;
}

__declspec(dllexport) void standinMarkComplex(mxArray* array) { array->isComplex = true; }

__declspec(dllexport) void standinMarkSparse(mxArray* array) { array->isSparse = true; }

__declspec(dllexport) void standinGetSize(const mxArray* array, int* rows, int* columns) {
    *rows = array->rows;
    *columns = array->columns;
}

__declspec(dllexport) void standinDestroyArray(mxArray* array) { deleteArray(array); }

__declspec(dllexport) int standinEndCall(mxArray* const* kept, int keptCount) {
    for (char* text : textsThisCall) {
        std::memset(text, 0xDD, std::strlen(text));
        std::free(text);
    }
    textsThisCall.clear();
    int dropped = 0;
    for (mxArray* array : createdThisCall) {
        if (std::find(kept, kept + keptCount, array) == kept + keptCount) {
            deleteArray(array);
            ++dropped;
        }
    }
    createdThisCall.clear();
    misuse.clear();
    return dropped;
}

__declspec(dllexport) const char* standinMisuse() { return misuse.c_str(); }
}
