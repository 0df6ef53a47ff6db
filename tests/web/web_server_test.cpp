// The web face on loopback: the real HTTP server in front of a hub with a recording serial port.
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/Routing.h"
#include "tests/app/support/HubFixture.h"
#include "tests/app/support/TestClient.h"
#include "web/WebFace.h"

namespace {

using Frame = std::vector<uint8_t>;

class WebTest : public HubTest {
protected:
    void start(web::WebServer::Options options = {}) {
        startServing();
        std::string error;
        face = web::WebFace::start(*hub, 0, error, options, [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(consoleMutex);
            console.push_back(line);
        });
        ASSERT_TRUE(face) << error;
        client = std::make_unique<httplib::Client>("127.0.0.1", face->port());
        client->set_read_timeout(10, 0);
    }
    void TearDown() override {
        client.reset();
        face.reset();
        HubTest::TearDown();
    }
    httplib::Result post(const std::string& path, const std::string& body,
                         httplib::Headers headers = {}) {
        return client->Post(path.c_str(), headers, body, "application/json");
    }
    void login() {
        auto r = post("/api/login", R"({"password":"JVK"})");
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 204);
        const std::string setCookie = r->get_header_value("Set-Cookie");
        cookie = setCookie.substr(0, setCookie.find(';'));
    }
    httplib::Headers withCookie(httplib::Headers h = {}) {
        h.emplace("Cookie", cookie);
        return h;
    }
    std::vector<std::string> consoleLines() {
        std::lock_guard<std::mutex> lock(consoleMutex);
        return console;
    }

    std::unique_ptr<web::WebFace> face;
    std::unique_ptr<httplib::Client> client;
    std::string cookie;
    std::mutex consoleMutex;
    std::vector<std::string> console;
};

TEST_F(WebTest, LoginGuardsEveryCallAndTheStateHasItsShape) {
    start();
    EXPECT_EQ(client->Get("/api/state")->status, 401);
    EXPECT_EQ(post("/api/route", R"({"output":1,"input":5})")->status, 401);
    auto page = client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("login-form"), std::string::npos);

    EXPECT_EQ(post("/api/login", R"({"password":"wrong-guess"})")->status, 401);
    EXPECT_EQ(post("/api/login", "not json")->status, 400);
    auto ok = post("/api/login", R"({"password":"JVK"})");
    ASSERT_EQ(ok->status, 204);
    const std::string setCookie = ok->get_header_value("Set-Cookie");
    for (const char* flag : {"HttpOnly", "SameSite=Strict", "Path=/"})
        EXPECT_NE(setCookie.find(flag), std::string::npos) << setCookie;
    cookie = setCookie.substr(0, setCookie.find(';'));

    auto state = client->Get("/api/state", withCookie());
    ASSERT_EQ(state->status, 200);
    const auto json = nlohmann::json::parse(state->body);
    ASSERT_EQ(json["inputs"].size(), 16u);
    EXPECT_EQ(json["inputs"][2]["index"], 3);
    ASSERT_EQ(json["outputs"].size(), 2u);
    EXPECT_TRUE(json["outputs"][1]["input"].is_null());
    EXPECT_EQ(json["client"]["state"], "waiting");
    EXPECT_TRUE(json["serial"] == "up" || json["serial"] == "down");
    EXPECT_TRUE(json["serialSince"].is_string());
    EXPECT_EQ(json["status"], "Awaiting Client Connection");

    const auto lines = consoleLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Web: login from 127.0.0.1"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Web: refused login from 127.0.0.1 (wrong password)"),
              lines.end());
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("wrong-guess"), std::string::npos) << line;
        EXPECT_EQ(line.find("JVK"), std::string::npos) << line;
    }

    // A POST with neither a length nor chunks (curl -X POST) has an empty body: it is not read to the
    // connection's end.
    TestClient bare(face->port());
    bare.sendRaw("POST /api/logout HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n");
    EXPECT_EQ(bare.readLine(2000), "HTTP/1.1 204 No Content");
    EXPECT_EQ(client->Get("/api/state", withCookie())->status, 401);

    // A new password (set in the window) ends the logins made with the old one.
    login();
    KIVO::password = std::string("NEWPASS");
    EXPECT_EQ(post("/api/route", R"({"output":1,"input":6})", withCookie())->status, 401);
    EXPECT_EQ(post("/api/login", R"({"password":"NEWPASS"})")->status, 204);
}

