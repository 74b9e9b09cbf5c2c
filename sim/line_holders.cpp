#include "sim/line_holders.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>

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

// The id of the first process other than this one for which `test` holds,
// given its folder under /proc; 0 if none does.
template <typename Test>
int findOtherProcess(const Test& test) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    const std::string self = std::to_string(getpid());
    int found = 0;
    while (found == 0) {
        const dirent* entry = readdir(proc);
        if (entry == nullptr) break;
        const std::string pid = entry->d_name;
        if (!std::isdigit(static_cast<unsigned char>(pid[0])) || pid == self) continue;
        if (test("/proc/" + pid)) found = std::atoi(pid.c_str());
    }
    closedir(proc);
    return found;
}

// Whether a process other than this one has `device` open.
bool anotherProcessHolds(const std::string& device) {
    return findOtherProcess([&device](const std::string& process) {
               return holdsDevice(process + "/fd", device);
           }) != 0;
}

// Whether the process runs a velocart-sim, wherever it is installed (and
// also after it was rebuilt under the running process).
bool isSimulator(const std::string& process) {
    char target[4096];
    const ssize_t n = readlink((process + "/exe").c_str(), target, sizeof target);
    if (n <= 0) return false;
    std::string path(target, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    return path.substr(path.rfind('/') + 1) == "velocart-sim";
}

// Whether the process holds the master side of pty `number`. The kernel
// names a master's pty in its fdinfo; a master it does not name (an old
// kernel) counts as that one, so that the doubt errs towards refusing.
bool holdsMaster(const std::string& process, long number) {
    DIR* folder = opendir((process + "/fd").c_str());
    if (folder == nullptr) return false;
    bool found = false;
    char target[4096];
    while (!found) {
        const dirent* entry = readdir(folder);
        if (entry == nullptr) break;
        const ssize_t n =
            readlink((process + "/fd/" + entry->d_name).c_str(), target, sizeof target);
        const std::string device(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (device != "/dev/ptmx" && device != "/dev/pts/ptmx") continue;
        std::ifstream info(process + "/fdinfo/" + entry->d_name);
        if (!info) continue;  // closed meanwhile
        found = true;
        for (std::string line; std::getline(info, line);) {
            if (line.rfind("tty-index:", 0) == 0) found = std::atol(line.c_str() + 10) == number;
        }
    }
    closedir(folder);
    return found;
}

}  // namespace

int simulatorHolding(const std::string& line) {
    const std::string folder = "/dev/pts/";
    if (line.compare(0, folder.size(), folder) != 0) return 0;
    char* end = nullptr;
    const long number = std::strtol(line.c_str() + folder.size(), &end, 10);
    if (end == line.c_str() + folder.size() || *end != '\0') return 0;
    return findOtherProcess([number](const std::string& process) {
        return isSimulator(process) && holdsMaster(process, number);
    });
}

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
