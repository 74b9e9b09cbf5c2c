// standin-host: a test-only stand-in for the MATLAB command window. It loads
// a MEX file as MATLAB does (LoadLibrary on Windows; dlopen with RTLD_LOCAL
// on Linux), finds mexFunction and calls it once for each line of a script,
// printing what each call returned and everything the module printed.
//
//   standin-host MEXFILE SCRIPT
//
// Script lines (blank lines and lines starting with # are skipped):
//   [@LABEL] [OUT =] CALL
//     OUT   "x" asks for one output, "[a,b]" for two (any names); without it
//           the call asks for none, as a statement in MATLAB does.
//     CALL  "()"                  no arguments at all
//           NAME [VALUE]          NAME as text, then VALUE if given
//           VALUE | VALUE | ...   each argument given explicitly
//     VALUE [CLASS:] ITEMS
//           without CLASS: all items numbers gives a 1xN double, otherwise
//           the text as a char array. CLASS is one of double single int8
//           uint8 int16 uint16 int32 uint32 int64 uint64 logical (numbers;
//           none gives 0x0), char (the rest as text, UTF-8), string (a
//           MATLAB string scalar), string-missing (<missing>), complex and sparse
//           (double arrays so marked), cell and struct (ITEMS: the count).
//           Numbers are decimals, NaN, Inf or -Inf.
//   [@LABEL] !sleep MS    wait
//   [@LABEL] !clear       clear the module as "clear VelocartDriver" does: run
//                         its mexAtExit handler and unload it; the next call
//                         loads it afresh
//   [@LABEL] !interrupt MS  raise MATLAB's Ctrl-C flag (utIsInterruptPending)
//                         MS ms into the next call; it goes down after the
//                         call, as MATLAB stops the program then
//   [@LABEL] !ports       print how many serial port handles the process
//                         holds (the module's port, if it is open); on
//                         Linux, the terminals open beyond stdin, stdout
//                         and stderr, hung up or not
//   [@LABEL] !run CMD     run CMD with the system's shell, wait for it and
//                         note its exit code: what a test does while the
//                         module holds the port (read its settings, try a
//                         second process, signal the far end)
//   [@LABEL] !await FILE  wait until FILE exists (at most 60 s) and note
//                         whether it appeared: the end of what a test does
//                         outside the host, as under Wine !run does not wait
//                         for a Unix program
//
// Output, one line each, prefixed with the label (default: @ and the line
// number):
//   >> LINE                   the line as written
//   printed "TEXT"            one line of module output, C-escaped, \n kept
//   fault TEXT                host API misuse, a result slot written beyond
//                             those asked for, arrays created and not returned
//   host error                an output was asked for and not assigned
//   result CLASS RxC: VALUES  the first result (MATLAB's ans when no output
//                             was asked for); uint8 in hex; result2 ... for
//                             further ones; "result none" if not assigned
//   took MS ms                wall time of the call
//   note TEXT                 what only this host can tell (open ports, the
//                             exit handler, "interrupt raised at MS ms" if
//                             the call still ran then, a file awaited)
// and "end of script" after the last line.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "standin.h"

namespace {

// What differs between the platforms: loading the module, the clock,
// sleeping, counting the serial ports the process holds, and stdout.
#ifdef _WIN32

using Library = HMODULE;

Library loadLibrary(const std::string& path) {
    const Library library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        std::printf("load error: LoadLibrary(%s) failed with code %lu\n", path.c_str(),
                    GetLastError());
    }
    return library;
}

void* findSymbol(Library library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(library, name));
}

void unloadLibrary(Library library) { FreeLibrary(library); }

double nowMilliseconds() {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void sleepMilliseconds(unsigned long ms) { Sleep(static_cast<DWORD>(ms)); }

// Serial port handles held by this process: every handle value that
// GetCommState accepts. Handle values are multiples of 4 and stay small.
int countOpenPorts() {
    int count = 0;
    for (std::uintptr_t value = 4; value < 0x2000; value += 4) {
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        if (GetCommState(reinterpret_cast<HANDLE>(value), &dcb)) ++count;
    }
    return count;
}

// Byte-exact output: no CR inserted before each LF.
void makeStdoutBinary() { _setmode(_fileno(stdout), _O_BINARY); }

int exitCodeOf(int status) { return status; }

#else

using Library = void*;

// RTLD_LOCAL, as MATLAB loads a MEX file: the module's symbols are not
// offered to anything loaded after it. RTLD_NOW reports a host function
// the module needs and the host lacks at load, not at its first call.
Library loadLibrary(const std::string& path) {
    const Library library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) std::printf("load error: %s\n", dlerror());
    return library;
}