TEST_F(WebTest, SwitchingGoesThroughTheHubAndBadRequestsWriteNothing) {
    start();
    login();
    port->clear();
    auto r = post("/api/route", R"({"output":2,"input":7})", withCookie());
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(frames(), (std::vector<Frame>{{0xFE, 0x02, 0x07}}));
    EXPECT_EQ(hub->routing().route(2), 7);

    port->clear();
    EXPECT_EQ(post("/api/route", R"({"output":"both","input":5})", withCookie())->status, 200);
    EXPECT_EQ(frames(), (std::vector<Frame>{{0xFE, 0x01, 0x05}, {0xFE, 0x02, 0x05}}));

    port->clear();
    EXPECT_EQ(post("/api/route", R"({"output":1,"input":17})", withCookie())->status, 400);
    EXPECT_EQ(post("/api/route", R"({"output":1,"input":)", withCookie())->status, 400);
    EXPECT_EQ(post("/api/route", R"({"output":1,"input":3})",
                   withCookie({{"Origin", "http://evil.example"}}))->status, 403);
    EXPECT_EQ(post("/api/route", R"({"output":1,"input":3})" + std::string(17 * 1024, ' '),
                   withCookie())->status, 413);
    EXPECT_TRUE(frames().empty());

    // Another client holds output 1's lock: 423, and nothing is written.
    ASSERT_TRUE(hub->routing().lock(1, Routing::newClientId()));
    EXPECT_EQ(post("/api/route", R"({"output":1,"input":3})", withCookie())->status, 423);
    EXPECT_TRUE(frames().empty());

    // The line fails: 409 with a reason.
    port->failWrites = true;
    auto failed = post("/api/route", R"({"output":2,"input":3})", withCookie());
    EXPECT_EQ(failed->status, 409);
    EXPECT_NE(failed->body.find("error"), std::string::npos);
}

TEST_F(WebTest, FiveWrongPasswordsShutTheAddressOut) {
    start();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(post("/api/login", R"({"password":"no"})")->status, 401);
    EXPECT_EQ(post("/api/login", "x")->status, 400);  // a login that is not one counts as well
    EXPECT_EQ(post("/api/login", R"({"password":"JVK"})")->status, 429);
    EXPECT_EQ(post("/api/login", "x")->status, 429);
    EXPECT_EQ(consoleLines().size(), 6u);  // one line per refusal until shut out, then one
}

// Reads a push stream until a data line contains `text`.
bool streamShows(TestClient& stream, const std::string& text) {
    for (;;) {
        auto line = stream.readLine(5000);
        if (!line) return false;
        if (line->rfind("data: ", 0) == 0 && line->find(text) != std::string::npos) return true;
    }
}

// Reads what the server sends until it closes the connection; false when it is still open then.
bool endsWithin(TestClient& c, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        c.readLine(50);
        if (c.closedByServer(1)) return true;
    }
    return false;
}

TEST_F(WebTest, PushStreamFollowsChangesFromEveryFaceAndIsCapped) {
    web::WebServer::Options options;
    options.maxSubscribers = 1;
    options.heartbeatSeconds = 1;
    start(options);
    login();
    TestClient stream(face->port());
    stream.sendRaw("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n");
    ASSERT_TRUE(streamShows(stream, R"("label":"Input 3")"));

    // Past the cap: 503.
    ASSERT_TRUE(waitFor([this] { return face->server().subscribers() == 1; }));
    EXPECT_EQ(client->Get("/api/events", withCookie())->status, 503);

    // A rename through the API, a selection from another face: each reaches the stream.
    EXPECT_EQ(post("/api/label", R"({"kind":"input","index":3,"label":"Camera 3"})", withCookie())
                  ->status, 200);
    ASSERT_TRUE(streamShows(stream, R"("label":"Camera 3")"));
    EXPECT_EQ(post("/api/label", R"({"kind":"input","index":3,"label":""})", withCookie())->status,
              400);
    {
        Routing::Source scope("window");
        ASSERT_EQ(hub->Route(0, 3), LocalCAM::RouteResult::Ok);
    }
    ASSERT_TRUE(streamShows(stream, R"({"index":2,"input":3)"));

    // Idle, the stream beats in a form a page sees (a comment would not reach it).
    bool beat = false;
    std::optional<std::string> line;
    for (int lines = 0; !beat && lines < 20 && (line = stream.readLine(3000)); ++lines)
        beat = *line == "event: beat" && stream.readLine(1000) == std::optional<std::string>("data: still here");
    EXPECT_TRUE(beat);

    // Logged out, the stream ends at the next heartbeat.
    EXPECT_EQ(post("/api/logout", "", withCookie())->status, 204);
    EXPECT_TRUE(endsWithin(stream, 4000)) << "the stream went on after logout";

    // A page closed between heartbeats (here 30 s apart) gives its place back within a second or so.
    options.heartbeatSeconds = 30;
    std::string error;
    auto quiet = web::WebFace::start(*hub, 0, error, options, [](const std::string&) {});
    ASSERT_TRUE(quiet) << error;
    httplib::Client quietClient("127.0.0.1", quiet->port());
    const auto loggedIn = quietClient.Post("/api/login", R"({"password":"JVK"})", "application/json");
    ASSERT_TRUE(loggedIn);
    const std::string setCookie = loggedIn->get_header_value("Set-Cookie");
    {
        TestClient page(quiet->port());
        page.sendRaw("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " +
                     setCookie.substr(0, setCookie.find(';')) + "\r\n\r\n");
        ASSERT_TRUE(streamShows(page, "data: "));
    }
    EXPECT_TRUE(waitFor([&] { return quiet->server().subscribers() == 0; }, 3000));
}

