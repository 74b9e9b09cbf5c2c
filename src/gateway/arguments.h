// Reading the host's arguments: numbers of any real class, texts from
// char arrays and string scalars. Nothing here keeps an argument beyond the
// call, and nothing raises a host error, whatever it is handed.
#pragma once

#include <cstddef>

#include "gateway/host_api.h"

namespace velocart {

// Element `index` of a real numeric or logical array as a double, whatever
// its class.
double elementAsDouble(const mxArray* array, mxClassID classId, std::size_t index);

bool isRealNumericClass(mxClassID classId);
// A real, full numeric or logical array.
bool isRealNumeric(const mxArray* array);

// The first `count` elements of `array`, if it is a real, full numeric or
// logical array holding at least that many.
bool readNumbers(const mxArray* array, std::size_t count, double* values);

bool allFinite(const double* values, int count);

// `value` as an int, if it is a whole number from `lowest` to `highest`.
// The range is checked on the double: NaN, infinities and huge values have
// no int, and converting them is undefined.
bool wholeNumberIn(double value, int lowest, int highest, int& number);

// What ArgumentText takes for text, without converting it.
bool isText(const mxArray* array);

// The text of an argument, for as long as this object lives: a char array,
// or a MATLAB string scalar converted through the host's own char(). The
// text handed out by the host is released here (Octave does not release it
// when the call returns), and so is the converted array.
class ArgumentText {
public:
    explicit ArgumentText(const mxArray* array) {
        if (array == nullptr) return;
        if (mxGetClassID(array) == mxCHAR_CLASS) {
            isText_ = true;
            take(array);
        } else if (mxIsClass(array, "string") && mxGetNumberOfElements(array) == 1) {
            isText_ = true;
            convertString(array);
        }
    }
    ~ArgumentText() {
        if (text_ != nullptr) mxFree(text_);
        if (converted_ != nullptr) mxDestroyArray(converted_);
    }
    ArgumentText(const ArgumentText&) = delete;
    ArgumentText& operator=(const ArgumentText&) = delete;

    // Char text or a string scalar, whether or not it could be read.
    bool isText() const { return isText_; }
    // The whole text, or null when there is none to use: the host gave
    // none, or it holds a NUL, so that a name cut short there matches nothing.
    const char* text() const { return whole_ ? text_ : nullptr; }
    // The text as a message may quote it.
    const char* shown() const {
        if (whole_) return text_;
        return text_ != nullptr ? "(text holding a NUL)" : "(text that cannot be read)";
    }

private:
    // A failed conversion (a missing string) must not raise a host error:
    // the trap hands the error back, and it is let go.
    void convertString(const mxArray* array) {
        mxArray* in[1] = {const_cast<mxArray*>(array)};
        mxArray* out[1] = {nullptr};
        mxArray* failure = mexCallMATLABWithTrap(1, out, 1, in, "char");
        if (failure != nullptr) {
            mxDestroyArray(failure);
            return;
        }
        converted_ = out[0];
        if (converted_ != nullptr && mxGetClassID(converted_) == mxCHAR_CLASS) take(converted_);
    }

    // The host's text may count bytes in the locale's encoding, which differ
    // from the characters, so the NUL is looked for among the characters.
    void take(const mxArray* array) {
        text_ = mxArrayToString(array);
        if (text_ == nullptr) return;
        const mxChar* chars = mxGetChars(array);
        const std::size_t count = mxGetNumberOfElements(array);
        whole_ = true;
        for (std::size_t i = 0; chars != nullptr && i < count; ++i) {
            if (chars[i] == 0) whole_ = false;
        }
    }

    char* text_ = nullptr;
    mxArray* converted_ = nullptr;
    bool isText_ = false;
    bool whole_ = false;
};

}  // namespace velocart
