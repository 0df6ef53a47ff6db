// Who may switch, end to end with the server program: the password from a file or the environment
// and never on the console, --require-password, the allow-list and the listen address.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "tests/app/support/TestClient.h"
#include "tests/e2e/badinput_support.h"
#include "tests/net/Loopback.h"

namespace {

using namespace std::chrono_literals;
using badinput::Pty;
using badinput::Server;
using badinput::TempDir;

// A headless server on the pseudo-terminal with extra arguments and environment, its line-protocol
// port listening. Null when no port could be had.
std::unique_ptr<Server> serve(const TempDir& dir, const Pty& pty, int& port,
                              const std::vector<std::string>& extra,
                              const std::vector<std::string>& env = {}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = badinput::freeConfigurablePort();
        std::vector<std::string> args = {"--headless", "--config", dir.config(port), "--device",
                                         pty.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        auto server = std::make_unique<Server>(args, false, env);
        if (server->waitForLine("Server Socket Opened OK at Port " + std::to_string(port)) &&
            server->waitForLine("Awaiting Client Connection"))
            return server;
    }
    return nullptr;
}

// Logs in on the web page (optionally from another loopback address); the HTTP status, or -1 when
// the connection ended without an answer.
int webLogin(int port, const std::string& password, const char* from = nullptr) {
    TestClient client(port, from);
    const std::string body = R"({"password":")" + password + R"("})";
    client.sendRaw("POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                   "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    const auto status = client.readLine(5000);  // "HTTP/1.1 204 No Content"
    return status && status->size() >= 12 ? std::stoi(status->substr(9, 3)) : -1;
}

// Sends a password and gives the server's first reply.
std::optional<std::string> tryPassword(int port, const std::string& password) {
    TestClient client(port);
    EXPECT_EQ(client.readLine(), "OK");
    client.send("PWD" + password);
    auto reply = client.readLine();
    if (reply == "Password/Connection Rejected!") {
        EXPECT_EQ(client.readLine(), "CLOSE");
        EXPECT_TRUE(client.closedByServer());
    } else {
        client.send("Close");
        EXPECT_TRUE(client.closedByServer());
    }
    return reply;
}

TEST(Security, PasswordFromFileOrEnvironmentIsNeverOnTheConsole) {
    TempDir dir;
    const std::string file = dir.path() + "/password";
    std::ofstream(file) << "fIle-Secret\r\nsecond line\n";
    ::chmod(file.c_str(), 0600);
    struct Case {
        std::vector<std::string> args, env;
        std::string password;
    };
    for (const Case& c : {Case{{"--password-file", file}, {"KIVONET_PASSWORD=loser"}, "fIle-Secret"},
                          Case{{}, {"KIVONET_PASSWORD=eNv-Secret"}, "eNv-Secret"}}) {
        Pty pty;
        int port = 0;
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--http-port", "0"});
        auto server = serve(dir, pty, port, args, c.env);
        ASSERT_TRUE(server);
        const int httpPort = server->portNamed("Web page");
        ASSERT_GT(httpPort, 0) << server->console();
        EXPECT_EQ(webLogin(httpPort, "JVK"), 401);
        EXPECT_EQ(webLogin(httpPort, c.password), 204);
        EXPECT_EQ(tryPassword(port, "JVK"), "Password/Connection Rejected!");
        ASSERT_TRUE(server->waitForLine("Awaiting Client Connection", 2)) << server->console();
        EXPECT_EQ(tryPassword(port, c.password), "Password/Connection Accepted!");
        ASSERT_TRUE(server->waitForLine("Awaiting Client Connection", 3)) << server->console();
        {
            // A telnet client's option negotiation ahead of the first line.
            TestClient telnet(port);
            EXPECT_EQ(telnet.readLine(), "OK");
            telnet.send("\xff\xfb\x1f" "PWD" + c.password);
            telnet.send("Close");
            EXPECT_TRUE(telnet.closedByServer());
        }
        ASSERT_TRUE(server->waitForLine("Awaiting Client Connection", 4)) << server->console();
        EXPECT_EQ(server->count("Client Command: ???PWD***"), 1) << server->console();

        const std::string console = server->console();
        EXPECT_EQ(server->count("Client Command: PWD***"), 2) << console;
        EXPECT_EQ(server->count("Password = *** OK"), 1) << console;
        EXPECT_EQ(server->count("built-in client password", false), 0) << console;
        EXPECT_EQ(server->count("can be read by other users", false), 0) << console;
        for (const std::string& secret : {c.password, std::string("JVK"), std::string("loser")})
            EXPECT_EQ(console.find(secret), std::string::npos) << secret << " in\n" << console;
    }
}

TEST(Security, UnusablePasswordFileStopsStartUp) {
    TempDir dir;
    const std::string empty = dir.path() + "/empty";
    std::ofstream(empty) << "\nsecond line\n";
    for (const std::string& file : {dir.path() + "/missing", empty}) {
        Server server({"--headless", "--config", dir.config(3001), "--password-file", file});
        EXPECT_EQ(server.stop(0, 5000ms), 2) << server.console();
        EXPECT_NE(server.console().find("password file " + file), std::string::npos) << server.console();
    }
}

TEST(Security, RequiredPasswordComesBeforeEveryCommand) {
    TempDir dir;
    Pty pty;
    int port = 0;
    auto server = serve(dir, pty, port, {"--require-password"},
                        {"KIVONET_PASSWORD=pw", "KIVONET_TEST_PASSWORD_WAIT_MS=1500"});
    ASSERT_TRUE(server);
    ASSERT_TRUE(server->waitForLine("COM1  KIVO16  0 minutes  Ready")) << server->console();
    const size_t startBytes = pty.bytes().size();
    {
        TestClient client(port);
        EXPECT_EQ(client.readLine(), "OK");
        client.send("Set5");
        EXPECT_EQ(client.readLine(), "Password/Connection Rejected!");
        EXPECT_EQ(client.readLine(), "CLOSE");
        EXPECT_TRUE(client.closedByServer());
        EXPECT_TRUE(server->waitForLine("PASSWORD REQUIRED")) << server->console();
    }
    {
        TestClient client(port);
        EXPECT_EQ(client.readLine(), "OK");
        client.send("PWDpw");
        EXPECT_EQ(client.readLine(), "Password/Connection Accepted!");
        client.send("Set5");
        const auto bytes = pty.waitBytes(startBytes + 6);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + static_cast<long>(startBytes), bytes.end()),
                  badinput::frames(5))
            << server->console();
        // Past the wait for the password, an accepted session is not cut off.
        EXPECT_TRUE(client.silentFor(2500));
        client.send("Close");
        EXPECT_TRUE(client.closedByServer());
    }
    {
        TestClient silent(port);
        EXPECT_EQ(silent.readLine(), "OK");
        silent.sendRaw("PWDp");  // an unfinished line does not hold the session either
        EXPECT_EQ(silent.readLine(10000), "Password/Connection Rejected!");
        EXPECT_EQ(silent.readLine(), "CLOSE");
        EXPECT_TRUE(silent.closedByServer());
        EXPECT_TRUE(server->waitForLine("PASSWORD REQUIRED", 2)) << server->console();
    }
    ASSERT_TRUE(server->waitForLine("Awaiting Client Connection", 4)) << server->console();
}

