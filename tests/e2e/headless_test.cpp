// The server program without a window: configuration file, status lines on the console, a client
// served, the ready line after the start-up pause, and a clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "tests/e2e/badinput_support.h"
#include "tests/app/support/TestClient.h"

namespace {

using badinput::Clock;
using badinput::Server;
using badinput::TempDir;

// A configuration record: no serial port (COM0), the device type byte, the port offset, no time
// limit, clients accepted at once, routing to both outputs.
std::string writeNoSerialConfig(const TempDir& dir, int port) {
    const std::string path = dir.path() + "/cfg.bin";
    const char record[6] = {static_cast<char>(0xFF), 0x50, static_cast<char>(port - 3001), 0, 0, 2};
    std::ofstream(path, std::ios::binary).write(record, sizeof record);
    return path;
}

TEST(Headless, ServesAClientAndStopsCleanly) {
    const int port = badinput::freeConfigurablePort();
    ASSERT_GT(port, 0);
    TempDir dir;
    const std::string configPath = writeNoSerialConfig(dir, port);

    const auto started = Clock::now();
    Server server({"--headless", "--config", configPath});
    const std::string opened = "Server Socket Opened OK at Port " + std::to_string(port);
    ASSERT_TRUE(server.waitForLine(opened)) << server.console();
    ASSERT_TRUE(server.waitForLine("Awaiting Client Connection")) << server.console();

    TestClient client(port);
    EXPECT_EQ(client.readLine(), "OK");
    const std::string ready = "COM0  KIVO16  0 minutes  Ready";
    ASSERT_TRUE(server.waitForLine(ready)) << server.console();
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(2000));

    const std::string console = server.console();
    const auto pos = [&](const std::string& line) { return console.find(line + "\n"); };
    // The note on the built-in password; the program says once that it runs without a window;
    // then the hub's first status line.
    EXPECT_EQ(console.rfind("The built-in client password is in force: set one with --password-file "
                            "FILE or the environment variable KIVONET_PASSWORD\n"
                            "Running headless\nNew Password= \n", 0),
              0u)
        << console;
    EXPECT_LT(pos(opened), pos("Selected Input #1")) << console;
    EXPECT_LT(pos("Selected Input #1"), pos("Awaiting Client Connection")) << console;
    EXPECT_LT(pos("Client Connection Accepted!"), pos(ready)) << console;
    // The ready line is the last line of start-up.
    EXPECT_EQ(console.substr(console.size() - ready.size() - 1), ready + "\n") << console;

    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// The terminal of a server started by hand closes: it stops as on a stop request, and the state file
// gets the selection its once-a-second saving has not taken yet.
TEST(Headless, HangUpStopsCleanly) {
    TempDir dir;
    badinput::Pty pty;
    int port = -1;
    const auto server = badinput::serveOnFreePort(dir, pty.path(), port);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(pty.waitBytes(6), badinput::frames(1)) << server->console();
    TestClient client(port);
    ASSERT_EQ(client.readLine(), "OK");
    client.send("Out3");
    client.send("Set4");
    ASSERT_TRUE(server->waitForLine("Selected Input #4")) << server->console();
    // Selections still arriving when the stop comes: the file ends with the last the selector got.
    for (int i = 0; i < 40; ++i) client.send("Set" + std::to_string(5 + i % 12));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server->stop(SIGHUP), 0);
    const std::vector<uint8_t> line = pty.waitBytes(1000, std::chrono::milliseconds(500));
    ASSERT_GE(line.size(), 12u);
    const std::string last = std::to_string(line.back());
    std::ifstream file(server->statePath());
    const std::string saved((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(saved.find("route1=" + last + "\nroute2=" + last + "\n"), std::string::npos) << saved;
}

// The console piped into a program that has ended, or into one that reads nothing (a pager, a stuck
// log reader): the server serves on, and a stop request ends it cleanly.
TEST(Headless, ConsoleWithoutAReaderLeavesTheServerServing) {
    for (const bool readerGone : {true, false}) {
        SCOPED_TRACE(readerGone ? "reader gone" : "reader stalled");
        const int port = badinput::freeConfigurablePort();
        ASSERT_GT(port, 0);
        TempDir dir;
        const std::string configPath = writeNoSerialConfig(dir, port);
        const std::string statePath = dir.path() + "/kivonet.state";
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            // As a shell starts it: the signal neither ignored nor blocked, as it may be in this test program.
            ::signal(SIGPIPE, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execl(KIVONET_BIN, KIVONET_BIN, "--headless", "--config", configPath.c_str(), "--state-file",
                    statePath.c_str(), static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(out[1]);
        if (readerGone) ::close(out[0]);

        std::unique_ptr<TestClient> client;
        for (int i = 0; i < 250 && !client && ::waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
            try {
                client = std::make_unique<TestClient>(port);
            } catch (const std::exception&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        ASSERT_TRUE(client) << "the server ended or never listened";
        EXPECT_EQ(client->readLine(), "OK");
        client->send("Hello");
        // Each line is echoed on the console: more than the pipe holds.
        for (int i = 0; i < 100 && !readerGone; ++i) client->send(std::string(1000, 'x'));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(::kill(pid, SIGTERM), 0);
        int status = 0;
        pid_t ended = 0;
        for (int i = 0; i < 400 && ended == 0; ++i) {
            ended = ::waitpid(pid, &status, WNOHANG);
            if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (ended == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "still running 8 s after SIGTERM";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        if (!readerGone) ::close(out[0]);
    }
}

}  // namespace
