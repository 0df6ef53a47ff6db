// The access policy: address prefixes, refusing peers outside the allow-list on accept,
// the listen address, and keepalive on accepted sockets.
#include "net/Access.h"
#include "tests/net/Loopback.h"

#include "tests/support/Wine.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#ifdef __linux__
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#endif

using net::AccessPolicy;
using net::Cidr;

namespace {

sockaddr_storage address(const std::string& text)
{
    const auto parsed = net::parseAddress(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(sockaddr_storage{});
}

bool contains(const std::string& prefix, const std::string& peer)
{
    const auto cidr = Cidr::parse(prefix);
    EXPECT_TRUE(cidr) << prefix;
    const sockaddr_storage a = address(peer);
    return cidr && cidr->contains(reinterpret_cast<const sockaddr*>(&a));
}

// Console lines of the network layer, collected.
std::mutex linesMutex;
std::vector<std::string> lines;
void collect(const std::string& line)
{
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.push_back(line);
}

using net::sys::Socket;

// Connects from a chosen loopback address.
Socket connectFrom(const char* local, int port)
{
    const Socket fd = net::sys::openSocket(AF_INET, SOCK_STREAM);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, local, &from.sin_addr);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    return fd;
}

int option(Socket fd, int level, int name)
{
    int value = -1;
    EXPECT_EQ(net::sys::getIntOption(fd, level, name, value), 0);
    return value;
}

class AccessPolicyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        net::setConsoleSink(&collect);
        std::lock_guard<std::mutex> lock(linesMutex);
        lines.clear();
    }
    void TearDown() override
    {
        AccessPolicy::instance().reset();
        net::setConsoleSink(nullptr);
    }
};

}  // namespace

TEST(Cidr, ParsesPrefixesAndRejectsEverythingElse)
{
    EXPECT_EQ(Cidr::parse("192.0.2.0/24")->text(), "192.0.2.0/24");
    EXPECT_EQ(Cidr::parse("192.0.2.77/24")->text(), "192.0.2.0/24");  // host bits dropped
    EXPECT_EQ(Cidr::parse("10.1.2.3")->text(), "10.1.2.3/32");
    EXPECT_EQ(Cidr::parse("0.0.0.0/0")->text(), "0.0.0.0/0");
    EXPECT_EQ(Cidr::parse("2001:db8:ffff::/33")->text(), "2001:db8:8000::/33");
    EXPECT_EQ(Cidr::parse("::1")->text(), "::1/128");
    for (const char* bad : {"", "/", "/24", "192.0.2.0/", "192.0.2.0/33", "192.0.2.0/-1",
                            "192.0.2.0/+8", "192.0.2.0/2 4", "192.0.2/24", "192.0.2.0/24/8",
                            "2001:db8::/129", "2001:db8::/0128", "[::1]/64", "localhost",
                            "1.2.3.4.5", "::g", " 10.0.0.0/8"})
        EXPECT_FALSE(Cidr::parse(bad)) << '"' << bad << '"';
}

TEST(Cidr, MatchesPeersOfBothFamilies)
{
    EXPECT_TRUE(contains("192.0.2.0/24", "192.0.2.255"));
    EXPECT_FALSE(contains("192.0.2.0/24", "192.0.3.0"));
    EXPECT_TRUE(contains("10.0.0.0/7", "11.255.0.1"));    // a length that is not a whole byte
    EXPECT_FALSE(contains("10.0.0.0/7", "12.0.0.1"));
    EXPECT_TRUE(contains("127.0.0.2/32", "127.0.0.2"));
    EXPECT_FALSE(contains("127.0.0.2/32", "127.0.0.1"));
    EXPECT_TRUE(contains("0.0.0.0/0", "203.0.113.5"));
    // An IPv4 client on a dual-stack socket arrives as an IPv4-mapped IPv6 address.
    EXPECT_TRUE(contains("192.0.2.0/24", "::ffff:192.0.2.9"));
    EXPECT_FALSE(contains("192.0.2.0/24", "::ffff:192.0.3.9"));
    EXPECT_FALSE(contains("0.0.0.0/0", "::1"));  // an IPv4 prefix holds no real IPv6 address
    EXPECT_TRUE(contains("2001:db8::/32", "2001:db8:1234::1"));
    EXPECT_FALSE(contains("2001:db8::/32", "2001:db9::1"));
    EXPECT_TRUE(contains("fe80::/10", "febf::1"));
    EXPECT_FALSE(contains("fe80::/10", "fec0::1"));
    EXPECT_FALSE(contains("::1", "127.0.0.1"));
    EXPECT_FALSE(contains("::/0", "192.0.2.9"));  // an IPv6 prefix holds no IPv4 address...
    EXPECT_FALSE(contains("::1/64", "::ffff:192.0.2.9"));
    EXPECT_TRUE(contains("::ffff:0:0/96", "192.0.2.9"));  // ...unless written in the mapped form

    const sockaddr unix_{AF_UNIX, {}};
    EXPECT_FALSE(Cidr::parse("0.0.0.0/0")->contains(&unix_));
}

