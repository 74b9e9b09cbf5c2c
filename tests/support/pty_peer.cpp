// The far end of the cable for tests: a pseudo-terminal whose slave side is
// reached through a symbolic link, as a USB serial adapter would be.
//
//   pty_peer --link PATH [--record FILE]
//
// Prints "ready PATH" once the link exists. Every byte the driver writes is
// appended to FILE as it arrives. Commands on stdin, one per line:
//   send HEX...   write these bytes (hex, spaces allowed) towards the driver
//   hangup        close the master side: the driver's I/O then fails
//   quit          remove the link and exit (also on end of input or SIGTERM)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

bool writeAll(int fd, const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
    return true;
}

bool parseHex(const std::string& text, std::vector<unsigned char>& out) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    if (digits.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

int openMaster(std::string& slaveName, int& slaveFd) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    slaveName = ptsname(master);
    // Hold the slave open in raw mode so bytes sent before the driver opens
    // pass unchanged, and so the master sees no hang-up between opens.
    slaveFd = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    if (slaveFd < 0) return -1;
    termios tio;
    tcgetattr(slaveFd, &tio);
    cfmakeraw(&tio);
    tcsetattr(slaveFd, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return master;
}

}  // namespace

int main(int argc, char** argv) {
    std::string link, record;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--link") == 0) link = argv[i + 1];
        if (std::strcmp(argv[i], "--record") == 0) record = argv[i + 1];
    }
    if (link.empty()) {
        std::fprintf(stderr, "usage: pty_peer --link PATH [--record FILE]\n");
        return 2;
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    signal(SIGPIPE, SIG_IGN);

    std::string slaveName;
    int slaveFd = -1;
    int master = openMaster(slaveName, slaveFd);
    if (master < 0) {
        std::perror("pty_peer: pseudo-terminal");
        return 1;
    }
    unlink(link.c_str());
    if (symlink(slaveName.c_str(), link.c_str()) != 0) {
        std::perror("pty_peer: symlink");
        return 1;
    }
    const int out = record.empty() ? -1 : open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::printf("ready %s\n", link.c_str());
    std::fflush(stdout);

    std::string pending;
    bool inputOpen = true;
    while (!stopRequested && inputOpen) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {master, POLLIN, 0}};
        if (poll(fds, master >= 0 ? 2 : 1, 200) < 0 && errno != EINTR) break;
        if (master >= 0 && (fds[1].revents & POLLIN)) {
            unsigned char buf[4096];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0 && out >= 0) writeAll(out, std::vector<unsigned char>(buf, buf + n));
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
        char chunk[4096];
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            inputOpen = false;
            continue;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            std::vector<unsigned char> bytes;
            if (line.rfind("send ", 0) == 0 && master >= 0 && parseHex(line.substr(5), bytes)) {
                writeAll(master, bytes);
            } else if (line == "hangup" && master >= 0) {
                close(master);
                close(slaveFd);
                master = -1;
            } else if (line == "quit") {
                inputOpen = false;
            } else if (!line.empty()) {
                std::fprintf(stderr, "pty_peer: cannot do '%s'\n", line.c_str());
            }
        }
    }
    unlink(link.c_str());
    return 0;
}
