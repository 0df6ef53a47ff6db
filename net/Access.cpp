#include "net/Access.h"

#include <atomic>
#include <cstring>
#include <iostream>

namespace net {

namespace {

void writeToStdout(const std::string& line)
{
    std::cout << line << '\n' << std::flush;
}

std::atomic<void (*)(const std::string&)> consoleSink{&writeToStdout};

RefusalLog refusalLog;

// The 16-byte form of a socket address: IPv4 as ::ffff:a.b.c.d. False for other families.
bool sixteenBytes(const sockaddr* address, std::array<std::uint8_t, 16>& out)
{
    if (address == nullptr)
        return false;
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        std::memcpy(out.data(), &v6->sin6_addr, 16);
        return true;
    }
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        out.fill(0);
        out[10] = out[11] = 0xff;
        std::memcpy(out.data() + 12, &v4->sin_addr, 4);
        return true;
    }
    return false;
}

bool isMapped(const std::array<std::uint8_t, 16>& bytes)
{
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes.data(), prefix, 12) == 0;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<sockaddr_storage> parseAddress(std::string_view text)
{
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::string copy(text);  // inet_pton needs a terminated string
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    if (::inet_pton(AF_INET, copy.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        return storage;
    }
    storage = {};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET6, copy.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        return storage;
    }
    return std::nullopt;
}

std::optional<Cidr> Cidr::parse(std::string_view text)
{
    const auto slash = text.find('/');
    const std::string_view addressPart = text.substr(0, slash);
    if (addressPart.empty() || addressPart.front() == '[')
        return std::nullopt;
    const auto address = parseAddress(addressPart);
    if (!address)
        return std::nullopt;
    Cidr cidr;
    cidr.ipv4_ = address->ss_family == AF_INET;
    sixteenBytes(reinterpret_cast<const sockaddr*>(&*address), cidr.bytes_);
    const int maxLength = cidr.ipv4_ ? 32 : 128;
    int length = maxLength;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3)
            return std::nullopt;
        length = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
            length = length * 10 + (c - '0');
        }
        if (length > maxLength)
            return std::nullopt;
    }
    cidr.length_ = cidr.ipv4_ ? 96 + length : length;
    // Bits past the length are cleared, so "192.0.2.9/24" is the prefix 192.0.2.0/24.
    for (int bit = cidr.length_; bit < 128; ++bit)
        cidr.bytes_[static_cast<std::size_t>(bit / 8)] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
    return cidr;
}

bool Cidr::contains(const sockaddr* address) const
{
    std::array<std::uint8_t, 16> peer;
    if (!sixteenBytes(address, peer))
        return false;
    // An IPv4 peer is within IPv4 prefixes (or those written in the mapped form) only: "::/0" or
    // "::1/64" must not take in every IPv4 address.
    if (isMapped(peer) && !(length_ >= 96 && isMapped(bytes_)))
        return false;
    const int whole = length_ / 8;
    if (std::memcmp(peer.data(), bytes_.data(), static_cast<std::size_t>(whole)) != 0)
        return false;
    const int rest = length_ % 8;
    if (rest == 0)
        return true;
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
    return (peer[static_cast<std::size_t>(whole)] & mask) == bytes_[static_cast<std::size_t>(whole)];
}

std::string Cidr::text() const
{
    char buffer[INET6_ADDRSTRLEN] = {};
    if (ipv4_)
        ::inet_ntop(AF_INET, bytes_.data() + 12, buffer, sizeof buffer);
    else
        ::inet_ntop(AF_INET6, bytes_.data(), buffer, sizeof buffer);
    return std::string(buffer) + "/" + std::to_string(ipv4_ ? length_ - 96 : length_);
}

std::optional<std::vector<Cidr>> parseCidrList(std::string_view text, std::string& error)
{
    std::vector<Cidr> prefixes;
    for (;;) {
        const auto comma = text.find(',');
        const std::string_view item = trimmed(text.substr(0, comma));
        const auto cidr = Cidr::parse(item);
        if (!cidr) {
            error = item.empty() ? "empty entry in address list"
                                 : "not an address prefix: " + std::string(item);
            return std::nullopt;
        }
        prefixes.push_back(*cidr);
        if (comma == std::string_view::npos)
            return prefixes;
        text.remove_prefix(comma + 1);
    }
}

std::string addressText(const sockaddr* address)
{
    std::array<std::uint8_t, 16> bytes;
    if (!sixteenBytes(address, bytes))
        return "?";
    char buffer[INET6_ADDRSTRLEN] = {};
    if (isMapped(bytes))
        ::inet_ntop(AF_INET, bytes.data() + 12, buffer, sizeof buffer);
    else
        ::inet_ntop(AF_INET6, bytes.data(), buffer, sizeof buffer);
    return buffer;
}

AccessPolicy& AccessPolicy::instance()
{
    static AccessPolicy policy;
    return policy;
}

void AccessPolicy::setListenAddress(std::string address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listen_ = std::move(address);
}

std::string AccessPolicy::listenAddress() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return listen_;
}

void AccessPolicy::setAllowed(std::vector<Cidr> prefixes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    allowed_ = std::move(prefixes);
}

bool AccessPolicy::allows(const sockaddr* peer) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (allowed_.empty())
        return true;
    for (const Cidr& prefix : allowed_) {
        if (prefix.contains(peer))
            return true;
    }
    return false;
}

void AccessPolicy::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    listen_.clear();
    allowed_.clear();
    refusalLog.clear();
}

bool setKeepAlive(SocketHandle fd)
{
    return sys::setKeepAlive(fd, KeepAlive::idleSeconds, KeepAlive::intervalSeconds, KeepAlive::count);
}

std::string RefusalLog::refused(const std::string& address, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() >= maxAddresses && entries_.count(address) == 0) {
        std::erase_if(entries_, [now](const auto& entry) {
            return now - entry.second.logged >= interval && entry.second.unshown == 0;
        });
    }
    // Past the bound, new addresses share one entry under a name no address has.
    const std::string key =
        entries_.count(address) != 0 || entries_.size() < maxAddresses ? address : std::string("further addresses");
    auto [it, fresh] = entries_.try_emplace(key);
    Entry& entry = it->second;
    if (!fresh && now - entry.logged < interval) {
        ++entry.unshown;
        return {};
    }
    std::string line = "Refused connection from " + key + " (not in --allow)";
    if (entry.unshown > 0)
        line += "; " + std::to_string(entry.unshown) + " more refused since the last such line";
    entry.logged = now;
    entry.unshown = 0;
    return line;
}

void RefusalLog::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

bool refuseIfNotAllowed(SocketHandle fd, const sockaddr_storage& peer)
{
    const auto* address = reinterpret_cast<const sockaddr*>(&peer);
    if (AccessPolicy::instance().allows(address))
        return false;
    sys::closeSocket(fd);
    const std::string line = refusalLog.refused(addressText(address), RefusalLog::Clock::now());
    if (!line.empty())
        consoleSink.load()(line);
    return true;
}

bool admitAccepted(SocketHandle fd)
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
        // The peer is gone already; with an allow-list in force an unknown peer is not served.
        static const sockaddr_storage unknown{};
        if (!AccessPolicy::instance().allows(reinterpret_cast<const sockaddr*>(&unknown))) {
            sys::closeSocket(fd);
            return false;
        }
    } else if (refuseIfNotAllowed(fd, peer)) {
        return false;
    }
    setKeepAlive(fd);
    return true;
}

void setConsoleSink(void (*sink)(const std::string&))
{
    consoleSink = sink != nullptr ? sink : &writeToStdout;
}

}  // namespace net
