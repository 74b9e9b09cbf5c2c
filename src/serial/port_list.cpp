// What every platform's port table shares: identities and the order of
// the table. The listing itself is the platform's (port_list_posix.cpp,
// port_list_win32.cpp).
#include "serial/port_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velocart {

namespace {

constexpr char kUsbPrefix[] = "usb:";
constexpr int kUsbPrefixLength = 4;

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool sameIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (lowerAscii(*a) != lowerAscii(*b)) return false;
    }
    return *a == *b;
}

// A four-digit hex number and what follows it: ':' or the end. False for
// anything else.
bool readHexField(const char*& text, std::uint16_t& value) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(text, &end, 16);
    if (end != text + 4 || (*end != ':' && *end != '\0')) return false;
    value = static_cast<std::uint16_t>(number);
    text = *end == ':' ? end + 1 : end;
    return true;
}

// Names compare by their text, runs of digits by their value.
int compareNames(const char* a, const char* b) {
    while (*a != '\0' && *b != '\0') {
        if (isDigit(*a) && isDigit(*b)) {
            char* endA = nullptr;
            char* endB = nullptr;
            const unsigned long numberA = std::strtoul(a, &endA, 10);
            const unsigned long numberB = std::strtoul(b, &endB, 10);
            if (numberA != numberB) return numberA < numberB ? -1 : 1;
            a = endA;
            b = endB;
        } else if (*a != *b) {
            return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b) ? -1 : 1;
        } else {
            ++a;
            ++b;
        }
    }
    return *a == *b ? 0 : (*a == '\0' ? -1 : 1);
}

}  // namespace

void identityOf(const PortInfo& port, char (&identity)[kPortIdentitySize]) {
    if (port.kind != PortKind::Usb) {
        std::snprintf(identity, sizeof identity, "%s", port.name);
    } else if (port.serial[0] == '\0') {
        std::snprintf(identity, sizeof identity, "usb:%04x:%04x", port.vendor, port.product);
    } else {
        std::snprintf(identity, sizeof identity, "usb:%04x:%04x:%s", port.vendor, port.product,
                      port.serial);
    }
}

bool isPortIdentity(const char* text) {
    for (int i = 0; i < kUsbPrefixLength; ++i) {
        if (lowerAscii(text[i]) != kUsbPrefix[i]) return false;
    }
    return true;
}

bool matchesIdentity(const PortInfo& port, const char* identity) {
    if (port.kind != PortKind::Usb || !isPortIdentity(identity)) return false;
    const char* rest = identity + kUsbPrefixLength;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    if (!readHexField(rest, vendor) || vendor != port.vendor) return false;
    if (*rest == '\0') return rest[-1] != ':';
    if (!readHexField(rest, product) || product != port.product) return false;
    if (*rest == '\0') return rest[-1] != ':';
    return sameIgnoringCase(rest, port.serial);
}

void sortPorts(PortInfo* ports, int count) {
    for (int i = 1; i < count; ++i) {
        for (int j = i; j > 0 && compareNames(ports[j].name, ports[j - 1].name) < 0; --j) {
            PortInfo swapped = ports[j];
            ports[j] = ports[j - 1];
            ports[j - 1] = swapped;
        }
    }
}

}  // namespace velocart
