// The server program without a window: configuration file, status lines on the console, a client
// served, the ready line after the start-up pause, and a clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "net/Net.h"
#include "tests/e2e/badinput_support.h"
#include "tests/app/support/TestClient.h"

namespace {

using Clock = std::chrono::steady_clock;

// The server process, its console collected by a reader thread; killed if the test leaves early.
class Server {
public:
    Server(const std::string& configPath) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            ::execl(KIVONET_BIN, KIVONET_BIN, "--headless", "--config", configPath.c_str(), nullptr);
            std::_Exit(127);
        }
        ::close(out[1]);
        readFd_ = out[0];
        reader_ = std::thread([this] {
            char chunk[1024];
            ssize_t n;
            while ((n = ::read(readFd_, chunk, sizeof chunk)) > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                console_.append(chunk, static_cast<size_t>(n));
            }
        });
    }
    ~Server() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
        ::close(readFd_);
    }

    std::string console() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return console_;
    }
    bool waitForLine(const std::string& line, int timeoutMs) const {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (console().find(line + "\n") == std::string::npos) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    // Sends the signal and gives the exit status, or -1 when the process did not end in time.
    int stop(int sig) {
        ::kill(pid_, sig);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    int readFd_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string console_;
};

TEST(Headless, ServesAClientAndStopsCleanly) {
    const int port = badinput::freeConfigurablePort();
    ASSERT_GT(port, 0);
    char dir[] = "/tmp/kivonet-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string configPath = std::string(dir) + "/cfg.bin";
    {
        // No serial port (COM0), the device type byte, the port offset, no time limit, clients
        // accepted at once, routing to both outputs.
        const char record[6] = {static_cast<char>(0xFF), 0x50, static_cast<char>(port - 3001), 0, 0, 2};
        std::ofstream(configPath, std::ios::binary).write(record, sizeof record);
    }

    const auto started = Clock::now();
    Server server(configPath);
    const std::string opened = "Server Socket Opened OK at Port " + std::to_string(port);
    ASSERT_TRUE(server.waitForLine(opened, 5000)) << server.console();
    ASSERT_TRUE(server.waitForLine("Awaiting Client Connection", 5000)) << server.console();

    TestClient client(port);
    EXPECT_EQ(client.readLine(), "OK");
    const std::string ready = "COM0  KIVO16  0 minutes  Ready";
    ASSERT_TRUE(server.waitForLine(ready, 5000)) << server.console();
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(2000));

    const std::string console = server.console();
    const auto pos = [&](const std::string& line) { return console.find(line + "\n"); };
    // The program says once that it runs without a window; then the hub's first status line.
    EXPECT_EQ(console.rfind("Running headless\nNew Password= \n", 0), 0u) << console;
    EXPECT_LT(pos(opened), pos("Selected Input #1")) << console;
    EXPECT_LT(pos("Selected Input #1"), pos("Awaiting Client Connection")) << console;
    EXPECT_LT(pos("Client Connection Accepted!"), pos(ready)) << console;
    // The ready line is the last line of start-up.
    EXPECT_EQ(console.substr(console.size() - ready.size() - 1), ready + "\n") << console;

    EXPECT_EQ(server.stop(SIGTERM), 0);
    std::remove(configPath.c_str());
    ::rmdir(dir);
}

}  // namespace
