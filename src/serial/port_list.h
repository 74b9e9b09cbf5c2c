// The serial ports of this machine as the system describes them, found
// without opening any: for the 'ports' table, and for opening a USB adapter
// by its identity wherever it is plugged in. port_list.cpp holds what the
// platforms share (identities, the order of the table); one file per
// platform asks the system (sysfs and /proc on Linux, SetupAPI and the
// registry on Windows).
#pragma once

#include <cstdint>

namespace velocart {

constexpr int kMostPorts = 64;
constexpr int kPortNameSize = 64;
constexpr int kPortSerialSize = 64;
// "usb:" and two four-digit numbers, each after a colon, then the serial.
constexpr int kPortIdentitySize = 14 + kPortSerialSize;

enum class PortKind { Usb, Builtin, Bluetooth, Other };

struct PortInfo {
    char name[kPortNameSize];  // what open takes: "COM5", "/dev/ttyUSB0"
    PortKind kind;
    std::uint16_t vendor;  // USB numbers, 0 for other ports
    std::uint16_t product;
    char serial[kPortSerialSize];  // the USB serial number; empty when none
    char description[128];         // manufacturer and product, where known
};

// Who holds a port, where the system tells.
struct PortHolder {
    bool found;
    bool thisProcess;  // this process holds it (another copy of the module, the host itself)
    int processId;     // 0 when the system does not say
    char program[40];  // empty when the system does not say
};

// Fills `ports` with the serial ports that are there (left out: names with
// no device behind them, pseudo-terminals, and consoles, a serial port
// that is the system's console included), in the order of their names;
// returns how many, at most `capacity`.
int listPorts(PortInfo* ports, int capacity);

// The program holding each of `count` devices, by the name open takes
// (holders[i] for devices[i]). Looks through every process once.
void findHolders(const char* const* devices, int count, PortHolder* holders);

// Why this user may not open the device, with the fix; empty when nothing
// in its permissions stands in the way.
void accessProblem(const char* device, char* text, int size);

// The port's stable identity: usb:VVVV:PPPP:SERIAL for a USB adapter (the
// numbers in lower-case hex, as lsusb prints them; without the serial when
// it has none), its name for any other port.
void identityOf(const PortInfo& port, char (&identity)[kPortIdentitySize]);

// Whether text is an identity rather than a name: it begins with "usb:".
bool isPortIdentity(const char* text);

// Whether the port answers to an identity, whole (usb:VVVV:PPPP:SERIAL) or
// in part (usb:VVVV:PPPP, usb:VVVV). Numbers in either case; the serial
// ignoring case, as Windows spells it in upper case.
bool matchesIdentity(const PortInfo& port, const char* identity);

// Sorts the table by name, numbers within names by their value (ttyS2
// before ttyS10, COM3 before COM12).
void sortPorts(PortInfo* ports, int count);

}  // namespace velocart
