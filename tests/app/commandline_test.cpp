// The server's command line.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace {

using A = CommandLine::Action;

TEST(CommandLineParse, OptionsAndValues) {
    CommandLine none = CommandLine::parse({});
    EXPECT_EQ(none.action, A::Run);
    EXPECT_TRUE(none.configPath.empty());
    EXPECT_FALSE(none.headless);
    EXPECT_FALSE(none.simulate);

    CommandLine all = CommandLine::parse(
        {"--config", "/etc/k.bin", "--headless", "--device=/dev/ttyS1", "--simulate"});
    EXPECT_EQ(all.action, A::Run);
    EXPECT_EQ(all.configPath, "/etc/k.bin");
    EXPECT_EQ(all.devicePath, "/dev/ttyS1");
    EXPECT_TRUE(all.headless);
    EXPECT_TRUE(all.simulate);

    // --allow given twice: both lists hold.
    CommandLine access = CommandLine::parse({"--listen", "::1", "--allow=127.0.0.2/32", "--allow", "::1",
                                             "--password-file", "pw", "--require-password"});
    EXPECT_EQ(access.action, A::Run);
    EXPECT_EQ(access.listenAddress, "::1");
    EXPECT_EQ(access.allow, "127.0.0.2/32,::1");
    EXPECT_EQ(access.passwordFile, "pw");
    EXPECT_TRUE(access.requirePassword);

    EXPECT_EQ(CommandLine::parse({"--config=a=b"}).configPath, "a=b");
    EXPECT_EQ(CommandLine::parse({"--headless", "--help"}).action, A::Help);
    EXPECT_EQ(CommandLine::parse({"--version"}).action, A::Version);
}

TEST(CommandLineParse, Errors) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--config"}, {"--config="}, {"--device"}, {"--bogus"}, {"extra"}, {"--headless=1"},
             {"--listen", "localhost"}, {"--listen"}, {"--allow", "10.0.0.0/8,"}, {"--allow"},
             {"--password-file="}, {"--require-password=yes"},
             // A value left out does not take the next option as the value, silently dropping it.
             {"--config", "--require-password"}, {"--device", "--version"}, {"--state-file", "--headless"}}) {
        const CommandLine cl = CommandLine::parse(args);
        EXPECT_EQ(cl.action, A::Error) << args[0];
        EXPECT_FALSE(cl.error.empty());
    }
    EXPECT_NE(CommandLine::parse({"--bogus"}).error.find("--bogus"), std::string::npos);
}

TEST(CommandLineParse, RouterPort) {
    EXPECT_EQ(CommandLine::parse({}).routerPort, -1);
    EXPECT_EQ(CommandLine::parse({"--router-port", "9990"}).routerPort, 9990);
    EXPECT_EQ(CommandLine::parse({"--router-port=0"}).routerPort, 0);
    for (const char* bad : {"65536", "-1", "99x", "", "123456", " 1"})
        EXPECT_EQ(CommandLine::parse({"--router-port", bad}).action, A::Error) << bad;
    EXPECT_EQ(CommandLine::parse({"--router-port"}).action, A::Error);
}

TEST(CommandLineParse, HttpPort) {
    EXPECT_EQ(CommandLine::parse({}).httpPort, -1);
    EXPECT_EQ(CommandLine::parse({"--http-port", "8080"}).httpPort, 8080);
    EXPECT_EQ(CommandLine::parse({"--http-port=65535"}).httpPort, 65535);
    EXPECT_EQ(CommandLine::parse({"--http-port", "0"}).httpPort, 0);
    for (const char* bad : {"65536", "-1", "80x", "", " 80"})
        EXPECT_EQ(CommandLine::parse({"--http-port", bad}).action, A::Error) << bad;
    EXPECT_EQ(CommandLine::parse({"--http-port"}).action, A::Error);
}

}  // namespace
