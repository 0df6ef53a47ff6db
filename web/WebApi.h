#pragma once
// The web face's request handling, apart from any socket: a request (method, path, a few headers,
// body, the peer's address) goes in, a response (status, body, headers) comes out. The socket server
// (WebServer) only translates between the HTTP library and these plain values, so every rule here
// (sessions, rate limit, Origin check, body parsing) is tested and fuzzed without a network.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "net/LoginLimiter.h"

namespace web {

using Clock = std::chrono::steady_clock;
using Now = std::function<Clock::time_point()>;

constexpr int inputCount = 16;
constexpr int outputCount = 2;
constexpr size_t maxBodyBytes = 16 * 1024;

// What the page shows, taken from the hub in one go.
struct Snapshot {
    std::array<std::string, inputCount> inputLabels;
    std::array<std::string, outputCount> outputLabels;
    std::array<int, outputCount> input{};  // 1..16, 0 while unknown
    bool serialUp = false;
    std::string serialSince;    // ISO 8601 UTC time of the last change, "" when not known
    std::string clientState;    // "waiting", "connected" or "off"
    std::string clientAddress;  // "" unless connected
    std::string status;         // the latest status line
};
std::string stateJson(const Snapshot& snapshot);

// Request bodies. Each parser takes untrusted text and never throws.
struct RouteBody {
    int output = 0;  // 1, 2, or 0 for both
    int input = 0;   // 1..16
};
struct LabelBody {
    bool input = true;  // false: an output label
    int index = 0;
    std::string label;
};
struct LoginBody {
    std::string password;
};
// What was wrong with a body, for the 400 answer.
struct BodyError {
    std::string reason;
};
std::variant<LoginBody, BodyError> parseLogin(std::string_view body);
std::variant<RouteBody, BodyError> parseRoute(std::string_view body);
std::variant<LabelBody, BodyError> parseLabel(std::string_view body);

// Wrong passwords per peer address: the fifth within a minute shuts the address out for a minute.
using LoginLimiter = net::LoginLimiter;

// The hub as the API needs it.
class Backend {
public:
    virtual ~Backend() = default;
    enum class RouteResult { Ok, BadIndex, Locked, LineDown, WriteFailed, Busy };
    // Blocks while the frames go out. who: the console record's name ("web 192.0.2.7").
    virtual RouteResult route(int output, int input, const std::string& who) = 0;
    virtual bool setLabel(bool input, int index, const std::string& label, const std::string& who) = 0;
    virtual Snapshot snapshot() = 0;
    virtual bool passwordMatches(const std::string& given) = 0;
    // Changes whenever the password does: a login made with another password no longer counts.
    virtual std::size_t passwordStamp() { return 0; }
};

// Logged-in browsers: random tokens that end after a fixed time, or as soon as the password they
// were made with has changed (`stamp`). The table is bounded: when it is full a new login pushes out
// the session that started first.
class Sessions {
public:
    static constexpr size_t maxSessions = 256;
    static constexpr std::chrono::hours lifetime{12};

    explicit Sessions(Now now);
    std::string create(std::size_t stamp = 0);
    bool valid(const std::string& token, std::size_t stamp = 0);
    void end(const std::string& token);
    size_t size() const;

private:
    void prune(Clock::time_point now);  // mutex_ held
    Now now_;
    mutable std::mutex mutex_;
    struct Session {
        Clock::time_point started;
        Clock::time_point used;  // last found valid: a full table gives up the longest unused first
        std::size_t stamp;
    };
    std::map<std::string, Session> sessions_;
};

struct Request {
    std::string method;  // "GET", "POST"
    std::string path;
    std::string body;
    std::string cookie;  // the Cookie header, whole
    std::string origin;  // the Origin header, "" when absent
    std::string host;    // the Host header
    std::string peer;    // the peer's address, without port
};

struct Response {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
};

class Api {
public:
    static constexpr const char* cookieName = "kivo_session";
    using Console = std::function<void(const std::string&)>;

    Api(Backend& backend, Console console, Now now = Clock::now);

    // Every /api/ call except the event stream, which the socket server serves itself once
    // authorised() and originAllowed() agree.
    Response handle(const Request& request);
    bool authorised(const Request& request);
    // True for a request without Origin (scripts) or from the page's own origin.
    static bool originAllowed(const Request& request);
    static std::string sessionToken(std::string_view cookieHeader);

    Sessions& sessions() { return sessions_; }
    LoginLimiter& limiter() { return limiter_; }

private:
    Response login(const Request& request);
    Response logout(const Request& request);
    Response route(const Request& request);
    Response label(const Request& request);

    Backend& backend_;
    Console console_;
    Sessions sessions_;
    LoginLimiter limiter_;
};

Response errorResponse(int status, const std::string& reason);

}  // namespace web
