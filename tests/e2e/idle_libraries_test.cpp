// What a server keeps in memory when it serves no web page and runs outside the service manager: the
// page's libraries (the HTTP library with its TLS and compression libraries) and libsystemd are loaded
// only for the page and under the manager, so such a server maps none of them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/badinput_support.h"

namespace {

using namespace std::chrono_literals;
using badinput::Clock;
using badinput::Pty;
using badinput::Server;
using badinput::TempDir;

TEST(IdleLibraries, NoPageAndNoManagerMapNeitherTheirLibraries) {
    TempDir dir;
    Pty pty;
    const int port = badinput::freeConfigurablePort();
    // An empty NOTIFY_SOCKET comes before any inherited one: no service manager.
    Server server({"--headless", "--config", dir.config(port), "--device", pty.path()}, false,
                  {"NOTIFY_SOCKET="});
    const auto deadline = Clock::now() + 8s;
    while (server.count("  Ready", false) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    ASSERT_GE(server.count("  Ready", false), 1) << server.console();

    const std::string maps = server.maps();
    for (const char* library : {"kivonet-web", "libcpp-httplib", "libssl", "libcrypto", "libsystemd"})
        EXPECT_EQ(maps.find(library), std::string::npos) << library << " is mapped:\n" << maps;
}

}  // namespace
