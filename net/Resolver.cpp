#include "net/Net.h"

#include "net/Socket.h"

namespace net {

namespace {

using Resolver = std::function<std::optional<std::string>(const std::string&)>;

std::mutex& resolverMutex()
{
    static std::mutex mutex;
    return mutex;
}

Resolver& testResolver()
{
    static Resolver resolver;
    return resolver;
}

// First IPv4 address of `name` in dotted decimal; numericOnly avoids any name service query.
std::optional<std::string> firstIpv4(const std::string& name, bool numericOnly)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0)
        return std::nullopt;
    std::optional<std::string> result;
    for (const addrinfo* entry = found; entry != nullptr && !result; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN];
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) != nullptr)
            result = text;
    }
    ::freeaddrinfo(found);
    return result;
}

std::optional<std::string> systemResolve(const std::string& name)
{
    sys::startup();
    if (name.empty()) {
        // This machine: its own name and address. A machine whose name does not resolve
        // (no entry in the hosts file or name service) is still reachable on loopback,
        // so it is shown as localhost rather than as an unknown host.
        const std::string host = hostName();
        if (!host.empty()) {
            if (const auto address = firstIpv4(host, false))
                return host + "/" + *address;
        }
        return std::string("localhost/127.0.0.1");
    }
    // A literal address has no host name part.
    if (const auto literal = firstIpv4(name, true))
        return "/" + *literal;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
        char text[INET6_ADDRSTRLEN];
        ::inet_ntop(AF_INET6, &v6, text, sizeof text);
        return "/" + std::string(text);
    }
    if (const auto address = firstIpv4(name, false))
        return name + "/" + *address;
    return std::nullopt;
}

}  // namespace

std::string hostName()
{
    sys::startup();
    constexpr int kHostNameMax = 255;
    char host[kHostNameMax + 1] = "";
    if (::gethostname(host, kHostNameMax) != 0)
        return "";
    host[kHostNameMax] = '\0';
    return host;
}

std::optional<std::string> resolveHost(const std::string& name)
{
    Resolver resolver;
    {
        std::lock_guard<std::mutex> lock(resolverMutex());
        resolver = testResolver();
    }
    if (resolver)
        return resolver(name);
    return systemResolve(name);
}

void setResolverForTesting(std::function<std::optional<std::string>(const std::string&)> resolver)
{
    std::lock_guard<std::mutex> lock(resolverMutex());
    testResolver() = std::move(resolver);
}

}  // namespace net