TEST(Cidr, ListsAndAddresses)
{
    std::string error;
    const auto list = net::parseCidrList("127.0.0.2/32, ::1 ,10.0.0.0/8", error);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 3u);
    EXPECT_EQ((*list)[1].text(), "::1/128");
    for (const char* bad : {"", ",", "10.0.0.0/8,", "10.0.0.0/8,,::1", "10.0.0.0/8;::1"})
        EXPECT_FALSE(net::parseCidrList(bad, error)) << '"' << bad << '"';
    net::parseCidrList("10.0.0.0/8,nothing", error);
    EXPECT_EQ(error, "not an address prefix: nothing");

    EXPECT_TRUE(net::parseAddress("[::1]"));
    EXPECT_FALSE(net::parseAddress("127.0.0.1:80"));
    EXPECT_FALSE(net::parseAddress("localhost"));
    sockaddr_storage mapped = address("::ffff:192.0.2.9");
    EXPECT_EQ(net::addressText(reinterpret_cast<const sockaddr*>(&mapped)), "192.0.2.9");
    sockaddr_storage v6 = address("2001:db8::1");
    EXPECT_EQ(net::addressText(reinterpret_cast<const sockaddr*>(&v6)), "2001:db8::1");
}

TEST_F(AccessPolicyTest, RefusedPeerIsClosedAndTheNextAllowedOneIsAccepted)
{
    std::string error;
    AccessPolicy::instance().setAllowed(*net::parseCidrList("127.0.0.2/32", error));
    auto listener = net::Listener::open(0);
    auto accepted = std::async(std::launch::async, [&] { return listener->accept(); });

    const Socket refused = connectFrom("127.0.0.1", listener->port());
    char byte;
    // The refused client sees the end of the stream without a single byte.
    EXPECT_EQ(net::sys::recvBytes(refused, &byte, 1), 0);
    net::sys::closeSocket(refused);
    ASSERT_EQ(accepted.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);

    const Socket allowed = connectFrom("127.0.0.2", listener->port());
    ASSERT_EQ(accepted.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto connection = accepted.get();
    EXPECT_EQ(connection->peer().rfind("127.0.0.2:", 0), 0u) << connection->peer();
    EXPECT_TRUE(connection->writeLine("OK"));
    EXPECT_EQ(net::sys::recvBytes(allowed, &byte, 1), 1);
    net::sys::closeSocket(allowed);

    std::lock_guard<std::mutex> lock(linesMutex);
    EXPECT_EQ(lines, std::vector<std::string>{"Refused connection from 127.0.0.1 (not in --allow)"});
}

TEST(RefusalLog, APeerRefusedInALoopIsNamedOnceAMinuteWithTheCountInBetween)
{
    net::RefusalLog log;
    const auto t0 = net::RefusalLog::Clock::time_point{} + std::chrono::hours(1);
    EXPECT_EQ(log.refused("192.0.2.9", t0), "Refused connection from 192.0.2.9 (not in --allow)");
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(log.refused("192.0.2.9", t0 + std::chrono::milliseconds(i)), "");
    EXPECT_EQ(log.refused("192.0.2.10", t0), "Refused connection from 192.0.2.10 (not in --allow)");
    EXPECT_EQ(log.refused("192.0.2.9", t0 + net::RefusalLog::interval),
              "Refused connection from 192.0.2.9 (not in --allow); 1000 more refused since the last such line");

    // Beyond the bound, new addresses share one line a minute instead of one each.
    for (size_t i = 2; i < net::RefusalLog::maxAddresses; ++i)
        log.refused("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), t0);
    EXPECT_EQ(log.refused("198.51.100.1", t0), "Refused connection from further addresses (not in --allow)");
    EXPECT_EQ(log.refused("198.51.100.2", t0), "");
}

TEST_F(AccessPolicyTest, AcceptedSocketsKeepAliveAndRefusalWorksOnABareDescriptor)
{
    std::string error;
    AccessPolicy::instance().setAllowed(*net::parseCidrList("127.0.0.2", error));
    const Socket server = net::sys::openSocket(AF_INET, SOCK_STREAM);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof local;
    ASSERT_EQ(::bind(server, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(::listen(server, 4), 0);
    ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&local), &size), 0);
    const int port = ntohs(local.sin_port);

    const Socket allowedClient = connectFrom("127.0.0.2", port);
    const Socket allowed = net::sys::acceptClient(server);
    EXPECT_EQ(option(allowed, SOL_SOCKET, SO_KEEPALIVE), 0);
    ASSERT_TRUE(net::admitAccepted(allowed));
    EXPECT_NE(option(allowed, SOL_SOCKET, SO_KEEPALIVE), 0);
    // Wine knows neither the per-socket keepalive options nor how to read the times back.
    if (!runningUnderWine()) {
        EXPECT_EQ(option(allowed, IPPROTO_TCP, net::sys::kTcpKeepIdle), 60);
        EXPECT_EQ(option(allowed, IPPROTO_TCP, net::sys::kTcpKeepInterval), 10);
        EXPECT_EQ(option(allowed, IPPROTO_TCP, net::sys::kTcpKeepCount), 3);
    }

    const Socket refusedClient = connectFrom("127.0.0.1", port);
    const Socket refused = net::sys::acceptClient(server);
    EXPECT_FALSE(net::admitAccepted(refused));
    char byte;
    EXPECT_EQ(net::sys::recvBytes(refusedClient, &byte, 1), 0);
    {
        std::lock_guard<std::mutex> lock(linesMutex);
        EXPECT_EQ(lines.size(), 1u);
    }
    for (Socket fd : {allowedClient, allowed, refusedClient, server})
        net::sys::closeSocket(fd);
}

#ifdef __linux__
// A peer that vanishes while a reply to it is unacknowledged (keepalive sends no probe then) is given
// up as soon as keepalive would give up on a silent one. The thread works in a network namespace of
// its own, whose loopback goes down under the connection.
TEST(KeepAlive, APeerThatVanishesBeforeAcknowledgingIsGivenUp)
{
    const auto loopbackUp = [](bool up) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
        request.ifr_flags = static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
        ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
        ::close(fd);
        return ok;
    };
    enum class Outcome { NoNamespace, GivenUp, StillWaiting };
    Outcome outcome = Outcome::NoNamespace;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0 || !loopbackUp(true)) return;  // needs CAP_SYS_ADMIN
        auto listener = net::Listener::open(0);
        nettest::RawClient client(listener->port());
        const Socket accepted = net::sys::acceptClient(listener->fd());
        ASSERT_TRUE(net::sys::setKeepAlive(accepted, 1, 1, 2));
        ASSERT_TRUE(loopbackUp(false));
        ASSERT_EQ(net::sys::sendBytes(accepted, "OK\r\n", 4), 4);
        pollfd wait{accepted, POLLIN, 0};
        char byte;
        outcome = ::poll(&wait, 1, 10000) == 1 && net::sys::recvBytes(accepted, &byte, 1) < 0 &&
                          net::sys::lastError() == ETIMEDOUT
                      ? Outcome::GivenUp
                      : Outcome::StillWaiting;
        net::sys::closeSocket(accepted);
    }).join();
    if (outcome == Outcome::NoNamespace) GTEST_SKIP() << "no network namespace of its own for the test";
    EXPECT_EQ(outcome, Outcome::GivenUp);
}
#endif

TEST_F(AccessPolicyTest, ListenAddressLimitsWhereClientsConnect)
{
    AccessPolicy::instance().setListenAddress("127.0.0.1");
    auto listener = net::Listener::open(0);
    EXPECT_NO_THROW(net::Connection::connect("127.0.0.1", listener->port()));
    EXPECT_THROW(net::Connection::connect("127.0.0.2", listener->port()), net::NetError);
    if (nettest::hasIpv6Loopback()) {
        EXPECT_THROW(net::Connection::connect("::1", listener->port()), net::NetError);
    }

    EXPECT_THROW(net::Listener::open(0, "192.0.2.1"), net::NetError);  // not an address of ours
    EXPECT_THROW(net::Listener::open(0, "nowhere"), net::NetError);
}