void* findSymbol(Library library, const char* name) { return dlsym(library, name); }

void unloadLibrary(Library library) { dlclose(library); }

double nowMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return 1000.0 * static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e6;
}

void sleepMilliseconds(unsigned long ms) {
    timespec pause = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Serial ports held by this process: its open descriptors that are
// terminals, leaving out stdin, stdout and stderr. A terminal that has hung
// up (an unplugged adapter) still counts: isatty fails on it with EIO.
int countOpenPorts() {
    DIR* descriptors = opendir("/proc/self/fd");
    if (descriptors == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(descriptors)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > STDERR_FILENO && fd != dirfd(descriptors) && (isatty(fd) || errno == EIO)) {
            ++count;
        }
    }
    closedir(descriptors);
    return count;
}

void makeStdoutBinary() {}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

#endif

// When MATLAB's Ctrl-C flag goes up in the current call, on nowMilliseconds
// (negative: not in this call). The module only polls the flag, so a time
// it is read against looks to it like a keypress then, and unlike a timer
// thread it is never late under load.
std::atomic<double> InterruptAt{-1.0};

int interruptRaised() {
    const double at = InterruptAt;
    return at >= 0.0 && nowMilliseconds() >= at;
}

// Polls for FILE every 10 ms, for at most `ms`.
bool awaitFile(const std::string& file, unsigned long ms) {
    for (unsigned long waited = 0; !std::ifstream(file); waited += 10) {
        if (waited >= ms) return false;
        sleepMilliseconds(10);
    }
    return true;
}

using MexFunction = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

// MATLAB hands the module max(nlhs, 1) result slots; more are kept here to
// catch writes past them.
constexpr int kResultSlots = 8;

