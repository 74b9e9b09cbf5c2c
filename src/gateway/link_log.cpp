#include "gateway/link_log.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "protocol/byte_order.h"

namespace velocart {

namespace {

constexpr char kHeader[] = "time,sent,code,x,y,heading,v,w,aux1,aux2\n";
// One line at most: ten numbers of at most 24 characters and their commas.
constexpr int kLineSize = 256;

// What the worker writes out in one go, taken from a link's entries under
// its lock and formatted without it.
LogEntry Taken[kLogEntries];
char Text[kLogEntries * kLineSize / 4];

// A number as every reader of comma-separated values takes it; the
// non-finite values a frame can carry in its singles, too.
int putNumber(char* at, int room, double value, const char* format) {
    if (std::isnan(value)) return std::snprintf(at, static_cast<std::size_t>(room), ",NaN");
    if (std::isinf(value)) {
        return std::snprintf(at, static_cast<std::size_t>(room), value > 0 ? ",Inf" : ",-Inf");
    }
    return std::snprintf(at, static_cast<std::size_t>(room), format, value);
}

// The values of a line after its time and kind: odometry, velocities and
// auxiliary values.
void commandValues(const std::uint8_t* frame, int code, double values[7]) {
    for (int i = 0; i < 7; ++i) values[i] = 0.0;
    if (code == kCodeVelocity) {
        values[3] = getLeInt16(frame + kVelocity1Offset) / kVelocityScale;
        values[4] = getLeInt16(frame + kVelocity2Offset) / kVelocityScale;
    } else if (code == kCodeOdometry) {
        values[0] = getLeFloat(frame + kOdometry1Offset);
        values[1] = getLeFloat(frame + kOdometry2Offset);
        values[2] = getLeFloat(frame + kOdometry3Offset);
    }
}

int formatLine(const LogEntry& entry, char* at, int room) {
    const int code = getLe16(entry.bytes + kCommandCodeOffset);
    double values[7];
    if (entry.sent) {
        commandValues(entry.bytes, code, values);
    } else {
        double status[kStatusVectorSize];
        decodeStatus(entry.bytes, true, status);
        for (int i = 0; i < 7; ++i) values[i] = status[i + 1];
    }
    int length = std::snprintf(at, static_cast<std::size_t>(room), "%.6f,%d,%d", entry.stamp,
                               entry.sent ? 1 : 0, code);
    // Odometry in singles: 9 digits give them back exactly; velocities and
    // auxiliary values are fixed point (steps of 1/256 and 1/4096).
    for (int i = 0; i < 7; ++i) {
        length += putNumber(at + length, room - length, values[i], i < 3 ? ",%.9g" : ",%.15g");
    }
    return length + std::snprintf(at + length, static_cast<std::size_t>(room - length), "\n");
}

// Writes out what the link's log holds; false, with the reason kept, if
// the file refused it.
bool writeOut(Link& link) {
    LinkLog& log = link.log;
    int count = 0;
    {
        HeldLock held(link.framesLock);
        count = log.count;
        std::memcpy(Taken, log.entries, sizeof(LogEntry) * static_cast<std::size_t>(count));
        log.count = 0;
    }
    int length = 0;
    for (int i = 0; i < count; ++i) {
        if (static_cast<int>(sizeof Text) - length < kLineSize) {
            if (!appendLogFile(log.file, Text, length, log.why, sizeof log.why)) return false;
            length = 0;
        }
        length += formatLine(Taken[i], Text + length, static_cast<int>(sizeof Text) - length);
    }
    return length == 0 || appendLogFile(log.file, Text, length, log.why, sizeof log.why);
}

}  // namespace

bool startLog(Link& link, const char* path, char* why, int whySize) {
    stopLog(link);
    LinkLog& log = link.log;
    bool empty = false;
    if (!openLogFile(path, log.file, empty, why, whySize)) return false;
    if (empty && !appendLogFile(log.file, kHeader, sizeof kHeader - 1, why, whySize)) {
        closeLogFile(log.file);
        return false;
    }
    std::snprintf(log.path, sizeof log.path, "%s", path);
    log.dropped = log.droppedReported = 0;
    log.writtenAt = monotonicSeconds();
    log.failed.store(false);
    HeldLock held(link.framesLock);
    log.count = 0;
    log.active.store(true);
    return true;
}

void stopLog(Link& link) {
    LinkLog& log = link.log;
    if (log.file == kNoFile) return;
    {
        HeldLock held(link.framesLock);
        log.finishing.store(log.active.exchange(false));
    }
    // The worker writes out what is left at its next tick: the first sync
    // lets the tick under way end, the second waits for the next one. A
    // worker that no longer runs leaves it to the caller.
    syncWorker();
    syncWorker();
    if (log.finishing.exchange(false) && !writeOut(link)) log.failed.store(true);
    closeLogFile(log.file);
    log.path[0] = '\0';
}

void logFrameLocked(Link& link, const std::uint8_t* bytes, bool sent, double stamp) {
    LinkLog& log = link.log;
    if (!log.active.load()) return;
    if (log.count == kLogEntries) {
        ++log.dropped;
        noteThreadNews();
        return;
    }
    LogEntry& entry = log.entries[log.count++];
    entry.stamp = stamp;
    entry.sent = sent;
    std::memcpy(entry.bytes, bytes, sent ? kCommandFrameSize : kStatusFrameSize);
}

void logFrame(Link& link, const std::uint8_t* bytes, bool sent, double stamp) {
    if (!link.log.active.load()) return;
    HeldLock held(link.framesLock);
    logFrameLocked(link, bytes, sent, stamp);
}

double writeLogs() {
    double wait = 1.0;
    const double now = monotonicSeconds();
    for (Link& link : Links) {
        LinkLog& log = link.log;
        const bool finishing = log.finishing.load();
        if (!log.active.load() && !finishing) continue;
        const double due = log.writtenAt + kLogInterval - now;
        if (due > 0.0 && !finishing) {
            if (due < wait) wait = due;
            continue;
        }
        log.writtenAt = now;
        if (!writeOut(link)) {
            log.active.store(false);
            log.failed.store(true);
            noteThreadNews();
        }
        if (finishing) log.finishing.store(false);
        if (kLogInterval < wait) wait = kLogInterval;
    }
    return wait;
}

}  // namespace velocart