TEST_F(WebTest, RequestsWithoutBoundEndTheirConnection) {
    web::WebServer::Options options;
    options.requestMillis = 600;
    start(options);
    const std::string kb(1024, 'x');

    // Header lines without end, and a chunked body past every bound: cut off, not buffered whole.
    TestClient heads(face->port());
    heads.sendRaw("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    for (int i = 0; i < 100; ++i) heads.sendRaw("X-Pad: " + kb + "\r\n");
    EXPECT_TRUE(endsWithin(heads, 3000));
    TestClient chunked(face->port());
    chunked.sendRaw("POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n");
    for (int i = 0; i < 200; ++i) chunked.sendRaw("400\r\n" + kb + "\r\n");
    EXPECT_TRUE(endsWithin(chunked, 3000));

    // A head sent a line at a time, slower than the request's time allows.
    TestClient slow(face->port());
    slow.sendRaw("GET / HTTP/1.1\r\n");
    const auto began = std::chrono::steady_clock::now();
    bool ended = false;
    for (int i = 0; i < 20 && !ended; ++i) {
        slow.sendRaw("X-Slow: 1\r\n");
        ended = endsWithin(slow, 200);
    }
    EXPECT_TRUE(ended);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));

    // An encoded body is refused before it is inflated; many ranges of one file are refused.
    EXPECT_EQ(post("/api/login", std::string(16, '\0'), {{"Content-Encoding", "gzip"}})->status, 415);
    EXPECT_EQ(client->Get("/", {{"Range", "bytes=0-0,0-0,0-0"}})->status, 416);
    EXPECT_EQ(client->Get("/", {{"Range", "bytes=0-9"}})->status, 206);
    TestClient coded(face->port());  // a transfer coding that cannot be read is refused at once
    coded.sendRaw("POST /api/logout HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: identity\r\n\r\n");
    EXPECT_EQ(coded.readLine(400), "HTTP/1.1 501 Not Implemented");
    // Their unread bodies are never taken as the next request: the connection ends with the answer.
    const std::string inner = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (const char* head : {"POST /api/login HTTP/1.1\r\nContent-Encoding: gzip\r\n",
                             "POST / HTTP/1.1\r\nRange: bytes=0-1,3-4\r\n"}) {
        TestClient refused(face->port());
        refused.sendRaw(std::string(head) + "Host: 127.0.0.1\r\nContent-Length: " + std::to_string(inner.size()) + "\r\n\r\n" +
                        inner);
        int answers = 0;
        while (const auto line = refused.readLine(1000)) answers += line->rfind("HTTP/1.1 ", 0) == 0;
        EXPECT_EQ(answers, 1) << head;
    }
}

// Idle connections from one address take only their share of the workers: the page stays open to
// others, even with every stream place taken, and to the same address once one of its connections
// ends.
TEST_F(WebTest, OneAddressHoldsOnlyItsShareOfConnections) {
    web::WebServer::Options options;
    options.maxPerAddress = 3;
    options.maxSubscribers = 1;
    options.spareThreads = 1;
    start(options);
    login();
    TestClient stream(face->port(), "127.0.0.3");
    stream.sendRaw("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n");
    ASSERT_TRUE(streamShows(stream, "data: "));
    const std::string get = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const auto served = [&](TestClient& c) {
        c.sendRaw(get);
        const auto status = c.readLine(3000);
        return status && status->rfind("HTTP/1.1 200", 0) == 0;
    };
    std::vector<std::unique_ptr<TestClient>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<TestClient>(face->port()));
        ASSERT_TRUE(served(*held.back()));  // kept alive: it holds its worker
    }
    TestClient extra(face->port());
    EXPECT_TRUE(endsWithin(extra, 2000));
    TestClient other(face->port(), "127.0.0.2");
    EXPECT_TRUE(served(other));
    const auto lines = consoleLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Web: 3 connections from 127.0.0.1, the most one address may hold; closing more until one ends"),
              1);

    held.pop_back();
    bool again = false;
    for (int i = 0; i < 40 && !again; ++i) {
        TestClient next(face->port());
        again = served(next);
        if (!again) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(again);
}

TEST_F(WebTest, StartsWhereToldAndStopsAtOnce) {
    startServing();
    for (int i = 0; i < 3; ++i) {
        std::string error;
        auto f = web::WebFace::start(*hub, 0, error, {}, [](const std::string&) {});
        ASSERT_TRUE(f) << error;
    }  // each is destroyed at once: the test hangs if stopping waits on the listening thread

    // An address in brackets, as --listen takes it.
    web::WebServer::Options bracketed;
    bracketed.listenAddress = "[::1]";
    std::string error;
    auto f = web::WebFace::start(*hub, 0, error, bracketed, [](const std::string&) {});
    ASSERT_TRUE(f) << error;
    httplib::Client v6("::1", f->port());
    const auto page = v6.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
}

}  // namespace
