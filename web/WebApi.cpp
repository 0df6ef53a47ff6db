#include "web/WebApi.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <random>

#include <nlohmann/json.hpp>

namespace web {

namespace {

using Json = nlohmann::json;

// Text of a JSON value; strings that are not valid UTF-8 are mended rather than thrown over.
std::string dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The body as a JSON object; a BodyError when it is not one.
std::variant<Json, BodyError> parseObject(std::string_view body) {
    if (body.size() > maxBodyBytes) return BodyError{"body too large"};
    Json json = Json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) return BodyError{"body is not JSON"};
    if (!json.is_object()) return BodyError{"body is not a JSON object"};
    return json;
}

// An integer member in [low, high]; nullopt when missing, not an integer, or out of range.
std::optional<int> intMember(const Json& object, const char* name, int low, int high) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v < static_cast<std::uint64_t>(std::max(low, 0)) || v > static_cast<std::uint64_t>(high))
            return std::nullopt;
        return static_cast<int>(v);
    }
    const auto v = it->get<std::int64_t>();
    if (v < low || v > high) return std::nullopt;
    return static_cast<int>(v);
}

std::optional<std::string> stringMember(const Json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

bool printableLabel(const std::string& label) {
    if (label.empty() || label.size() > 40) return false;
    return std::all_of(label.begin(), label.end(),
                       [](char c) { return c >= 0x20 && c <= 0x7e; });
}

std::string randomToken() {
    static std::mutex mutex;
    static std::random_device device;
    std::lock_guard<std::mutex> lock(mutex);
    std::string token;
    char hex[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(device()));
        token += hex;
    }
    return token;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

Response jsonResponse(int status, const Json& body) {
    Response r;
    r.status = status;
    r.body = dump(body);
    return r;
}

Response noContent() {
    Response r;
    r.status = 204;
    r.contentType.clear();
    return r;
}

}  // namespace

Response errorResponse(int status, const std::string& reason) {
    return jsonResponse(status, Json{{"error", reason}});
}

std::string stateJson(const Snapshot& s) {
    Json inputs = Json::array();
    for (int i = 0; i < inputCount; ++i)
        inputs.push_back({{"index", i + 1}, {"label", s.inputLabels[static_cast<size_t>(i)]}});
    Json outputs = Json::array();
    for (int o = 0; o < outputCount; ++o) {
        const int in = s.input[static_cast<size_t>(o)];
        outputs.push_back({{"index", o + 1},
                           {"label", s.outputLabels[static_cast<size_t>(o)]},
                           {"input", in >= 1 && in <= inputCount ? Json(in) : Json(nullptr)}});
    }
    Json client{{"state", s.clientState}, {"address", s.clientAddress}};
    Json state{{"inputs", inputs},
               {"outputs", outputs},
               {"serial", s.serialUp ? "up" : "down"},
               {"serialSince", s.serialSince.empty() ? Json(nullptr) : Json(s.serialSince)},
               {"client", client},
               {"status", s.status}};
    return dump(state);
}

std::variant<LoginBody, BodyError> parseLogin(std::string_view body) {
    auto object = parseObject(body);
    if (auto* error = std::get_if<BodyError>(&object)) return *error;
    auto password = stringMember(std::get<Json>(object), "password");
    if (!password) return BodyError{"password missing"};
    return LoginBody{*password};
}

std::variant<RouteBody, BodyError> parseRoute(std::string_view body) {
    auto object = parseObject(body);
    if (auto* error = std::get_if<BodyError>(&object)) return *error;
    const Json& json = std::get<Json>(object);
    RouteBody route;
    if (stringMember(json, "output") == std::optional<std::string>("both")) {
        route.output = 0;
    } else if (auto output = intMember(json, "output", 1, outputCount)) {
        route.output = *output;
    } else {
        return BodyError{"output must be 1, 2 or \"both\""};
    }
    auto input = intMember(json, "input", 1, inputCount);
    if (!input) return BodyError{"input must be 1 to 16"};
    route.input = *input;
    return route;
}

