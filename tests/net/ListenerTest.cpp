#include "tests/net/Loopback.h"

#include <gtest/gtest.h>

#include <future>

using net::Connection;
using net::Listener;

TEST(Listener, AcceptsIpv4AndIpv6ClientsOnOnePort)
{
    auto listener = Listener::open(0);
    ASSERT_GT(listener->port(), 0);

    auto v4 = Connection::connect("127.0.0.1", listener->port());
    auto fromV4 = listener->accept();
    EXPECT_EQ(fromV4->peer().rfind("127.0.0.1:", 0), 0u) << fromV4->peer();

    if (!nettest::hasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 on this machine";
    auto v6 = Connection::connect("::1", listener->port());
    auto fromV6 = listener->accept();
    EXPECT_EQ(fromV6->peer().rfind("[::1]:", 0), 0u) << fromV6->peer();
    EXPECT_TRUE(fromV6->writeLine("OK"));
    std::string line;
    EXPECT_EQ(v6->readLine(line), Connection::ReadStatus::Line);
    EXPECT_EQ(line, "OK");
}

TEST(Listener, PortInUseIsAnError)
{
    auto first = Listener::open(0);
    try {
        Listener::open(first->port());
        FAIL() << "a second listener bound the same port";
    } catch (const net::NetError& error) {
        EXPECT_EQ(error.what(), "bind: " + net::sys::errorText(net::sys::kErrAddrInUse));
    }
}

TEST(Listener, CloseEndsABlockedAcceptAndReleasesThePort)
{
    auto listener = Listener::open(0);
    const int port = listener->port();
    auto waiter = std::async(std::launch::async, [&] { return listener->accept(); });
    nettest::pause(100);
    ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    listener->close();
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_THROW(waiter.get(), net::NetError);

    listener->close();
    EXPECT_FALSE(listener->isOpen());
    EXPECT_THROW(listener->accept(), net::NetError);
    // The port is free again while the closed object still exists.
    EXPECT_NO_THROW(Listener::open(port));
}
