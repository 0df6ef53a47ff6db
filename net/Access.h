// Who may reach the server: the address every face listens on, the prefixes whose clients are
// served, and TCP keepalive on every accepted connection so that a vanished peer is noticed.
//
// One process-wide policy, set once at start-up from the command line, applied by every face at
// the moment it accepts a connection: a refused peer is closed before any byte is sent.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/Net.h"
#include "net/Socket.h"

namespace net {

// An address prefix: "192.0.2.0/24", "2001:db8::/32"; a bare address stands for itself alone.
// IPv4 prefixes are kept in their IPv4-mapped IPv6 form, so an IPv4 client reaching an IPv6
// socket (::ffff:192.0.2.9) matches them exactly as a plain IPv4 client does.
class Cidr {
public:
    // nullopt unless the text is a numeric address, optionally followed by "/length"
    // (decimal, at most 32 for IPv4, 128 for IPv6). Bits past the length are ignored.
    static std::optional<Cidr> parse(std::string_view text);

    bool contains(const sockaddr* address) const;

    // The prefix in its usual form, e.g. "192.0.2.0/24".
    std::string text() const;

private:
    std::array<std::uint8_t, 16> bytes_{};
    int length_ = 0;  // in bits of the 16-byte form
    bool ipv4_ = false;
};

// Parses "CIDR[,CIDR...]" (blanks around items allowed). nullopt on failure, with `error` naming
// the item that is not a prefix.
std::optional<std::vector<Cidr>> parseCidrList(std::string_view text, std::string& error);

// A numeric IPv4 or IPv6 address ("127.0.0.1", "::1", "[::1]") as a socket address with port 0;
// nullopt for anything else (names are not looked up).
std::optional<sockaddr_storage> parseAddress(std::string_view text);

// The address of a peer without its port: "192.0.2.9", "2001:db8::1"; an IPv4-mapped IPv6
// address is shown as the IPv4 address it carries.
std::string addressText(const sockaddr* address);

class AccessPolicy {
public:
    static AccessPolicy& instance();

    // The numeric address every face listens on; "" (the default) means every address.
    void setListenAddress(std::string address);
    std::string listenAddress() const;

    // Only peers within one of these prefixes are served; an empty list (the default) serves all.
    void setAllowed(std::vector<Cidr> prefixes);
    bool allows(const sockaddr* peer) const;

    // Back to the defaults: every address, every peer, no refusal remembered.
    void reset();

private:
    mutable std::mutex mutex_;
    std::string listen_;
    std::vector<Cidr> allowed_;
};

// Keepalive settings of every accepted connection: the first probe after this long without
// traffic, then one every interval; the peer is given up after `count` unanswered probes.
struct KeepAlive {
    static constexpr int idleSeconds = 60;
    static constexpr int intervalSeconds = 10;
    static constexpr int count = 3;
};

// Turns TCP keepalive on with the settings above. False when the socket refused an option
// (the connection is still usable).
bool setKeepAlive(SocketHandle fd);

// How often a refused peer is named on the console: its first refusal at once, then at most one
// line a minute with the count of refusals not shown, so that a peer that reconnects in a loop
// cannot flood the log. Bounded: once `maxAddresses` peers are tracked, further ones share one entry.
class RefusalLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes interval{1};
    static constexpr size_t maxAddresses = 1024;

    // The console line for this refusal, or "" when it is only counted.
    std::string refused(const std::string& address, Clock::time_point now);
    void clear();

private:
    struct Entry {
        Clock::time_point logged;
        unsigned long unshown = 0;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

// Checks an accepted socket's peer against the policy. Refused: closes `fd` at once, writes
// "Refused connection from 192.0.2.9 (not in --allow)" to the console (as RefusalLog allows),
// returns true.
// Allowed: returns false and leaves `fd` alone.
bool refuseIfNotAllowed(SocketHandle fd, const sockaddr_storage& peer);

// For faces whose accept loop hands over only the socket: looks the peer up, refuses it as
// above (false, `fd` closed) or sets keepalive and returns true. A socket whose peer cannot be
// told is closed too when an allow-list is in force.
bool admitAccepted(SocketHandle fd);

// Where this layer's console lines go; the default writes them to standard output.
void setConsoleSink(void (*sink)(const std::string&));

}  // namespace net
