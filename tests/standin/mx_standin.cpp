// Stand-in for MATLAB's libmx, for tests only: the array functions the
// module imports, over the smallest array type that behaves like MATLAB's
// for them, plus the hooks of standin.h.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "standin.h"

// A MATLAB string scalar is an object: its class ID says nothing, its
// class name is "string", and only the host can turn it into a char array.
struct mxArray_tag {
    mxClassID classId;
    int rows;
    int columns;
    bool isComplex;
    bool isSparse;
    void* data;  // column-major elements; null for cells, structs and empty arrays
    bool isString = false;
    bool isMissing = false;            // a string scalar holding <missing>
    std::vector<std::uint16_t> units;  // a string scalar's text
    // A struct array's field names, and its values element by element (the
    // struct owns them; null where none was set).
    std::vector<std::string> fields;
    std::vector<mxArray*> values;
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
    mxArray* array = new mxArray_tag{classId,
                                     std::max(rows, 0),
                                     std::max(columns, 0),
                                     false,
                                     false,
                                     nullptr,
                                     false,
                                     false,
                                     {},
                                     {},
                                     {}};
    const std::size_t bytes = elementSize(classId) * static_cast<std::size_t>(array->rows) *
                              static_cast<std::size_t>(array->columns);
    if (bytes > 0) array->data = std::calloc(bytes, 1);
    return array;
}

void deleteArray(mxArray* array) {
    if (array == nullptr) return;
    for (mxArray* value : array->values) deleteArray(value);
    std::free(array->data);
    delete array;
}

// UTF-8 to UTF-16 units, as MATLAB holds text (no surrogates needed here).
std::vector<std::uint16_t> unitsOf(const char* text) {
    std::vector<std::uint16_t> units;
    for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
        std::uint16_t unit = *p++;
        if (unit >= 0xE0 && p[0] != 0 && p[1] != 0) {
            unit = static_cast<std::uint16_t>(((unit & 0x0F) << 12) | ((p[0] & 0x3F) << 6) |
                                              (p[1] & 0x3F));
            p += 2;
        } else if (unit >= 0xC0 && p[0] != 0) {
            unit = static_cast<std::uint16_t>(((unit & 0x1F) << 6) | (p[0] & 0x3F));
            p += 1;
        }
        units.push_back(unit);
    }
    return units;
}

// UTF-16 units to UTF-8, as MATLAB hands out text on a UTF-8 system: the
// byte count is not the character count.
std::string utf8Of(const std::uint16_t* units, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned unit = units[i];
        if (unit < 0x80) {
            text += static_cast<char>(unit);
        } else if (unit < 0x800) {
            text += static_cast<char>(0xC0 | (unit >> 6));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | (unit >> 12));
            text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return text;
}

mxArray* charArray(const std::vector<std::uint16_t>& units) {
    const int length = static_cast<int>(units.size());
    mxArray* array = newArray(mxCHAR_CLASS, length == 0 ? 0 : 1, length);
    if (length > 0) std::memcpy(array->data, units.data(), units.size() * sizeof units[0]);
    return array;
}

// A module-facing accessor was handed no array at all.
bool missing(const mxArray* array, const char* function) {
    if (array != nullptr) return false;
    noteMisuse(std::string(function) + " on a null array");
    return true;
}

}  // namespace

