// A link's log file: every status frame the link takes in and every command
// frame it sends, one comma-separated line each with its stamp, under a
// header line that names the columns; every other field is a number:
//   time,sent,code,x,y,heading,v,w,aux1,aux2
// time is the frame's stamp (seconds since the link was opened, as
// readLatest gives it); sent is 0 for a status taken in, 1 for a command
// sent; code is the frame's code field (3 velocity, 7 odometry, 0 free
// wheels for commands). A status gives its odometry, velocities and
// auxiliary values; a command the fields its code owns, 0 elsewhere.
#pragma once

#include <cstdint>

#include "gateway/links.h"

namespace velocart {

// The caller: starts logging the open link to `path` (appended to, created
// if missing; the header goes only into an empty file). False, with the
// system's words in `why`, if the file cannot be opened.
bool startLog(Link& link, const char* path, char* why, int whySize);

// The caller: ends the link's logging, writes out what is left and closes
// the file. Harmless when it has none.
void stopLog(Link& link);

// Either thread: puts a frame into the link's log while it is active. The
// `Locked` form is for a caller that holds the link's framesLock.
void logFrame(Link& link, const std::uint8_t* bytes, bool sent, double stamp);
void logFrameLocked(Link& link, const std::uint8_t* bytes, bool sent, double stamp);

// The worker, each tick: writes out the entries of every active log at
// least every kLogInterval seconds, and returns how long it may wait.
constexpr double kLogInterval = 0.05;
double writeLogs();

}  // namespace velocart
