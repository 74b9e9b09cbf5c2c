// The port table on Windows: the present devices of the ports class from
// SetupAPI (the port name from each device's registry key, the USB facts
// from its instance ID), then the ports only the system's list of serial
// devices (HARDWARE\DEVICEMAP\SERIALCOMM) or the DOS device names know:
// virtual ports, and ports mapped by hand. Nothing is opened: who holds a
// port shows only when one is opened, and Windows has no per-user rights
// on ports to check.
#include <windows.h>
// setupapi.h takes its types from windows.h.
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/port_list.h"

namespace velocart {

namespace {

// The ports class ({4D36E978-E325-11CE-BFC1-08002BE10318}), spelled out:
// devguid.h defines it only under INITGUID.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// Every DOS device name at once; a few thousand names fit.
char DosNames[65536];

struct Table {
    PortInfo* ports;
    int capacity;
    int count;
};

bool isComName(const char* name) {
    if (std::strncmp(name, "COM", 3) != 0 || name[3] == '\0') return false;
    for (const char* c = name + 3; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    return true;
}

bool isListed(const Table& table, const char* name) {
    for (int i = 0; i < table.count; ++i) {
        if (lstrcmpiA(table.ports[i].name, name) == 0) return true;
    }
    return false;
}

// A new row for a COM port not yet in the table; null otherwise.
PortInfo* addPort(Table& table, const char* name, PortKind kind) {
    if (!isComName(name) || isListed(table, name) || table.count >= table.capacity) return nullptr;
    PortInfo& port = table.ports[table.count++];
    port = {};
    std::snprintf(port.name, sizeof port.name, "%s", name);
    port.kind = kind;
    return &port;
}

bool startsWith(const char* text, const char* prefix) {
    return _strnicmp(text, prefix, std::strlen(prefix)) == 0;
}

PortKind kindOf(const char* instance) {
    if (startsWith(instance, "USB\\") || startsWith(instance, "FTDIBUS\\")) return PortKind::Usb;
    if (startsWith(instance, "BTHENUM\\")) return PortKind::Bluetooth;
    if (startsWith(instance, "ACPI\\") || startsWith(instance, "PCI\\")) return PortKind::Builtin;
    return PortKind::Other;
}

std::uint16_t hexAfter(const char* instance, const char* key) {
    const char* at = std::strstr(instance, key);
    return at != nullptr
               ? static_cast<std::uint16_t>(std::strtoul(at + std::strlen(key), nullptr, 16))
               : 0;
}

// The serial number in a USB instance ID:
//   USB\VID_0403&PID_6001\FT1234              (a made-up one holds '&': none)
//   FTDIBUS\VID_0403+PID_6001+FT1234A\0000    (the driver adds a channel letter)
void readSerial(const char* instance, PortInfo& port) {
    const bool ftdi = startsWith(instance, "FTDIBUS\\");
    const char* start = ftdi ? std::strchr(instance, '+') : std::strchr(instance, '\\');
    start = start != nullptr ? std::strchr(start + 1, ftdi ? '+' : '\\') : nullptr;
    if (start == nullptr) return;
    ++start;
    const char* end = ftdi ? std::strchr(start, '\\') : start + std::strlen(start);
    if (end == nullptr || std::memchr(start, '&', static_cast<std::size_t>(end - start))) return;
    const int length = static_cast<int>(end - start) - (ftdi ? 1 : 0);
    std::snprintf(port.serial, sizeof port.serial, "%.*s", length > 0 ? length : 0, start);
}

void readProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property, char (&text)[64]) {
    text[0] = '\0';
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                           nullptr)) {
        text[0] = '\0';
    }
    text[sizeof text - 1] = '\0';
}

bool readPortName(HDEVINFO set, SP_DEVINFO_DATA& device, char (&name)[kPortNameSize]) {
    const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return false;
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const bool read = RegQueryValueExA(key, "PortName", nullptr, &type,
                                       reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
                      type == REG_SZ;
    RegCloseKey(key);
    name[read ? size : 0] = '\0';
    return read;
}

void addDevice(Table& table, HDEVINFO set, SP_DEVINFO_DATA& device) {
    char name[kPortNameSize];
    char instance[256];
    if (!readPortName(set, device, name) ||
        !SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr)) {
        return;
    }
    PortInfo* port = addPort(table, name, kindOf(instance));
    if (port == nullptr) return;
    if (port->kind == PortKind::Usb) {
        port->vendor = hexAfter(instance, "VID_");
        port->product = hexAfter(instance, "PID_");
        readSerial(instance, *port);
    }
    char maker[64];
    char product[64];
    readProperty(set, device, SPDRP_MFG, maker);
    readProperty(set, device, SPDRP_DEVICEDESC, product);
    std::snprintf(port->description, sizeof port->description, "%s%s%s", maker,
                  maker[0] != '\0' && product[0] != '\0' ? " " : "", product);
}

void addPresentDevices(Table& table) {
    const HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) addDevice(table, set, device);
    SetupDiDestroyDeviceInfoList(set);
}

// Each value of SERIALCOMM holds a port's name ("COM1").
void addSerialComm(Table& table) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD i = 0;; ++i) {
        char valueName[256];
        char name[kPortNameSize];
        DWORD nameSize = sizeof valueName;
        DWORD size = sizeof name - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, i, valueName, &nameSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(name), &size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        name[size] = '\0';
        addPort(table, name, PortKind::Other);
    }
    RegCloseKey(key);
}

// The DOS device names, each ended by a NUL, the list by a second one.
void addDosDevices(Table& table) {
    const DWORD length = QueryDosDeviceA(nullptr, DosNames, sizeof DosNames);
    for (DWORD at = 0; at < length && DosNames[at] != '\0';) {
        addPort(table, DosNames + at, PortKind::Other);
        at += static_cast<DWORD>(std::strlen(DosNames + at)) + 1;
    }
}

}  // namespace

int listPorts(PortInfo* ports, int capacity) {
    Table table = {ports, capacity, 0};
    addPresentDevices(table);
    addSerialComm(table);
    addDosDevices(table);
    sortPorts(ports, table.count);
    return table.count;
}

void findHolders(const char* const*, int count, PortHolder* holders) {
    for (int i = 0; i < count; ++i) holders[i] = {};
}

void accessProblem(const char*, char* text, int) { text[0] = '\0'; }

}  // namespace velocart
