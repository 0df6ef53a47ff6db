// The web API's request handling on arbitrary bodies, cookies and origins:
//   the body parsers never throw, and what they accept is within range (outputs 0..2, inputs
//   1..16, labels 1 to 40 printable characters);
//   Api::handle answers every request with a status from the API's set, never switches or renames
//   without a valid session, and never writes the password to the console.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "fuzz/FuzzInput.h"
#include "web/WebApi.h"

namespace {

using namespace web;

const std::string kPassword = "JVK-secret";

struct CountingBackend : Backend {
    int routes = 0;
    int labels = 0;
    RouteResult route(int output, int input, const std::string&) override {
        fuzz::check(output >= 0 && output <= 2 && input >= 1 && input <= 16, "route range",
                    std::to_string(output) + "/" + std::to_string(input));
        ++routes;
        return static_cast<RouteResult>(input % 5);
    }
    bool setLabel(bool, int index, const std::string& label, const std::string&) override {
        fuzz::check(index >= 1 && index <= 16 && !label.empty() && label.size() <= 40,
                    "label range", label);
        ++labels;
        return true;
    }
    Snapshot snapshot() override { return Snapshot{}; }
    bool passwordMatches(const std::string& given) override { return given == kPassword; }
};

void checkParsers(const std::string& body) {
    const auto route = parseRoute(body);
    if (const auto* r = std::get_if<RouteBody>(&route))
        fuzz::check(r->output >= 0 && r->output <= 2 && r->input >= 1 && r->input <= 16,
                    "parseRoute range", body);
    const auto label = parseLabel(body);
    if (const auto* l = std::get_if<LabelBody>(&label)) {
        fuzz::check(l->index >= 1 && l->index <= (l->input ? 16 : 2), "parseLabel index", body);
        fuzz::check(!l->label.empty() && l->label.size() <= 40, "parseLabel length", body);
        for (char c : l->label) fuzz::check(c >= 0x20 && c <= 0x7e, "parseLabel printable", body);
    }
    (void)parseLogin(body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t selector = in.byte();
    Request request;
    request.method = (selector & 1) ? "POST" : "GET";
    static const char* const paths[] = {"/api/login", "/api/route", "/api/label",
                                        "/api/state", "/api/logout", "/api/other"};
    request.path = paths[(selector >> 1) % 6];
    request.cookie = in.text(64);
    request.origin = (selector & 0x10) ? "http://host" : "";
    request.host = "host";
    request.peer = "192.0.2.1";
    request.body = in.rest();
    checkParsers(request.body);

    CountingBackend backend;
    std::string console;
    Api api(backend, [&console](const std::string& line) { console += line + "\n"; });
    const bool loggedIn = (selector & 0x20) != 0;
    if (loggedIn) {
        Request login = request;
        login.method = "POST";
        login.path = "/api/login";
        login.body = "{\"password\":\"" + kPassword + "\"}";
        const Response r = api.handle(login);
        fuzz::check(r.status == 204 && !r.headers.empty(), "login", std::to_string(r.status));
        const std::string& cookie = r.headers.front().second;
        request.cookie = cookie.substr(0, cookie.find(';'));
    }
    const Response r = api.handle(request);
    const int s = r.status;
    fuzz::check(s == 200 || s == 204 || s == 400 || s == 401 || s == 403 || s == 404 ||
                    s == 405 || s == 409 || s == 413 || s == 423 || s == 429,
                "status", std::to_string(s));
    if (!loggedIn) fuzz::check(backend.routes == 0 && backend.labels == 0, "no session", request.cookie);
    fuzz::check(console.find(kPassword) == std::string::npos, "password in console", console);
    return 0;
}
