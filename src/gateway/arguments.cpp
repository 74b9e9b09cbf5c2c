#include "gateway/arguments.h"

#include <cmath>
#include <cstdint>

namespace velocart {

double elementAsDouble(const mxArray* array, mxClassID classId, std::size_t index) {
    const void* data = mxGetData(array);
    switch (classId) {
        case mxDOUBLE_CLASS: return mxGetPr(array)[index];
        case mxSINGLE_CLASS: return static_cast<const float*>(data)[index];
        case mxLOGICAL_CLASS: return static_cast<const mxLogical*>(data)[index] ? 1.0 : 0.0;
        case mxINT8_CLASS: return static_cast<const std::int8_t*>(data)[index];
        case mxUINT8_CLASS: return static_cast<const std::uint8_t*>(data)[index];
        case mxINT16_CLASS: return static_cast<const std::int16_t*>(data)[index];
        case mxUINT16_CLASS: return static_cast<const std::uint16_t*>(data)[index];
        case mxINT32_CLASS: return static_cast<const std::int32_t*>(data)[index];
        case mxUINT32_CLASS: return static_cast<const std::uint32_t*>(data)[index];
        case mxINT64_CLASS:
            return static_cast<double>(static_cast<const std::int64_t*>(data)[index]);
        case mxUINT64_CLASS:
            return static_cast<double>(static_cast<const std::uint64_t*>(data)[index]);
        default: return 0.0;
    }
}

bool isRealNumericClass(mxClassID classId) {
    switch (classId) {
        case mxDOUBLE_CLASS:
        case mxSINGLE_CLASS:
        case mxLOGICAL_CLASS:
        case mxINT8_CLASS:
        case mxUINT8_CLASS:
        case mxINT16_CLASS:
        case mxUINT16_CLASS:
        case mxINT32_CLASS:
        case mxUINT32_CLASS:
        case mxINT64_CLASS:
        case mxUINT64_CLASS: return true;
        default: return false;
    }
}

bool isRealNumeric(const mxArray* array) {
    return array != nullptr && isRealNumericClass(mxGetClassID(array)) && !mxIsComplex(array) &&
           !mxIsSparse(array);
}

bool readNumbers(const mxArray* array, std::size_t count, double* values) {
    if (!isRealNumeric(array) || mxGetNumberOfElements(array) < count) return false;
    const mxClassID classId = mxGetClassID(array);
    for (std::size_t i = 0; i < count; ++i) values[i] = elementAsDouble(array, classId, i);
    return true;
}

bool allFinite(const double* values, int count) {
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) return false;
    }
    return true;
}

bool isText(const mxArray* array) {
    return array != nullptr && (mxGetClassID(array) == mxCHAR_CLASS ||
                                (mxIsClass(array, "string") && mxGetNumberOfElements(array) == 1));
}

bool wholeNumberIn(double value, int lowest, int highest, int& number) {
    if (!(value >= lowest && value <= highest) || value != std::trunc(value)) return false;
    number = static_cast<int>(value);
    return true;
}

}  // namespace velocart