std::string trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal numbers as [+-]digits[.digits][e[+-]digits], ".digits", NaN and
// infinities; nothing else counts as a number.
bool parseNumber(const std::string& word, double& value) {
    if (word == "NaN" || word == "nan") {
        value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (word == "Inf" || word == "inf" || word == "+Inf") {
        value = std::numeric_limits<double>::infinity();
        return true;
    }
    if (word == "-Inf" || word == "-inf") {
        value = -std::numeric_limits<double>::infinity();
        return true;
    }
    std::size_t i = 0;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < word.size() && isDigit(word[i])) ++i, ++digits;
    if (i < word.size() && word[i] == '.') {
        ++i;
        while (i < word.size() && isDigit(word[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
        ++i;
        if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
        std::size_t exponentDigits = 0;
        while (i < word.size() && isDigit(word[i])) ++i, ++exponentDigits;
        if (exponentDigits == 0) return false;
    }
    if (i != word.size()) return false;
    value = std::strtod(word.c_str(), nullptr);
    return true;
}

struct NumericClass {
    const char* name;
    mxClassID classId;
};

constexpr NumericClass kNumericClasses[] = {
    {"double", mxDOUBLE_CLASS}, {"single", mxSINGLE_CLASS},   {"int8", mxINT8_CLASS},
    {"uint8", mxUINT8_CLASS},   {"int16", mxINT16_CLASS},     {"uint16", mxUINT16_CLASS},
    {"int32", mxINT32_CLASS},   {"uint32", mxUINT32_CLASS},   {"int64", mxINT64_CLASS},
    {"uint64", mxUINT64_CLASS}, {"logical", mxLOGICAL_CLASS},
};

// MATLAB's conversion to an integer class: round half away from zero,
// saturate, NaN gives 0.
template <typename T>
T toInteger(double value) {
    if (std::isnan(value)) return 0;
    const double rounded = std::round(value);
    if (rounded <= static_cast<double>(std::numeric_limits<T>::min())) {
        return std::numeric_limits<T>::min();
    }
    if (rounded >= static_cast<double>(std::numeric_limits<T>::max())) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(rounded);
}

void storeElement(mxArray* array, mxClassID classId, std::size_t index, double value) {
    void* data = mxGetData(array);
    switch (classId) {
        case mxDOUBLE_CLASS: static_cast<double*>(data)[index] = value; break;
        case mxSINGLE_CLASS: static_cast<float*>(data)[index] = static_cast<float>(value); break;
        case mxLOGICAL_CLASS: static_cast<bool*>(data)[index] = value != 0.0; break;
        case mxINT8_CLASS:
            static_cast<std::int8_t*>(data)[index] = toInteger<std::int8_t>(value);
            break;
        case mxUINT8_CLASS:
            static_cast<std::uint8_t*>(data)[index] = toInteger<std::uint8_t>(value);
            break;
        case mxINT16_CLASS:
            static_cast<std::int16_t*>(data)[index] = toInteger<std::int16_t>(value);
            break;
        case mxUINT16_CLASS:
            static_cast<std::uint16_t*>(data)[index] = toInteger<std::uint16_t>(value);
            break;
        case mxINT32_CLASS:
            static_cast<std::int32_t*>(data)[index] = toInteger<std::int32_t>(value);
            break;
        case mxUINT32_CLASS:
            static_cast<std::uint32_t*>(data)[index] = toInteger<std::uint32_t>(value);
            break;
        case mxINT64_CLASS:
            static_cast<std::int64_t*>(data)[index] = toInteger<std::int64_t>(value);
            break;
        case mxUINT64_CLASS:
            static_cast<std::uint64_t*>(data)[index] = toInteger<std::uint64_t>(value);
            break;
        default: break;
    }
}

bool parseNumbers(const std::string& text, std::vector<double>& numbers) {
    for (const std::string& word : splitWords(text)) {
        double value = 0.0;
        if (!parseNumber(word, value)) return false;
        numbers.push_back(value);
    }
    return true;
}

mxArray* numericArray(mxClassID classId, const std::vector<double>& numbers) {
    const int count = static_cast<int>(numbers.size());
    mxArray* array = standinCreateArray(classId, count == 0 ? 0 : 1, count);
    for (std::size_t i = 0; i < numbers.size(); ++i) storeElement(array, classId, i, numbers[i]);
    return array;
}

// One argument from its script form; null and `error` set if malformed.
mxArray* buildArgument(const std::string& piece, std::string& error) {
    const std::string text = trim(piece);
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos) {
        const std::string prefix = text.substr(0, colon);
        const std::string rest = trim(text.substr(colon + 1));
        std::vector<double> numbers;
        for (const NumericClass& numeric : kNumericClasses) {
            if (prefix != numeric.name) continue;
            if (!parseNumbers(rest, numbers)) {
                error = "not a list of numbers: " + rest;
                return nullptr;
            }
            return numericArray(numeric.classId, numbers);
        }
        if (prefix == "char") return standinCreateString(rest.c_str());
        if (prefix == "string") return standinCreateStringObject(rest.c_str(), 0);
        if (prefix == "string-missing") return standinCreateStringObject("", 1);
        if (prefix == "complex" || prefix == "sparse") {
            if (!parseNumbers(rest, numbers)) {
                error = "not a list of numbers: " + rest;
                return nullptr;
            }
            mxArray* array = numericArray(mxDOUBLE_CLASS, numbers);
            if (prefix == "complex") {
                standinMarkComplex(array);
            } else {
                standinMarkSparse(array);
            }
            return array;
        }
        if (prefix == "cell" || prefix == "struct") {
            double count = 0.0;
            if (!rest.empty() && (!parseNumber(rest, count) || count < 0 || count > 1000 ||
                                  count != std::floor(count))) {
                error = "not an element count: " + rest;
                return nullptr;
            }
            const int n = static_cast<int>(count);
            return standinCreateArray(prefix == "cell" ? mxCELL_CLASS : mxSTRUCT_CLASS,
                                      n == 0 ? 0 : 1, n);
        }
    }
    std::vector<double> numbers;
    if (!text.empty() && parseNumbers(text, numbers)) return numericArray(mxDOUBLE_CLASS, numbers);
    return standinCreateString(text.c_str());
}

struct Call {
    int nlhs = 0;
    std::vector<mxArray*> arguments;
};

bool isIdentifier(const std::string& text) {
    if (text.empty() || isDigit(text[0])) return false;
    for (char c : text) {
        if (!(isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')) {
            return false;
        }
    }
    return true;
}

// "x = ..." or "[a,b] = ...": the number of outputs, and the rest of the line.
int countOutputs(const std::string& line, std::string& rest) {
    rest = line;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) return 0;
    const std::string left = trim(line.substr(0, equals));
    if (isIdentifier(left)) {
        rest = trim(line.substr(equals + 1));
        return 1;
    }
    if (left.size() >= 2 && left.front() == '[' && left.back() == ']') {
        int count = 0;
        std::istringstream names(left.substr(1, left.size() - 2));
        std::string name;
        while (std::getline(names, name, ',')) {
            if (!isIdentifier(trim(name))) return 0;
            ++count;
        }
        rest = trim(line.substr(equals + 1));
        return count;
    }
    return 0;
}

bool parseCall(const std::string& line, Call& call, std::string& error) {
    std::string rest;
    call.nlhs = countOutputs(line, rest);
    if (rest == "()") return true;
    std::vector<std::string> pieces;
    if (rest.find('|') != std::string::npos) {
        std::istringstream parts(rest);
        std::string part;
        while (std::getline(parts, part, '|')) pieces.push_back(part);
        if (rest.back() == '|') pieces.push_back("");
        for (const std::string& piece : pieces) {
            mxArray* argument = buildArgument(piece, error);
            if (argument == nullptr) return false;
            call.arguments.push_back(argument);
        }
        return true;
    }
    const std::size_t space = rest.find_first_of(" \t");
    call.arguments.push_back(standinCreateString(rest.substr(0, space).c_str()));
    if (space != std::string::npos && !trim(rest.substr(space)).empty()) {
        mxArray* argument = buildArgument(rest.substr(space), error);
        if (argument == nullptr) return false;
        call.arguments.push_back(argument);
    }
    return true;
}

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

// The shortest decimal that reads back as the same double.
std::string formatDouble(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Inf" : "-Inf";
    char text[40];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

const char* className(mxClassID classId) {
    for (const NumericClass& numeric : kNumericClasses) {
        if (numeric.classId == classId) return numeric.name;
    }
    switch (classId) {
        case mxCHAR_CLASS: return "char";
        case mxCELL_CLASS: return "cell";
        case mxSTRUCT_CLASS: return "struct";
        default: return "unknown";
    }
}

std::string formatElement(const mxArray* array, mxClassID classId, std::size_t i) {
    const void* data = mxGetData(array);
    char text[32];
    switch (classId) {
        case mxDOUBLE_CLASS: return formatDouble(static_cast<const double*>(data)[i]);
        case mxSINGLE_CLASS: return formatDouble(static_cast<const float*>(data)[i]);
        case mxLOGICAL_CLASS: return static_cast<const bool*>(data)[i] ? "1" : "0";
        case mxUINT8_CLASS:
            std::snprintf(text, sizeof text, "%02X", static_cast<const std::uint8_t*>(data)[i]);
            return text;
        case mxINT8_CLASS: return std::to_string(static_cast<const std::int8_t*>(data)[i]);
        case mxINT16_CLASS: return std::to_string(static_cast<const std::int16_t*>(data)[i]);
        case mxUINT16_CLASS: return std::to_string(static_cast<const std::uint16_t*>(data)[i]);
        case mxINT32_CLASS: return std::to_string(static_cast<const std::int32_t*>(data)[i]);
        case mxUINT32_CLASS: return std::to_string(static_cast<const std::uint32_t*>(data)[i]);
        case mxINT64_CLASS: return std::to_string(static_cast<const std::int64_t*>(data)[i]);
        case mxUINT64_CLASS: return std::to_string(static_cast<const std::uint64_t*>(data)[i]);
        default: return "?";
    }
}

std::string describe(const mxArray* array);

// Each element's fields, "name=value" apart by ", ", the elements by " | ".
std::string describeFields(const mxArray* array, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += i == 0 ? ": " : " | ";
        for (int field = 0; field < standinFieldCount(array); ++field) {
            const mxArray* value = standinFieldValue(array, static_cast<int>(i), field);
            text += std::string(field == 0 ? "" : ", ") + standinFieldName(array, field) + "=" +
                    (value != nullptr ? describe(value) : "[]");
        }
    }
    return text;
}

std::string describe(const mxArray* array) {
    const mxClassID classId = mxGetClassID(array);
    int rows = 0;
    int columns = 0;
    standinGetSize(array, &rows, &columns);
    std::string text = std::string(className(classId)) + " " + std::to_string(rows) + "x" +
                       std::to_string(columns);
    const std::size_t count = mxGetNumberOfElements(array);
    if (classId == mxSTRUCT_CLASS) return text + describeFields(array, count);
    if (count == 0 || classId == mxCELL_CLASS) return text;
    if (classId == mxCHAR_CLASS) {
        const auto* units = static_cast<const std::uint16_t*>(mxGetData(array));
        std::string chars;
        for (std::size_t i = 0; i < count; ++i) chars += static_cast<char>(units[i] & 0xFF);
        return text + ": \"" + escape(chars) + "\"";
    }
    text += ":";
    for (std::size_t i = 0; i < count; ++i) text += " " + formatElement(array, classId, i);
    return text;
}

class Module {
public:
    explicit Module(std::string path) : path_(std::move(path)) {}

    MexFunction entry() {
        if (entry_ != nullptr) return entry_;
        standinSetFunctionName(functionName().c_str());
        library_ = loadLibrary(path_);
        if (library_ == nullptr) return nullptr;
        entry_ = reinterpret_cast<MexFunction>(findSymbol(library_, "mexFunction"));
        if (entry_ == nullptr) {
            std::printf("load error: %s exports no mexFunction\n", path_.c_str());
        }
        return entry_;
    }

    // What MATLAB does on "clear": the exit handler, then the unload.
    bool clear() {
        if (library_ == nullptr) return false;
        const bool ranHandler = standinRunExitHandler() != 0;
        unloadLibrary(library_);
        library_ = nullptr;
        entry_ = nullptr;
        return ranHandler;
    }

private:
    // MATLAB calls a module by its file name: no folder, no extension.
    std::string functionName() const {
        const std::size_t slash = path_.find_last_of("/\\");
        std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        return name.substr(0, name.find('.'));
    }

    std::string path_;
    Library library_ = nullptr;
    MexFunction entry_ = nullptr;
};

void printPrinted(const std::string& label, const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::printf("%s printed \"%s\"\n", label.c_str(),
                    escape(text.substr(start, end - start)).c_str());
        start = end;
    }
}

void printLines(const std::string& label, const char* kind, const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::printf("%s %s %s\n", label.c_str(), kind, line.c_str());
    }
}

