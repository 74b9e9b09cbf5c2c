// Finding the robot and keeping it: the 'ports' table (with a probe for
// robots), opening a USB adapter by its identity, reopening a link opened
// so after its adapter was unplugged and plugged in again, and what a
// refused open can say about who holds the port or why this user may not
// open it. All on the caller's thread.
#pragma once

#include "gateway/host_api.h"
#include "gateway/links.h"
#include "serial/port_list.h"
#include "serial/serial_link.h"

namespace velocart {

// P = VelocartDriver('ports'), or ('ports', 'probe'): the struct array of
// the machine's serial ports; with no output, a line for each. `module` is
// the name the module was called by, for its lines.
void runPortsCommand(int nlhs, mxArray* plhs[], const mxArray* argument, const char* module);

enum class IdentityMatch { One, None, Several };

struct ResolvedIdentity {
    PortInfo port;                        // the one port that answers
    char identity[kPortIdentitySize];     // its whole identity
    int count;                            // how many answer
    char matches[6 * kPortIdentitySize];  // "NAME (IDENTITY), ..." for each
};

// The port an identity names, whole or in part.
IdentityMatch resolveIdentity(const char* identity, ResolvedIdentity& resolved);

// The port a link was opened on by identity, or null when it was opened by
// a name or a number: only a link opened by identity is reopened after a
// replug. identityOfLink gives the whole identity, empty for none.
void rememberIdentity(const Link& link, const PortInfo* port);
const char* identityOfLink(const Link& link);

// For a link opened by identity: lets the handle go if its adapter no
// longer answers, and opens the adapter again if it is lost and plugged in
// again, under any name. True when it reopened.
bool reopenIfBack(Link& link);

// The link opened by this identity (or a part of it), or holding the port
// it names; null if none.
Link* linkOfIdentity(const char* identity);

// What a refusal adds after the system's words: who holds the device, or
// what its permissions need, where the system tells; else `general`.
void refusalHint(OpenProblem problem, const char* device, const char* general, char* hint,
                 int size);

}  // namespace velocart