extern "C" {

STANDIN_EXPORT mxArray* mxCreateNumericMatrix_700(int rows, int columns, mxClassID classId,
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

STANDIN_EXPORT mxArray* mxCreateDoubleMatrix_700(int rows, int columns, mxComplexity complexity) {
    if (rows < 0 || columns < 0) noteMisuse("mxCreateDoubleMatrix_700 with a negative size");
    if (complexity != mxREAL) noteMisuse("mxCreateDoubleMatrix_700 of a complex array");
    mxArray* array = newArray(mxDOUBLE_CLASS, rows, columns);
    createdThisCall.push_back(array);
    return array;
}

STANDIN_EXPORT mxArray* mxCreateStructMatrix_700(int rows, int columns, int fieldCount,
                                                 const char** fieldNames) {
    if (rows < 0 || columns < 0 || fieldCount < 0) {
        noteMisuse("mxCreateStructMatrix_700 with a negative size");
    }
    mxArray* array = newArray(mxSTRUCT_CLASS, rows, columns);
    for (int k = 0; k < fieldCount; ++k) array->fields.emplace_back(fieldNames[k]);
    array->values.assign(array->fields.size() * static_cast<std::size_t>(array->rows) *
                             static_cast<std::size_t>(array->columns),
                         nullptr);
    createdThisCall.push_back(array);
    return array;
}

// MATLAB's struct takes the value over: the module must not destroy it,
// and it must be an array of the module's own.
STANDIN_EXPORT void mxSetField_700(mxArray* array, int index, const char* field, mxArray* value) {
    if (missing(array, "mxSetField_700") || missing(value, "mxSetField_700")) return;
    const auto name = std::find(array->fields.begin(), array->fields.end(), field);
    const std::size_t count =
        static_cast<std::size_t>(array->rows) * static_cast<std::size_t>(array->columns);
    if (array->classId != mxSTRUCT_CLASS || name == array->fields.end() || index < 0 ||
        static_cast<std::size_t>(index) >= count) {
        noteMisuse(std::string("mxSetField_700 of field ") + field + " outside the struct");
        return;
    }
    const auto owned = std::find(createdThisCall.begin(), createdThisCall.end(), value);
    if (owned == createdThisCall.end()) {
        noteMisuse("mxSetField_700 of an array the module does not own");
        return;
    }
    createdThisCall.erase(owned);
    mxArray*& slot = array->values[static_cast<std::size_t>(index) * array->fields.size() +
                                   static_cast<std::size_t>(name - array->fields.begin())];
    deleteArray(slot);
    slot = value;
}

STANDIN_EXPORT mxArray* mxCreateString(const char* text) {
    mxArray* array = charArray(unitsOf(text));
    createdThisCall.push_back(array);
    return array;
}

// MATLAB returns null for anything but a char array. It would free the
// text when the call returns, but Octave does not, so the module must
// release each text with mxFree: one left over is a fault here.
STANDIN_EXPORT char* mxArrayToString(const mxArray* array) {
    if (missing(array, "mxArrayToString") || array->classId != mxCHAR_CLASS) return nullptr;
    const std::size_t count =
        static_cast<std::size_t>(array->rows) * static_cast<std::size_t>(array->columns);
    const std::string utf8 = utf8Of(static_cast<const std::uint16_t*>(array->data), count);
    char* text = static_cast<char*>(std::malloc(utf8.size() + 1));
    std::memcpy(text, utf8.c_str(), utf8.size() + 1);
    textsThisCall.push_back(text);
    return text;
}

STANDIN_EXPORT void mxFree(void* pointer) {
    if (pointer == nullptr) return;
    const auto found = std::find(textsThisCall.begin(), textsThisCall.end(), pointer);
    if (found == textsThisCall.end()) {
        noteMisuse("mxFree of memory the host did not hand out in this call");
        return;
    }
    textsThisCall.erase(found);
    std::free(pointer);
}

STANDIN_EXPORT mxChar* mxGetChars(const mxArray* array) {
    if (missing(array, "mxGetChars")) return nullptr;
    if (array->classId != mxCHAR_CLASS) return nullptr;
    return static_cast<mxChar*>(array->data);
}

STANDIN_EXPORT bool mxIsClass(const mxArray* array, const char* name) {
    if (missing(array, "mxIsClass")) return false;
    if (array->isString) return std::strcmp(name, "string") == 0;
    return std::strcmp(name, className(array->classId)) == 0;
}

// Arrays the module created or was given by the host for its own use.
STANDIN_EXPORT void mxDestroyArray(mxArray* array) {
    if (array == nullptr) return;
    const auto found = std::find(createdThisCall.begin(), createdThisCall.end(), array);
    if (found == createdThisCall.end()) {
        noteMisuse("mxDestroyArray of an array the module does not own");
        return;
    }
    createdThisCall.erase(found);
    deleteArray(array);
}

STANDIN_EXPORT double* mxGetPr(const mxArray* array) {
    if (missing(array, "mxGetPr")) return nullptr;
    if (array->classId != mxDOUBLE_CLASS) {
        noteMisuse(std::string("mxGetPr on a ") + className(array->classId) + " array");
    }
    return static_cast<double*>(array->data);
}

STANDIN_EXPORT void* mxGetData(const mxArray* array) {
    if (missing(array, "mxGetData")) return nullptr;
    return array->data;
}

STANDIN_EXPORT mxClassID mxGetClassID(const mxArray* array) {
    if (missing(array, "mxGetClassID")) return mxUNKNOWN_CLASS;
    return array->classId;
}

STANDIN_EXPORT std::size_t mxGetM(const mxArray* array) {
    if (missing(array, "mxGetM")) return 0;
    return static_cast<std::size_t>(array->rows);
}

STANDIN_EXPORT std::size_t mxGetN(const mxArray* array) {
    if (missing(array, "mxGetN")) return 0;
    return static_cast<std::size_t>(array->columns);
}

STANDIN_EXPORT std::size_t mxGetNumberOfElements(const mxArray* array) {
    if (missing(array, "mxGetNumberOfElements")) return 0;
    return static_cast<std::size_t>(array->rows) * static_cast<std::size_t>(array->columns);
}

STANDIN_EXPORT bool mxIsComplex(const mxArray* array) {
    return !missing(array, "mxIsComplex") && array->isComplex;
}

STANDIN_EXPORT bool mxIsSparse(const mxArray* array) {
    return !missing(array, "mxIsSparse") && array->isSparse;
}

// Hooks for standin-host.

STANDIN_EXPORT mxArray* standinCreateArray(mxClassID classId, int rows, int columns) {
    return newArray(classId, rows, columns);
}

STANDIN_EXPORT mxArray* standinCreateString(const char* text) { return charArray(unitsOf(text)); }

STANDIN_EXPORT mxArray* standinCreateStringObject(const char* text, int isMissing) {
    mxArray* array = newArray(mxUNKNOWN_CLASS, 1, 1);
    array->isString = true;
    array->isMissing = isMissing != 0;
    array->units = unitsOf(text);
    return array;
}

// What MATLAB's char() does with a string scalar: a new char array the
// caller owns, or an error for a missing string.
STANDIN_EXPORT mxArray* standinConvertToChar(const mxArray* array, mxArray** error) {
    *error = nullptr;
    if (array == nullptr || !array->isString || array->isMissing) {
        *error = newArray(mxSTRUCT_CLASS, 1, 1);
        createdThisCall.push_back(*error);
        return nullptr;
    }
    mxArray* converted = charArray(array->units);
    createdThisCall.push_back(converted);
    return converted;
}

STANDIN_EXPORT void standinMarkComplex(mxArray* array) { array->isComplex = true; }

STANDIN_EXPORT void standinMarkSparse(mxArray* array) { array->isSparse = true; }

STANDIN_EXPORT void standinGetSize(const mxArray* array, int* rows, int* columns) {
    *rows = array->rows;
    *columns = array->columns;
}

STANDIN_EXPORT void standinDestroyArray(mxArray* array) { deleteArray(array); }

STANDIN_EXPORT int standinFieldCount(const mxArray* array) {
    return static_cast<int>(array->fields.size());
}

STANDIN_EXPORT const char* standinFieldName(const mxArray* array, int field) {
    return array->fields[static_cast<std::size_t>(field)].c_str();
}

STANDIN_EXPORT const mxArray* standinFieldValue(const mxArray* array, int index, int field) {
    return array->values[static_cast<std::size_t>(index) * array->fields.size() +
                         static_cast<std::size_t>(field)];
}

STANDIN_EXPORT int standinEndCall(mxArray* const* kept, int keptCount) {
    const std::size_t unreleased = textsThisCall.size();
    for (char* text : textsThisCall) {
        std::memset(text, 0xDD, std::strlen(text));
        std::free(text);
    }
    textsThisCall.clear();
    if (unreleased > 0) {
        noteMisuse(std::to_string(unreleased) + " text(s) from mxArrayToString not released");
    }
    int dropped = 0;
    for (mxArray* array : createdThisCall) {
        if (std::find(kept, kept + keptCount, array) == kept + keptCount) {
            deleteArray(array);
            ++dropped;
        }
    }
    createdThisCall.clear();
    return dropped;
}

STANDIN_EXPORT const char* standinTakeMisuse() {
    static std::string taken;
    taken = misuse;
    misuse.clear();
    return taken.c_str();
}
}
