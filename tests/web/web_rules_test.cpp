// The web API's rules without a network: request bodies, sessions, the login rate limit, the
// Origin check.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "web/WebApi.h"

namespace {

using namespace web;

struct FakeClock {
    Clock::time_point t = Clock::time_point() + std::chrono::hours(1000);
    Now now() {
        return [this] { return t; };
    }
};

TEST(WebBodies, RouteAndLabelAcceptOnlyWhatTheyShould) {
    auto route = [](const std::string& body) { return parseRoute(body); };
    ASSERT_TRUE(std::holds_alternative<RouteBody>(route(R"({"output":2,"input":7})")));
    EXPECT_EQ(std::get<RouteBody>(route(R"({"output":2,"input":7})")).output, 2);
    EXPECT_EQ(std::get<RouteBody>(route(R"({"input":16,"output":"both"})")).output, 0);
    for (const char* bad :
         {"", "{", "null", "[1,2]", R"("x")", R"({"output":1})", R"({"input":5})",
          R"({"output":0,"input":5})", R"({"output":3,"input":5})", R"({"output":1,"input":0})",
          R"({"output":1,"input":17})", R"({"output":1,"input":-1})", R"({"output":1,"input":5.0})",
          R"({"output":"1","input":5})", R"({"output":"BOTH","input":5})",
          R"({"output":1,"input":18446744073709551617})", R"({"output":1,"input":4294967301})",
          R"({"output":1,"input":true})", "{\"output\":1,\"input\":5}\xff"})
        EXPECT_TRUE(std::holds_alternative<BodyError>(route(bad))) << bad;

    const auto label = parseLabel(R"({"kind":"output","index":2,"label":"Projector"})");
    ASSERT_TRUE(std::holds_alternative<LabelBody>(label));
    EXPECT_FALSE(std::get<LabelBody>(label).input);
    EXPECT_EQ(std::get<LabelBody>(label).label, "Projector");
    const std::string forty(40, 'x');
    EXPECT_TRUE(std::holds_alternative<LabelBody>(
        parseLabel(R"({"kind":"input","index":16,"label":")" + forty + "\"}")));
    for (const std::string& bad : std::vector<std::string>{
             R"({"kind":"input","index":3})", R"({"kind":"input","index":3,"label":""})",
          R"({"kind":"input","index":3,"label":")" + forty + "y\"}",
          R"({"kind":"input","index":3,"label":"tab\there"})",
          R"({"kind":"input","index":3,"label":"caf\u00e9"})",
          R"({"kind":"output","index":3,"label":"x"})", R"({"kind":"input","index":17,"label":"x"})",
          R"({"kind":"router","index":1,"label":"x"})", R"({"index":1,"label":"x"})"})
        EXPECT_TRUE(std::holds_alternative<BodyError>(parseLabel(bad))) << bad;

    EXPECT_EQ(std::get<LoginBody>(parseLogin(R"({"password":"JVK"})")).password, "JVK");
    EXPECT_TRUE(std::holds_alternative<BodyError>(parseLogin(R"({"password":1})")));
    EXPECT_TRUE(std::holds_alternative<BodyError>(parseLogin(std::string(maxBodyBytes + 1, ' '))));
}

TEST(WebSessions, EndAfterTwelveHoursAndStayBounded) {
    FakeClock clock;
    Sessions sessions(clock.now());
    const std::string first = sessions.create();
    EXPECT_EQ(first.size(), 32u);
    EXPECT_NE(sessions.create(), first);
    clock.t += Sessions::lifetime - std::chrono::seconds(1);
    EXPECT_TRUE(sessions.valid(first));
    clock.t += std::chrono::seconds(1);
    EXPECT_FALSE(sessions.valid(first));
    EXPECT_FALSE(sessions.valid(""));

    // A full table gives up the session unused the longest, never one in use however old.
    const std::string inUse = sessions.create();
    for (size_t i = 0; i < Sessions::maxSessions + 50; ++i) {
        clock.t += std::chrono::milliseconds(1);
        sessions.create();
        if (i % 100 == 0) {
            EXPECT_TRUE(sessions.valid(inUse));
        }
    }
    EXPECT_LE(sessions.size(), Sessions::maxSessions);
    EXPECT_TRUE(sessions.valid(inUse));
    const std::string last = sessions.create();
    EXPECT_TRUE(sessions.valid(last));
    sessions.end(last);
    EXPECT_FALSE(sessions.valid(last));
}

TEST(WebLoginLimiter, FiveWrongWithinAMinuteShutTheAddressOutForAMinute) {
    FakeClock clock;
    LoginLimiter limiter(clock.now());
    // Four failures, then the window passes: no block.
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(limiter.failed("192.0.2.1"));
    clock.t += LoginLimiter::window;
    EXPECT_FALSE(limiter.failed("192.0.2.1"));
    EXPECT_FALSE(limiter.blocked("192.0.2.1"));

    for (int i = 0; i < 3; ++i) EXPECT_FALSE(limiter.failed("192.0.2.1"));
    EXPECT_TRUE(limiter.failed("192.0.2.1"));
    bool first = false;
    EXPECT_TRUE(limiter.blocked("192.0.2.1", &first));
    EXPECT_TRUE(first);
    EXPECT_TRUE(limiter.blocked("192.0.2.1", &first));
    EXPECT_FALSE(first);
    EXPECT_FALSE(limiter.blocked("192.0.2.2"));  // another address is not affected
    clock.t += LoginLimiter::block - std::chrono::seconds(1);
    EXPECT_TRUE(limiter.blocked("192.0.2.1"));
    clock.t += std::chrono::seconds(1);
    EXPECT_FALSE(limiter.blocked("192.0.2.1"));

    // Many addresses: the table stays bounded, and neither a block made before them nor one after
    // is forgotten for them.
    for (int i = 0; i < 5; ++i) limiter.failed("192.0.2.8");
    for (int i = 0; i < 3000; ++i) {
        clock.t += std::chrono::milliseconds(1);
        limiter.failed("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250));
    }
    for (int i = 0; i < 5; ++i) limiter.failed("192.0.2.9");
    EXPECT_LE(limiter.size(), LoginLimiter::maxAddresses);
    EXPECT_TRUE(limiter.blocked("192.0.2.8"));
    EXPECT_TRUE(limiter.blocked("192.0.2.9"));
}

TEST(WebRequests, CookieAndOrigin) {
    EXPECT_EQ(Api::sessionToken("a=1; kivo_session=abc; b=2"), "abc");
    EXPECT_EQ(Api::sessionToken("kivo_session=xyz"), "xyz");
    EXPECT_EQ(Api::sessionToken("xkivo_session=abc; kivo_sessionx=d"), "");
    EXPECT_EQ(Api::sessionToken(""), "");

    Request r;
    r.host = "kivo.local:8080";
    EXPECT_TRUE(Api::originAllowed(r));  // scripts send no Origin
    r.origin = "http://KIVO.local:8080";
    EXPECT_TRUE(Api::originAllowed(r));
    for (const char* foreign : {"http://kivo.local:8081", "http://evil.example", "null",
                                "http://kivo.local:8080.evil.example", "file://"}) {
        r.origin = foreign;
        EXPECT_FALSE(Api::originAllowed(r)) << foreign;
    }
    r.host.clear();
    r.origin = "http://kivo.local:8080";
    EXPECT_FALSE(Api::originAllowed(r));
}

}  // namespace
