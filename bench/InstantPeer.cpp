// kestor-bench-peer: a register that answers at once, for measuring what the
// host's side of a pseudo-terminal costs. It prints KESTOR_COM1=<device> and
// serves until its standard input closes. The emulator's register answers a
// request the first time; the same request again gets the same answer, with
// one read and one write and nothing else between.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "Register.h"

int main() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        std::perror("kestor-bench-peer: pty");
        return 1;
    }
    // Held open so the line stays up between the clients, and set raw.
    const int slave = open(name, O_RDWR | O_NOCTTY);
    termios tio{};
    if (slave < 0 || tcgetattr(slave, &tio) < 0) {
        std::perror("kestor-bench-peer: pty slave");
        return 1;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(slave, TCSANOW, &tio);
    std::printf("KESTOR_COM1=%s\n", name);
    std::fflush(stdout);

    kest::emu::TConfig config;
    config.BaudRate = 115200;
    kest::emu::TRegister reg(config);
    std::map<std::string, std::string> answers;
    std::string frame;
    char buf[4096];
    for (;;) {
        pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) {
            if (read(STDIN_FILENO, buf, sizeof buf) <= 0) return 0;
            continue;
        }
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) continue;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == kest::emu::Stx) frame.clear();
            if (frame.size() >= 1 << 16) frame.clear();  // no frame of ours
            frame += buf[i];
            if (buf[i] != kest::emu::Etx || frame[0] != kest::emu::Stx) continue;
            auto known = answers.find(frame);
            if (known == answers.end()) {
                const auto now = std::chrono::steady_clock::now();
                reg.Receive(frame, now);
                known = answers.emplace(frame, reg.Poll(now + std::chrono::seconds(1))).first;
            }
            if (write(master, known->second.data(), known->second.size()) < 0)
                std::perror("kestor-bench-peer: write");
            frame.clear();
        }
    }
}
