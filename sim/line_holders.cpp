#include "sim/line_holders.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>

namespace velocart::sim {

namespace {

constexpr std::uint32_t kOpenCloseEvents = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;

bool holdsDevice(const std::string& fdFolder, const std::string& device) {
    DIR* folder = opendir(fdFolder.c_str());
    if (folder == nullptr) return false;  // gone, or not ours to look into
    bool found = false;
    char target[4096];
    while (!found) {
        const dirent* entry = readdir(folder);
        if (entry == nullptr) break;
        const std::string link = fdFolder + "/" + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target);
        found = n > 0 && std::string(target, static_cast<std::size_t>(n)) == device;
    }
    closedir(folder);
    return found;
}

// Whether a process other than this one has `device` open.
bool anotherProcessHolds(const std::string& device) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return false;
    const std::string self = std::to_string(getpid());
    bool found = false;
    while (!found) {
        const dirent* entry = readdir(proc);
        if (entry == nullptr) break;
        const std::string pid = entry->d_name;
        if (!std::isdigit(static_cast<unsigned char>(pid[0])) || pid == self) continue;
        found = holdsDevice("/proc/" + pid + "/fd", device);
    }
    closedir(proc);
    return found;
}

}  // namespace

LineHolders::LineHolders(const std::string& slavePath) : path_(slavePath) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && inotify_add_watch(fd_, path_.c_str(), kOpenCloseEvents) < 0) stop();
}

LineHolders::~LineHolders() { stop(); }

void LineHolders::stop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool LineHolders::update() {
    if (fd_ < 0) return false;
    const bool wasHeld = held();
    bool closed = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;  // nothing more waiting
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED)) {
                stop();  // the count can no longer be trusted
                return false;
            }
            if (event->mask & IN_OPEN) ++opens_;
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                if (opens_ > 0) --opens_;
                closed = true;
            }
        }
    }
    if (opens_ > 0) {
        lingering_ = false;
    } else if (closed) {
        lingering_ = anotherProcessHolds(path_);
    }
    return wasHeld && !held();
}

}  // namespace velocart::sim