TEST(Security, AllowListAndListenAddress) {
    TempDir dir;
    Pty pty;
    int port = 0;
    auto server = serve(dir, pty, port, {"--allow", "127.0.0.2/32", "--http-port", "0", "--router-port", "0"});
    ASSERT_TRUE(server);
    int httpPort = server->portNamed("Web page");
    int routerPort = server->portNamed("Router protocol");
    ASSERT_GT(httpPort, 0) << server->console();
    ASSERT_GT(routerPort, 0) << server->console();
    // Each face closes a client from 127.0.0.1 before a byte and serves one from 127.0.0.2.
    for (const int facePort : {port, httpPort, routerPort}) {
        TestClient refused(facePort, "127.0.0.1");
        EXPECT_TRUE(refused.closedByServer()) << facePort;
    }
    // One line for the three refusals: a peer refused again within the minute is only counted.
    EXPECT_TRUE(server->waitForLine("Refused connection from 127.0.0.1 (not in --allow)")) << server->console();
    TestClient panel(routerPort, "127.0.0.2");
    EXPECT_EQ(panel.readLine(), "PROTOCOL PREAMBLE:");
    TestClient allowed(port, "127.0.0.2");
    EXPECT_EQ(allowed.readLine(), "OK");
    EXPECT_TRUE(server->waitForLine("Client Connection Accepted!")) << server->console();
    EXPECT_EQ(webLogin(httpPort, "JVK", "127.0.0.2"), 204);
    server.reset();

    server = serve(dir, pty, port, {"--listen", "127.0.0.1", "--http-port", "0", "--router-port", "0"});
    ASSERT_TRUE(server);
    httpPort = server->portNamed("Web page");
    routerPort = server->portNamed("Router protocol");
    ASSERT_GT(httpPort, 0) << server->console();
    ASSERT_GT(routerPort, 0) << server->console();
    for (const int facePort : {port, httpPort, routerPort}) {
        EXPECT_THROW(net::Connection::connect("127.0.0.2", facePort), net::NetError) << facePort;
        if (nettest::hasIpv6Loopback()) {
            EXPECT_THROW(net::Connection::connect("::1", facePort), net::NetError) << facePort;
        }
    }
    TestClient local(port);
    EXPECT_EQ(local.readLine(), "OK");
    EXPECT_EQ(webLogin(httpPort, "JVK"), 204);
    EXPECT_EQ(TestClient(routerPort).readLine(), "PROTOCOL PREAMBLE:");
}

}  // namespace