std::variant<LabelBody, BodyError> parseLabel(std::string_view body) {
    auto object = parseObject(body);
    if (auto* error = std::get_if<BodyError>(&object)) return *error;
    const Json& json = std::get<Json>(object);
    LabelBody label;
    const auto kind = stringMember(json, "kind");
    if (kind != std::optional<std::string>("input") && kind != std::optional<std::string>("output"))
        return BodyError{"kind must be \"input\" or \"output\""};
    label.input = *kind == "input";
    auto index = intMember(json, "index", 1, label.input ? inputCount : outputCount);
    if (!index) return BodyError{label.input ? "index must be 1 to 16" : "index must be 1 or 2"};
    label.index = *index;
    auto text = stringMember(json, "label");
    if (!text || !printableLabel(*text)) return BodyError{"label must be 1 to 40 printable characters"};
    label.label = *text;
    return label;
}

// ---- Sessions -------------------------------------------------------------------------------

Sessions::Sessions(Now now) : now_(std::move(now)) {}

void Sessions::prune(Clock::time_point now) {
    std::erase_if(sessions_, [now](const auto& entry) { return now - entry.second.started >= lifetime; });
}

std::string Sessions::create(std::size_t stamp) {
    const auto now = now_();
    std::string token = randomToken();
    std::lock_guard<std::mutex> lock(mutex_);
    prune(now);
    if (sessions_.size() >= maxSessions) {
        // A page in use (its stream checks its login at every beat) outlasts logins left unused,
        // such as a script's that logs in on every run.
        auto unused = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.used < b.second.used;
        });
        sessions_.erase(unused);
    }
    sessions_[token] = Session{now, now, stamp};
    return token;
}

bool Sessions::valid(const std::string& token, std::size_t stamp) {
    if (token.empty()) return false;
    const auto now = now_();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(token);
    if (it == sessions_.end()) return false;
    if (now - it->second.started >= lifetime || it->second.stamp != stamp) {
        sessions_.erase(it);
        return false;
    }
    it->second.used = now;
    return true;
}

void Sessions::end(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(token);
}

size_t Sessions::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

// ---- Api ------------------------------------------------------------------------------------

Api::Api(Backend& backend, Console console, Now now)
    : backend_(backend), console_(std::move(console)), sessions_(now), limiter_(now) {}

std::string Api::sessionToken(std::string_view header) {
    const std::string_view name = cookieName;
    while (!header.empty()) {
        const size_t end = std::min(header.find(';'), header.size());
        std::string_view item = header.substr(0, end);
        header.remove_prefix(std::min(end + 1, header.size()));
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        if (item.size() > name.size() && item.substr(0, name.size()) == name &&
            item[name.size()] == '=')
            return std::string(item.substr(name.size() + 1));
    }
    return {};
}

bool Api::authorised(const Request& request) {
    return sessions_.valid(sessionToken(request.cookie), backend_.passwordStamp());
}

bool Api::originAllowed(const Request& request) {
    if (request.origin.empty()) return true;
    if (request.host.empty()) return false;
    const std::string origin = lower(request.origin);
    const std::string host = lower(request.host);
    return origin == "http://" + host || origin == "https://" + host;
}

Response Api::handle(const Request& request) {
    if (request.body.size() > maxBodyBytes) return errorResponse(413, "body too large");
    const bool post = request.method == "POST";
    if (post && !originAllowed(request)) return errorResponse(403, "foreign origin");
    if (request.path == "/api/login") {
        if (!post) return errorResponse(405, "use POST");
        return login(request);
    }
    if (!authorised(request)) return errorResponse(401, "log in first");
    if (request.path == "/api/state") {
        if (request.method != "GET") return errorResponse(405, "use GET");
        Response r;
        r.body = stateJson(backend_.snapshot());
        return r;
    }
    if (request.path == "/api/logout" || request.path == "/api/route" ||
        request.path == "/api/label") {
        if (!post) return errorResponse(405, "use POST");
        if (request.path == "/api/logout") return logout(request);
        if (request.path == "/api/route") return route(request);
        return label(request);
    }
    return errorResponse(404, "no such call");
}

