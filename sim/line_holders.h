// Whether anyone but the simulator has the pty's slave side open.
//
// The simulator keeps the slave open itself, so the master never sees a
// hang-up when the driver goes away. TIOCEXCL would tell only for the POSIX
// driver (the Windows build under Wine never sets it), so the opens and
// closes of the slave device are counted from inotify events, which every
// opener causes, Wine's server included.
//
// Inotify merges an event into an identical one still unread, so two quick
// opens may count as one. Before the line is called free, /proc is searched
// for another process that has the device open. Two quick closes may also
// count as one; that errs towards "held", as does everything that cannot be
// told (no inotify, a lost event queue).
#pragma once

#include <string>

namespace velocart::sim {

class LineHolders {
public:
    // Starts watching `slavePath`: after the simulator's own open of it and
    // before the link to it is made.
    explicit LineHolders(const std::string& slavePath);
    ~LineHolders();
    LineHolders(const LineHolders&) = delete;
    LineHolders& operator=(const LineHolders&) = delete;

    // The descriptor to poll for new events; -1 when nothing is watched.
    int fd() const { return fd_; }

    // Takes the events waiting. True if the line was held before and is free
    // now, i.e. the last other holder has just closed it.
    bool update();

    bool held() const { return fd_ < 0 || opens_ > 0 || lingering_; }

    // Ends the watch, e.g. when the simulator closes the line itself.
    void stop();

private:
    std::string path_;
    int fd_ = -1;
    int opens_ = 0;           // opens minus closes seen, never below zero
    bool lingering_ = false;  // the count is zero, but another process holds the device
};

// The id of another running velocart-sim that holds the master side of the
// pty whose slave is `line` (a path /dev/pts/N), or 0: no simulator holds
// it, or `line` is no pty. The slave side tells nothing: a terminal's is open
// in every program started from it, a simulator included.
int simulatorHolding(const std::string& line);

}  // namespace velocart::sim
