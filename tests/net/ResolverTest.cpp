#include "net/Net.h"

#include <gtest/gtest.h>

#include "net/Socket.h"

// Only names that need no name server: localhost, literals and this machine.
TEST(Resolver, TextForms)
{
    EXPECT_EQ(net::resolveHost("localhost"), "localhost/127.0.0.1");
    EXPECT_EQ(net::resolveHost("1.2.3.4"), "/1.2.3.4");
    EXPECT_EQ(net::resolveHost("127.0.0.1"), "/127.0.0.1");

    const auto self = net::resolveHost("");
    ASSERT_TRUE(self.has_value());
    const auto slash = self->find('/');
    ASSERT_NE(slash, std::string::npos) << *self;
    EXPECT_GT(slash, 0u) << "no host name: " << *self;
    in_addr address{};
    EXPECT_EQ(::inet_pton(AF_INET, self->c_str() + slash + 1, &address), 1) << *self;
}

TEST(Resolver, TestSeamReplacesAndRestoresTheLookup)
{
    std::string asked;
    net::setResolverForTesting([&](const std::string& name) -> std::optional<std::string> {
        asked = name;
        if (name == "unknown.example")
            return std::nullopt;
        return "selector/10.0.0.7";
    });
    EXPECT_EQ(net::resolveHost("selector"), "selector/10.0.0.7");
    EXPECT_EQ(asked, "selector");
    EXPECT_EQ(net::resolveHost("unknown.example"), std::nullopt);

    net::setResolverForTesting({});
    EXPECT_EQ(net::resolveHost("127.0.0.1"), "/127.0.0.1");
}