Response Api::login(const Request& request) {
    bool firstRefusal = false;
    if (limiter_.blocked(request.peer, &firstRefusal)) {
        if (firstRefusal)
            console_("Web: refused login from " + request.peer +
                     " (shut out for a minute after too many wrong passwords)");
        return errorResponse(429, "too many wrong passwords; try again in a minute");
    }
    auto body = parseLogin(request.body);
    if (auto* error = std::get_if<BodyError>(&body)) {
        // Counted as a wrong password: an endless run of them would be a console line each.
        const bool nowBlocked = limiter_.failed(request.peer);
        console_("Web: refused login from " + request.peer + " (" + error->reason +
                 (nowBlocked ? "; shut out for a minute)" : ")"));
        return errorResponse(400, error->reason);
    }
    // Taken before the check: a password changed in between ends the session at once, never later.
    const std::size_t stamp = backend_.passwordStamp();
    if (!backend_.passwordMatches(std::get<LoginBody>(body).password)) {
        const bool nowBlocked = limiter_.failed(request.peer);
        console_("Web: refused login from " + request.peer + " (wrong password" +
                 (nowBlocked ? "; shut out for a minute)" : ")"));
        return errorResponse(401, "wrong password");
    }
    const std::string token = sessions_.create(stamp);
    console_("Web: login from " + request.peer);
    Response r = noContent();
    r.headers.emplace_back("Set-Cookie", std::string(cookieName) + "=" + token +
                                             "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                             std::to_string(Sessions::lifetime.count() * 3600));
    return r;
}

Response Api::logout(const Request& request) {
    sessions_.end(sessionToken(request.cookie));
    console_("Web: logout from " + request.peer);
    Response r = noContent();
    r.headers.emplace_back("Set-Cookie", std::string(cookieName) +
                                             "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    return r;
}

Response Api::route(const Request& request) {
    auto body = parseRoute(request.body);
    if (auto* error = std::get_if<BodyError>(&body)) return errorResponse(400, error->reason);
    const RouteBody& r = std::get<RouteBody>(body);
    switch (backend_.route(r.output, r.input, "web " + request.peer)) {
        case Backend::RouteResult::Ok:
            return jsonResponse(200, Json{{"output", r.output == 0 ? Json("both") : Json(r.output)},
                                          {"input", r.input}});
        case Backend::RouteResult::BadIndex:
            return errorResponse(400, "no such output or input");
        case Backend::RouteResult::Locked:
            return errorResponse(423, "a router client holds the lock of this output");
        case Backend::RouteResult::LineDown:
            return errorResponse(409, "the serial line is down");
        case Backend::RouteResult::Busy:
            return errorResponse(409, "the serial line is busy (its writes wait out their time-out): nothing was sent");
        case Backend::RouteResult::WriteFailed:
            break;
    }
    return errorResponse(409, "the frame could not be written to the serial line");
}

Response Api::label(const Request& request) {
    auto body = parseLabel(request.body);
    if (auto* error = std::get_if<BodyError>(&body)) return errorResponse(400, error->reason);
    const LabelBody& l = std::get<LabelBody>(body);
    // The body was checked: the record refuses a label only once the server is stopping.
    if (!backend_.setLabel(l.input, l.index, l.label, "web " + request.peer))
        return errorResponse(503, "the server is stopping");
    return jsonResponse(200, Json{{"kind", l.input ? "input" : "output"},
                                  {"index", l.index},
                                  {"label", l.label}});
}

}  // namespace web
