#pragma once
// A pseudo-terminal pair for tests: the port under test opens the slave by its path, the test
// plays the device on the master side.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slavePath = ptsname(master);
    }
    ~Pty() { closeMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    void closeMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    // Reads until n bytes have come from the port or two seconds have passed.
    std::vector<uint8_t> readSome(size_t n) {
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            uint8_t buf[256];
            const ssize_t r = ::read(master, buf, sizeof buf);
            if (r > 0)
                got.insert(got.end(), buf, buf + r);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return got;
    }
    int master = -1;
    std::string slavePath;
};
