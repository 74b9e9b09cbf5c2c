// The port table on Linux, from sysfs: /sys/class/tty lists every terminal,
// and the device behind one (a UART, a USB adapter) says what it is. Who
// holds a port comes from /proc: the locks (anyone's) and the descriptors of
// the processes this user may look into. Folders are read with getdents64
// and files with read into buffers on the stack: opendir and stdio would
// allocate. Elsewhere (macOS) the table is empty.
#include "serial/port_list.h"

#ifdef __linux__
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velocart {

namespace {

constexpr char kTtyClass[] = "/sys/class/tty";
constexpr int kPathSize = 512;
constexpr int kLineSize = 4096;

// Calls `visit` with each name in the folder open at `directory` (not . and
// ..) until it returns false.
using EntryVisitor = bool (*)(int directory, const char* name, void* context);

void forEachEntry(int directory, EntryVisitor visit, void* context) {
    alignas(dirent64) char buffer[4096];
    long length;
    while ((length = syscall(SYS_getdents64, directory, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            if (entry->d_name[0] == '.') continue;
            if (!visit(directory, entry->d_name, context)) return;
        }
    }
}

void forEachEntryOf(const char* folder, EntryVisitor visit, void* context) {
    const int directory = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return;
    forEachEntry(directory, visit, context);
    close(directory);
}

// Calls `visit` with each line of a file, without its line end, until it
// returns false; a line longer than kLineSize is passed over.
using LineVisitor = bool (*)(const char* line, void* context);

// Hands over each whole line in the first `length` bytes of text and keeps
// the rest at the front.
bool visitLines(char* text, int& length, LineVisitor visit, void* context) {
    int start = 0;
    for (int i = 0; i < length; ++i) {
        if (text[i] != '\n') continue;
        text[i] = '\0';
        if (!visit(text + start, context)) return false;
        start = i + 1;
    }
    if (start == 0 && length == kLineSize) start = length;  // no line end in sight
    std::memmove(text, text + start, static_cast<std::size_t>(length - start));
    length -= start;
    return true;
}

void forEachLine(const char* path, LineVisitor visit, void* context) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char text[kLineSize + 1];
    int length = 0;
    ssize_t n;
    bool going = true;
    while (going && (n = read(fd, text + length, static_cast<size_t>(kLineSize - length))) > 0) {
        length += static_cast<int>(n);
        going = visitLines(text, length, visit, context);
    }
    close(fd);
    text[length] = '\0';
    if (going && length > 0) visit(text, context);
}

// A small file (a sysfs attribute), without trailing white space.
bool readText(const char* path, char* text, int size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = read(fd, text, static_cast<size_t>(size - 1));
    close(fd);
    int length = n > 0 ? static_cast<int>(n) : 0;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
    text[length] = '\0';
    return n >= 0;
}

bool readAttribute(const char* tty, const char* attribute, char* text, int size) {
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%s/%s/%s", kTtyClass, tty, attribute);
    return readText(path, text, size);
}

// The last part of the link `attribute` of a tty's folder leads to:
// device/subsystem gives "usb-serial", "pnp", "platform", "serial-base"...
bool linkTarget(const char* tty, const char* attribute, char (&name)[64]) {
    char path[kPathSize];
    char target[kPathSize];
    std::snprintf(path, sizeof path, "%s/%s/%s", kTtyClass, tty, attribute);
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    std::snprintf(name, sizeof name, "%.63s", slash != nullptr ? slash + 1 : target);
    return true;
}

// The statx of a character device node; false for anything else.
bool nodeOf(int directory, const char* path, struct statx& info) {
    return statx(directory, path, 0, STATX_TYPE | STATX_MODE | STATX_GID | STATX_INO, &info) == 0 &&
           S_ISCHR(info.stx_mode);
}

dev_t deviceNumber(const struct statx& info) {
    return makedev(info.stx_rdev_major, info.stx_rdev_minor);
}

// The USB device above the tty's device, one to three folders up (an
// interface, then the device; a usb-serial port sits below the interface).
bool readUsb(const char* tty, PortInfo& port) {
    static const char* const kUp[] = {"device/..", "device/../..", "device/../../.."};
    for (const char* up : kUp) {
        char attribute[64];
        char text[16];
        std::snprintf(attribute, sizeof attribute, "%s/idVendor", up);
        if (!readAttribute(tty, attribute, text, sizeof text)) continue;
        port.vendor = static_cast<std::uint16_t>(std::strtoul(text, nullptr, 16));
        std::snprintf(attribute, sizeof attribute, "%s/idProduct", up);
        if (readAttribute(tty, attribute, text, sizeof text)) {
            port.product = static_cast<std::uint16_t>(std::strtoul(text, nullptr, 16));
        }
        std::snprintf(attribute, sizeof attribute, "%s/serial", up);
        readAttribute(tty, attribute, port.serial, sizeof port.serial);
        char maker[64] = {};
        char product[64] = {};
        std::snprintf(attribute, sizeof attribute, "%s/manufacturer", up);
        readAttribute(tty, attribute, maker, sizeof maker);
        std::snprintf(attribute, sizeof attribute, "%s/product", up);
        readAttribute(tty, attribute, product, sizeof product);
        std::snprintf(port.description, sizeof port.description, "%s%s%s", maker,
                      maker[0] != '\0' && product[0] != '\0' ? " " : "", product);
        return true;
    }
    return false;
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// A UART on the board or on a card: the buses a built-in port hangs from.
bool isBuiltinBus(const char* subsystem) {
    static const char* const kBuses[] = {"pnp",  "platform", "serial-base", "pci",
                                         "amba", "acpi",     "serial"};
    for (const char* bus : kBuses) {
        if (std::strcmp(subsystem, bus) == 0) return true;
    }
    return false;
}

// Whether a terminal is a serial port that is there: it has a device behind
// it (virtual consoles and pseudo-terminals have none; rfcomm ports are
// virtual but Bluetooth), and a ttyS name has a UART (type 0: none).
bool isPresentPort(const char* tty, bool& bluetooth) {
    char device[64];
    bluetooth = startsWith(tty, "rfcomm");
    if (!bluetooth && !linkTarget(tty, "device", device)) return false;
    char type[16];
    if (startsWith(tty, "ttyS") && readAttribute(tty, "type", type, sizeof type) &&
        std::strcmp(type, "0") == 0) {
        return false;
    }
    return true;
}

// sysfs writes a '/' of a device's name as '!'.
void nodeName(const char* tty, char (&name)[kPortNameSize]) {
    std::snprintf(name, sizeof name, "/dev/%s", tty);
    for (char* c = name; *c != '\0'; ++c) {
        if (*c == '!') *c = '/';
    }
}

struct Listing {
    PortInfo* ports;
    int capacity;
    int count;
    char consoles[256];  // the system's consoles, "tty0 ttyS0": no place for a robot
};

bool isConsole(const Listing& listing, const char* tty) {
    const std::size_t length = std::strlen(tty);
    for (const char* at = std::strstr(listing.consoles, tty); at != nullptr;
         at = std::strstr(at + 1, tty)) {
        const bool starts = at == listing.consoles || at[-1] == ' ';
        if (starts && (at[length] == ' ' || at[length] == '\0')) return true;
    }
    return false;
}

bool addPort(int, const char* tty, void* context) {
    Listing& listing = *static_cast<Listing*>(context);
    bool bluetooth = false;
    if (isConsole(listing, tty) || !isPresentPort(tty, bluetooth)) return true;
    PortInfo port = {};
    nodeName(tty, port.name);
    struct statx info;
    if (!nodeOf(AT_FDCWD, port.name, info)) return true;
    char subsystem[64] = {};
    if (bluetooth) {
        port.kind = PortKind::Bluetooth;
    } else if (readUsb(tty, port)) {
        port.kind = PortKind::Usb;
    } else {
        linkTarget(tty, "device/subsystem", subsystem);
        port.kind = isBuiltinBus(subsystem) ? PortKind::Builtin : PortKind::Other;
    }
    listing.ports[listing.count++] = port;
    return listing.count < listing.capacity;
}

// What findHolders looks for: the nodes of the devices, and what it found.
struct Search {
    struct statx nodes[kMostPorts];
    bool known[kMostPorts];
    PortHolder* holders;
    int count;
    int left;  // devices with a node and no holder yet
    int processId;
};

void noteHolder(Search& search, int i, int processId) {
    PortHolder& holder = search.holders[i];
    holder.found = true;
    holder.processId = processId;
    holder.thisProcess = processId == search.processId;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", processId);
    readText(path, holder.program, sizeof holder.program);
    --search.left;
}

const char* skipField(const char* text) {
    while (*text == ' ') ++text;
    while (*text != ' ' && *text != '\0') ++text;
    while (*text == ' ') ++text;
    return text;
}

// A line of /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:05:321 0 EOF",
// the file's node as the major and minor number of its file system (hex)
// and its inode; a waiter's line has "->" after the number.
bool takeLock(const char* line, void* context) {
    Search& search = *static_cast<Search*>(context);
    const char* field = skipField(line);
    if (std::strncmp(field, "->", 2) == 0) return true;
    field = skipField(skipField(skipField(field)));
    char* end = nullptr;
    const long processId = std::strtol(field, &end, 10);
    const unsigned long major = std::strtoul(end, &end, 16);
    const unsigned long minor = *end == ':' ? std::strtoul(end + 1, &end, 16) : 0;
    const unsigned long long inode = *end == ':' ? std::strtoull(end + 1, &end, 10) : 0;
    for (int i = 0; i < search.count; ++i) {
        const struct statx& node = search.nodes[i];
        if (search.known[i] && !search.holders[i].found && node.stx_ino == inode &&
            node.stx_dev_major == major && node.stx_dev_minor == minor) {
            noteHolder(search, i, static_cast<int>(processId));
        }
    }
    return search.left > 0;
}

struct Process {
    Search& search;
    int processId;
};

bool takeDescriptor(int directory, const char* name, void* context) {
    Process& process = *static_cast<Process*>(context);
    Search& search = process.search;
    struct statx info;
    if (!nodeOf(directory, name, info)) return true;
    for (int i = 0; i < search.count; ++i) {
        if (search.known[i] && !search.holders[i].found &&
            deviceNumber(info) == deviceNumber(search.nodes[i])) {
            noteHolder(search, i, process.processId);
        }
    }
    return search.left > 0;
}

// Another user's descriptors are closed to this one (unless root): those
// processes are passed over.
bool takeProcess(int, const char* name, void* context) {
    Search& search = *static_cast<Search*>(context);
    if (name[0] < '0' || name[0] > '9') return true;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/fd", name);
    Process process = {search, std::atoi(name)};
    forEachEntryOf(path, takeDescriptor, &process);
    return search.left > 0;
}

// The group with this number in /etc/group, and whether `user` is listed
// in it: "dialout:x:20:robot,alice".
struct GroupLookup {
    unsigned gid;
    const char* user;
    char name[32];
    bool listed;
};

bool takeGroup(const char* line, void* context) {
    GroupLookup& lookup = *static_cast<GroupLookup*>(context);
    const char* nameEnd = std::strchr(line, ':');
    const char* gid = nameEnd != nullptr ? std::strchr(nameEnd + 1, ':') : nullptr;
    if (gid == nullptr || std::strtoul(gid + 1, nullptr, 10) != lookup.gid) return true;
    std::snprintf(lookup.name, sizeof lookup.name, "%.*s", static_cast<int>(nameEnd - line), line);
    const char* members = std::strchr(gid + 1, ':');
    const std::size_t length = std::strlen(lookup.user);
    for (const char* at = members; at != nullptr && length > 0; at = std::strchr(at + 1, ',')) {
        if (std::strncmp(at + 1, lookup.user, length) != 0) continue;
        if (at[1 + length] == ',' || at[1 + length] == '\0') lookup.listed = true;
    }
    return false;
}

bool inThisSession(unsigned gid) {
    gid_t groups[256];
    const int count = getgroups(256, groups);
    for (int i = 0; i < count; ++i) {
        if (groups[i] == gid) return true;
    }
    return getegid() == gid;
}

}  // namespace

int listPorts(PortInfo* ports, int capacity) {
    static Listing listing;
    listing = {ports, capacity, 0, {}};
    readText("/sys/class/tty/console/active", listing.consoles, sizeof listing.consoles);
    if (capacity > 0) forEachEntryOf(kTtyClass, addPort, &listing);
    sortPorts(ports, listing.count);
    return listing.count;
}

void findHolders(const char* const* devices, int count, PortHolder* holders) {
    static Search search;
    search.holders = holders;
    search.count = count < kMostPorts ? count : kMostPorts;
    search.left = 0;
    search.processId = static_cast<int>(getpid());
    for (int i = 0; i < search.count; ++i) {
        holders[i] = {};
        search.known[i] = nodeOf(AT_FDCWD, devices[i], search.nodes[i]);
        if (search.known[i]) ++search.left;
    }
    if (search.left > 0) forEachLine("/proc/locks", takeLock, &search);
    if (search.left > 0) forEachEntryOf("/proc", takeProcess, &search);
}

void accessProblem(const char* device, char* text, int size) {
    text[0] = '\0';
    struct statx info;
    if (faccessat(AT_FDCWD, device, R_OK | W_OK, AT_EACCESS) == 0 || errno != EACCES ||
        !nodeOf(AT_FDCWD, device, info)) {
        return;
    }
    const char* user = std::getenv("USER");
    GroupLookup group = {info.stx_gid, user != nullptr ? user : "", {}, false};
    forEachLine("/etc/group", takeGroup, &group);
    const bool groupMayUse = (info.stx_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!groupMayUse || group.name[0] == '\0') {
        std::snprintf(text, static_cast<std::size_t>(size),
                      "only its owner may open %s (mode %03o): a udev rule can give a group"
                      " access",
                      device, info.stx_mode & 0777);
    } else if (group.listed && !inThisSession(info.stx_gid)) {
        std::snprintf(text, static_cast<std::size_t>(size),
                      "the device belongs to group %s, which %s joined after this session"
                      " began: log in again",
                      group.name, group.user);
    } else {
        std::snprintf(text, static_cast<std::size_t>(size),
                      "the device belongs to group %s: sudo usermod -aG %s %s, then log in again",
                      group.name, group.name, user != nullptr ? user : "$USER");
    }
}

}  // namespace velocart

#else

namespace velocart {

int listPorts(PortInfo*, int) { return 0; }

void findHolders(const char* const*, int count, PortHolder* holders) {
    for (int i = 0; i < count; ++i) holders[i] = {};
}

void accessProblem(const char*, char* text, int) { text[0] = '\0'; }

}  // namespace velocart

#endif
