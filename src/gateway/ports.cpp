// The 'ports' command, identities and reopening (ports.h says what each
// does). The table comes from the serial folder's port list; the gateway
// adds what only it knows: which link holds a port, and whether a robot
// answers on it.
#include "gateway/ports.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "gateway/arguments.h"
#include "protocol/command_frame.h"
#include "protocol/frame_assembler.h"

namespace velocart {

namespace {

// The longest a probe spends on one port, its open included, and how much
// of it goes to listening for a robot that talks unasked.
constexpr double kProbeSeconds = 0.15;
constexpr double kListenSeconds = 0.03;
constexpr double kNotChecked = std::numeric_limits<double>::quiet_NaN();

// One row of the table.
struct PortRow {
    PortInfo port;
    char identity[kPortIdentitySize];
    char heldBy[96];   // empty when nobody holds it
    char access[256];  // empty when this user may open it
    double robot;
};

// Where a link opened by identity was opened.
struct LinkIdentity {
    bool set;
    PortInfo port;
    char identity[kPortIdentitySize];
};

PortInfo Found[kMostPorts];
PortRow Rows[kMostPorts];
LinkIdentity Identities[kLinkCount];
// The probe's own port, Closed between probes.
SerialLinkState ProbePort;

const char* kindName(PortKind kind) {
    switch (kind) {
        case PortKind::Usb: return "usb";
        case PortKind::Builtin: return "builtin";
        case PortKind::Bluetooth: return "bluetooth";
        default: return "other";
    }
}

void describeHolder(const PortHolder& holder, char (&text)[96]) {
    if (holder.thisProcess) {
        std::snprintf(text, sizeof text, "this session (pid %d), not on a link of this module",
                      holder.processId);
    } else if (holder.processId > 0) {
        std::snprintf(text, sizeof text, "another program (%s, pid %d)", holder.program,
                      holder.processId);
    } else {
        std::snprintf(text, sizeof text, "another program");
    }
}

// The table as the system gives it, with who holds each port and whether
// this user may open it; nothing is opened.
int tableRows() {
    const int count = listPorts(Found, kMostPorts);
    const char* devices[kMostPorts];
    PortHolder holders[kMostPorts];
    for (int i = 0; i < count; ++i) {
        PortRow& row = Rows[i];
        row = {};
        row.port = Found[i];
        row.robot = kNotChecked;
        identityOf(row.port, row.identity);
        devices[i] = row.port.name;
        const Link* link = linkHoldingDevice(nullptr, row.port.name);
        if (link != nullptr)
            std::snprintf(row.heldBy, sizeof row.heldBy, "link %d", numberOf(*link));
        accessProblem(row.port.name, row.access, sizeof row.access);
    }
    findHolders(devices, count, holders);
    for (int i = 0; i < count; ++i) {
        if (Rows[i].heldBy[0] == '\0' && holders[i].found)
            describeHolder(holders[i], Rows[i].heldBy);
    }
    return count;
}

class Heard : public FrameListener {
public:
    void onFrame(const std::uint8_t*) override { heard = true; }
    bool heard = false;
};

struct Hearing {
    FrameAssembler assembler{kStatusFrameFormat};
    Heard listener;
};

int feedProbe(const std::uint8_t* bytes, int count, int, void* context) {
    Hearing& hearing = *static_cast<Hearing*>(context);
    hearing.assembler.feed(bytes, static_cast<std::size_t>(count), hearing.listener);
    return hearing.listener.heard ? 0 : hearing.assembler.missing();
}

ReceiveOutcome listenUntil(Hearing& hearing, double deadline) {
    std::uint8_t scratch[kReceiveBufferSize];
    const double left = deadline - monotonicSeconds();
    return receiveUntil(ProbePort, scratch, kReceiveBufferSize, left > 0.0 ? left : 0.0, feedProbe,
                        &hearing, hostInterruptPending);
}

enum class Probe { Robot, Silent, Refused, Interrupted };

// Listens for a status frame; if none comes, sends one zero-velocity frame
// and waits for the reply: all within kProbeSeconds of the open. The port
// is closed again whatever happened.
Probe probe(const char* device) {
    const double deadline = monotonicSeconds() + kProbeSeconds;
    if (openPortByName(ProbePort, device, kLineBaudRate) != kPortOpen) return Probe::Refused;
    Hearing hearing;
    ReceiveOutcome outcome =
        listenUntil(hearing, std::min(deadline, monotonicSeconds() + kListenSeconds));
    if (outcome == ReceiveOutcome::TimedOut) {
        CommandFrameBytes stop = {};
        encodeVelocity(0.0f, 0.0f, stop);
        writeFrame(ProbePort, stop.bytes, kCommandFrameSize);
        outcome = listenUntil(hearing, deadline);
    }
    closePort(ProbePort);
    if (outcome == ReceiveOutcome::Interrupted) return Probe::Interrupted;
    return hearing.listener.heard ? Probe::Robot : Probe::Silent;
}

// Probes each port nobody holds and this user may open. A port another
// program holds shows here on Windows, whose table cannot tell.
void probeRows(int count, const char* module) {
    for (int i = 0; i < count; ++i) {
        PortRow& row = Rows[i];
        if (row.heldBy[0] != '\0' || row.access[0] != '\0') continue;
        const Probe result = probe(row.port.name);
        if (result == Probe::Interrupted) {
            mexPrintf("%s: interrupted; the ports from %s on were not checked.\n", module,
                      row.port.name);
            return;
        }
        if (result != Probe::Refused) {
            row.robot = result == Probe::Robot ? 1.0 : 0.0;
        } else if (lastOpenFailure().problem == OpenProblem::Busy) {
            std::snprintf(row.heldBy, sizeof row.heldBy, "another program");
        }
    }
}

const char* robotText(double robot) {
    if (std::isnan(robot)) return "not checked";
    return robot > 0.0 ? "yes" : "no";
}

void printRows(int count, const char* module) {
    if (count == 0) mexPrintf("%s: no serial port found.\n", module);
    for (int i = 0; i < count; ++i) {
        const PortRow& row = Rows[i];
        mexPrintf("%-14s %-9s %-28s %s; robot: %s; access: %s%s%s\n", row.port.name,
                  kindName(row.port.kind), row.identity,
                  row.heldBy[0] != '\0' ? row.heldBy : "free", robotText(row.robot),
                  row.access[0] != '\0' ? row.access : "ok",
                  row.port.description[0] != '\0' ? "; " : "", row.port.description);
    }
}

void setText(mxArray* table, int index, const char* field, const char* text) {
    mxSetField_700(table, index, field, mxCreateString(text));
}

void setNumber(mxArray* table, int index, const char* field, double value) {
    mxArray* number = mxCreateDoubleMatrix_700(1, 1, mxREAL);
    mxGetPr(number)[0] = value;
    mxSetField_700(table, index, field, number);
}

mxArray* rowsArray(int count) {
    const char* fields[] = {"name",        "kind", "vid",    "pid",    "serial",
                            "description", "id",   "heldBy", "access", "robot"};
    mxArray* table = mxCreateStructMatrix_700(1, count, 10, fields);
    for (int i = 0; i < count; ++i) {
        const PortRow& row = Rows[i];
        setText(table, i, "name", row.port.name);
        setText(table, i, "kind", kindName(row.port.kind));
        setNumber(table, i, "vid", row.port.vendor);
        setNumber(table, i, "pid", row.port.product);
        setText(table, i, "serial", row.port.serial);
        setText(table, i, "description", row.port.description);
        setText(table, i, "id", row.identity);
        setText(table, i, "heldBy", row.heldBy);
        setText(table, i, "access", row.access[0] != '\0' ? row.access : "ok");
        setNumber(table, i, "robot", row.robot);
    }
    return table;
}

// No argument, or 'probe'.
bool readProbe(const mxArray* argument, bool& probing) {
    probing = false;
    if (argument == nullptr) return true;
    const ArgumentText text(argument);
    probing = text.text() != nullptr && std::strcmp(text.text(), "probe") == 0;
    return probing;
}

}  // namespace

void runPortsCommand(int nlhs, mxArray* plhs[], const mxArray* argument, const char* module) {
    bool probing = false;
    if (!readProbe(argument, probing)) {
        mexPrintf("%s: 'ports' takes nothing or 'probe', e.g. %s('ports', 'probe').\n", module,
                  module);
        if (nlhs >= 1) plhs[0] = mxCreateDoubleMatrix_700(0, 0, mxREAL);
        return;
    }
    const int count = tableRows();
    if (probing) probeRows(count, module);
    if (nlhs == 0) {
        printRows(count, module);
    } else {
        plhs[0] = rowsArray(count);
    }
}

IdentityMatch resolveIdentity(const char* identity, ResolvedIdentity& resolved) {
    resolved = {};
    const int count = listPorts(Found, kMostPorts);
    for (int i = 0; i < count; ++i) {
        if (!matchesIdentity(Found[i], identity)) continue;
        char whole[kPortIdentitySize];
        identityOf(Found[i], whole);
        const std::size_t used = std::strlen(resolved.matches);
        std::snprintf(resolved.matches + used, sizeof resolved.matches - used, "%s%s (%s)",
                      used > 0 ? ", " : "", Found[i].name, whole);
        if (resolved.count++ > 0) continue;
        resolved.port = Found[i];
        std::snprintf(resolved.identity, sizeof resolved.identity, "%s", whole);
    }
    if (resolved.count == 0) return IdentityMatch::None;
    return resolved.count == 1 ? IdentityMatch::One : IdentityMatch::Several;
}

void rememberIdentity(const Link& link, const PortInfo* port) {
    LinkIdentity& remembered = Identities[numberOf(link) - 1];
    remembered = {};
    if (port == nullptr) return;
    remembered.set = true;
    remembered.port = *port;
    identityOf(*port, remembered.identity);
}

const char* identityOfLink(const Link& link) { return Identities[numberOf(link) - 1].identity; }

bool reopenIfBack(Link& link) {
    const LinkIdentity& remembered = Identities[numberOf(link) - 1];
    if (!remembered.set || checkDevice(link.port) || !link.port.isLost) return false;
    ResolvedIdentity back;
    return resolveIdentity(remembered.identity, back) == IdentityMatch::One &&
           openPortByName(link.port, back.port.name, kLineBaudRate) == kPortOpen;
}

Link* linkOfIdentity(const char* identity) {
    for (int k = 0; k < kLinkCount; ++k) {
        if (Identities[k].set && matchesIdentity(Identities[k].port, identity)) return &Links[k];
    }
    ResolvedIdentity resolved;
    return resolveIdentity(identity, resolved) == IdentityMatch::One
               ? linkHoldingDevice(nullptr, resolved.port.name)
               : nullptr;
}

void refusalHint(OpenProblem problem, const char* device, const char* general, char* hint,
                 int size) {
    const std::size_t room = static_cast<std::size_t>(size);
    std::snprintf(hint, room, "%s", general);
    if (problem == OpenProblem::Busy) {
        PortHolder holder = {};
        findHolders(&device, 1, &holder);
        char holderText[96];
        describeHolder(holder, holderText);
        if (holder.found && holder.processId > 0) {
            std::snprintf(hint, room, "; %s holds the port: close it there first", holderText);
        }
    } else if (problem == OpenProblem::AccessDenied) {
        char access[256];
        accessProblem(device, access, sizeof access);
        if (access[0] != '\0') std::snprintf(hint, room, "; %s", access);
    }
}

}  // namespace velocart