// One call, as MATLAB makes it; false if the module could not be loaded.
// interruptAfterMs >= 0 raises the Ctrl-C flag that long into the call.
bool runCall(Module& module, const std::string& label, const Call& call, long interruptAfterMs) {
    const MexFunction entry = module.entry();
    if (entry == nullptr) return false;
    mxArray* plhs[kResultSlots] = {};
    const int nrhs = static_cast<int>(call.arguments.size());
    std::vector<const mxArray*> prhs(call.arguments.begin(), call.arguments.end());
    prhs.push_back(nullptr);

    standinClearPrinted();
    const double start = nowMilliseconds();
    if (interruptAfterMs >= 0) InterruptAt = start + static_cast<double>(interruptAfterMs);
    entry(call.nlhs, plhs, nrhs, prhs.data());
    const double elapsed = nowMilliseconds() - start;

    printPrinted(label, standinPrinted());
    const int slots = call.nlhs > 1 ? call.nlhs : 1;
    for (int k = slots; k < kResultSlots; ++k) {
        if (plhs[k] != nullptr) {
            std::printf("%s fault result slot %d written, %d asked for\n", label.c_str(), k + 1,
                        call.nlhs);
        }
    }
    bool unassigned = false;
    for (int k = 0; k < call.nlhs; ++k) unassigned = unassigned || plhs[k] == nullptr;
    if (unassigned) {
        std::printf("%s host error\n", label.c_str());
    } else if (plhs[0] == nullptr) {
        std::printf("%s result none\n", label.c_str());
    } else {
        for (int k = 0; k < slots; ++k) {
            const std::string name = k == 0 ? "result" : "result" + std::to_string(k + 1);
            std::printf("%s %s %s\n", label.c_str(), name.c_str(), describe(plhs[k]).c_str());
        }
    }
    std::printf("%s took %.1f ms\n", label.c_str(), elapsed);
    if (interruptAfterMs >= 0 && elapsed >= InterruptAt - start) {
        std::printf("%s note interrupt raised at %.1f ms\n", label.c_str(), InterruptAt - start);
    }
    InterruptAt = -1.0;

    std::vector<mxArray*> kept;
    for (mxArray* result : plhs) {
        if (result != nullptr) kept.push_back(result);
    }
    const int dropped = standinEndCall(kept.data(), static_cast<int>(kept.size()));
    printLines(label, "fault", standinTakeMisuse());
    if (dropped > 0) {
        std::printf("%s fault %d arrays created and not returned\n", label.c_str(), dropped);
    }
    for (mxArray* result : kept) standinDestroyArray(result);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    makeStdoutBinary();
    if (argc != 3) {
        std::fprintf(stderr, "usage: standin-host MEXFILE SCRIPT\n");
        return 2;
    }
    std::ifstream script(argv[2], std::ios::binary);
    if (!script) {
        std::fprintf(stderr, "standin-host: cannot read %s\n", argv[2]);
        return 2;
    }
    Module module(argv[1]);
    standinSetInterruptFlag(interruptRaised);
    long interruptAfterMs = -1;
    std::string raw;
    for (int lineNumber = 1; std::getline(script, raw); ++lineNumber) {
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        std::string label = "@" + std::to_string(lineNumber);
        if (line[0] == '@') {
            const std::size_t space = line.find_first_of(" \t");
            label = line.substr(0, space);
            line = space == std::string::npos ? "" : trim(line.substr(space));
        }
        std::printf("%s >> %s\n", label.c_str(), line.c_str());
        std::fflush(stdout);
        if (line.rfind("!sleep ", 0) == 0) {
            sleepMilliseconds(std::strtoul(line.c_str() + 7, nullptr, 10));
            continue;
        }
        if (line.rfind("!interrupt ", 0) == 0) {
            interruptAfterMs = std::strtol(line.c_str() + 11, nullptr, 10);
            continue;
        }
        if (line == "!ports") {
            std::printf("%s note open ports %d\n", label.c_str(), countOpenPorts());
            continue;
        }
        if (line.rfind("!run ", 0) == 0) {
            const int status = std::system(line.c_str() + 5);
            std::printf("%s note exit %d\n", label.c_str(), exitCodeOf(status));
            continue;
        }
        if (line.rfind("!await ", 0) == 0) {
            const std::string file = trim(line.substr(7));
            std::printf("%s note %s %s\n", label.c_str(), file.c_str(),
                        awaitFile(file, 60000) ? "appeared" : "did not appear in 60 s");
            continue;
        }
        if (line == "!clear") {
            if (module.clear()) std::printf("%s note exit handler ran\n", label.c_str());
            continue;
        }
        Call call;
        std::string error;
        if (line.empty() || line[0] == '!' || !parseCall(line, call, error)) {
            std::printf("%s script error: %s\n", label.c_str(),
                        error.empty() ? "cannot read this line" : error.c_str());
            return 2;
        }
        const bool ran = runCall(module, label, call, interruptAfterMs);
        interruptAfterMs = -1;
        for (mxArray* argument : call.arguments) standinDestroyArray(argument);
        if (!ran) return 3;
    }
    module.clear();
    std::printf("end of script\n");
    return 0;
}
