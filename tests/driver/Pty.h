// A pseudo-terminal whose master side a test holds to play the register;
// the driver opens the slave side as its serial line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>

struct TPty {
    TPty() {
        Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (Master < 0 || grantpt(Master) < 0 || unlockpt(Master) < 0) std::abort();
        Slave = ptsname(Master);
        // Opened before the line takes the slave exclusively; only polled.
        Watch = open(Slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~TPty() {
        close(Watch);
        if (Master >= 0) close(Master);
    }
    void Send(std::string_view Bytes) {
        ASSERT_EQ(write(Master, Bytes.data(), Bytes.size()), std::ssize(Bytes));
    }
    std::string Take(size_t Count) {
        std::string got;
        char buf[64];
        pollfd p{Master, POLLIN, 0};
        while (got.size() < Count && poll(&p, 1, 1000) > 0) {
            const ssize_t n = read(Master, buf, std::min(sizeof buf, Count - got.size()));
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    // The register's XOFF reaches the line asynchronously: wait until the
    // line refuses output.
    bool WaitStopped() {
        for (int i = 0; i < 5000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
            if (pollfd p{Watch, POLLOUT, 0}; poll(&p, 1, 0) == 0) return true;
        return false;
    }

    int Master, Watch;
    std::string Slave;
};
