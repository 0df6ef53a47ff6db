// The control hub: construction, address lookup, the Close button, the pacing pause.
#include <chrono>
#include <thread>

#include "tests/app/support/HubFixture.h"
#include "tests/app/support/TestClient.h"

namespace {

TEST_F(HubTest, ConstructionOpensSocketAndFillsWindow) {
    KIVO::password = std::string("secret");
    makeHub();
    EXPECT_EQ(log->lines(), (std::vector<std::string>{"New Password= ", "Server Socket Opened OK at Port 0"}));
    EXPECT_TRUE(hub->serverSocketOpen());
    EXPECT_GT(hub->listeningPort(), 0);
    EXPECT_TRUE(hub->gui().connectEnabled());
    EXPECT_EQ(hub->gui().connectColour(), KIVO::graycol);
    EXPECT_EQ(hub->gui().ipText(), "testhost/127.0.0.1");
    EXPECT_EQ(hub->gui().localnameText(), "secret");
    EXPECT_EQ(hub->noCOM(), 0);
    EXPECT_EQ(KIVO::cam.load(), LocalCAM::cam.load());
    EXPECT_NE(KIVO::cam.load(), nullptr);
    EXPECT_EQ(hub->serIn(), std::vector<uint8_t>(64, 0));
}

TEST_F(HubTest, WithoutAutoAcceptNoSocketAndNothingToClose) {
    KIVO::autoaccept = false;
    makeHub();
    EXPECT_EQ(log->lines(), (std::vector<std::string>{"New Password= "}));
    EXPECT_FALSE(hub->serverSocketOpen());
    EXPECT_EQ(hub->listeningPort(), -1);
    EXPECT_FALSE(hub->gui().connectEnabled());
    hub->CommandB5();  // no socket: no session
    EXPECT_EQ(hub->currentSession(), nullptr);
    hub->CommandB6();
    EXPECT_EQ(hub->gui().statusText(), "No Connection to Close");
}

TEST_F(HubTest, PortInUseIsReported) {
    auto taken = net::Listener::open(0);
    makeHub(taken->port());
    EXPECT_EQ(hub->gui().statusText(), "Can't Get ServerSocket at Port " + std::to_string(taken->port()));
    EXPECT_FALSE(hub->serverSocketOpen());
    EXPECT_FALSE(hub->gui().connectEnabled());
    EXPECT_EQ(hub->gui().connectColour(), KIVO::darkgraycol);
}

TEST_F(HubTest, AddressLookup) {
    makeHub();
    log->clear();
    hub->CommandB4("no.such.host");
    EXPECT_EQ(log->lines(), (std::vector<std::string>{"Unknown Host Can't Get IP", "New Password= no.such.host"}));
    EXPECT_EQ(hub->gui().ipText(), "null");
    hub->CommandB4("localhost");
    EXPECT_EQ(hub->gui().ipText(), "localhost/127.0.0.1");
    EXPECT_EQ(hub->gui().statusText(), "New Password= localhost");
    EXPECT_EQ(hub->gui().outsideStatusText(), "New Password= ***");
}

TEST_F(HubTest, ReadyLineIsNotTheLastWordWhileTheLineIsDown) {
    const std::string ready = "COM1  KIVO16  5 minutes  Ready";
    makeHub();
    hub->ShowReady(ready);
    EXPECT_EQ(hub->gui().statusText(), ready);
    hub.reset();
    noCom = 1;  // the configured device did not open
    makeHub();
    hub->ShowReady(ready);
    EXPECT_EQ(hub->gui().statusText(), "Serial device " + port->devicePath() + " not open");
}

TEST_F(HubTest, CloseButtonLeavesAWaitingSessionAlone) {
    startServing();
    const auto waiting = hub->currentSession();
    log->clear();
    hub->CommandB6();
    EXPECT_TRUE(log->lines().empty());
    EXPECT_EQ(hub->currentSession(), waiting);
    // The connect button asks for no second waiting session either.
    hub->CommandB5();
    EXPECT_EQ(hub->currentSession(), waiting);
    EXPECT_FALSE(hub->gui().connectEnabled());

    TestClient client(hub->listeningPort());
    EXPECT_EQ(client.readLine(), "OK");
}

TEST_F(HubTest, CloseButtonEndsTheConnectedSession) {
    startServing();
    TestClient client(hub->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    const auto first = hub->currentSession();
    ASSERT_TRUE(waitFor([&] { return first->connected(); }));

    testing::internal::CaptureStdout();
    hub->CommandB6();
    EXPECT_TRUE(client.closedByServer());
    ASSERT_TRUE(waitForAwaiting());
    EXPECT_NE(hub->currentSession(), first);
    EXPECT_FALSE(hub->gui().connectEnabled());
    EXPECT_EQ(hub->gui().connectColour(), KIVO::darkgraycol);
    // The first session's thread ends on its own; its cut-off read is not the client's doing.
    ASSERT_TRUE(waitFor([&] { return first.use_count() == 1; }));
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.rfind("Button close\n", 0), 0u) << console;
    EXPECT_NE(console.find("Server Loop Close\n"), std::string::npos) << console;
    EXPECT_FALSE(log->contains("Null Close"));
    EXPECT_EQ(hub->gui().statusText(), "Awaiting Client Connection");

    // Exactly one successor waits: the next client is served.
    TestClient next(hub->listeningPort());
    EXPECT_EQ(next.readLine(), "OK");
}

// The watchdog's question: a holder that keeps the serial lock while its writes end one after
// another (each at the time-out of a line taking no bytes) is busy, not hung.
TEST_F(HubTest, LineTurnComesWithAWriteEndingUnderAHeldLock) {
    KIVO::autoaccept = false;
    makeHub();
    std::atomic<bool> locked{false};
    std::atomic<bool> write{false};
    std::atomic<bool> answered{false};
    std::thread holder([&] {
        std::lock_guard<std::recursive_mutex> lock(LocalCAM::critsect);
        locked = true;
        while (!write) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        hub->CommandB0({0xFE, 0x01, 0x02});
        waitFor([&] { return answered.load(); });
    });
    ASSERT_TRUE(waitFor([&] { return locked.load(); }));
    std::thread watchdog([&] {
        hub->waitForLineTurn();
        answered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(answered.load()) << "answered while the lock was held and no write ended";
    write = true;
    EXPECT_TRUE(waitFor([&] { return answered.load(); })) << "no answer though a write ended";
    watchdog.join();
    holder.join();
}

TEST_F(HubTest, DelayWaitsForTheLockHolder) {
    KIVO::autoaccept = false;
    makeHub();
    std::atomic<bool> locked{false};
    std::atomic<bool> released{false};
    std::thread holder([&] {
        std::lock_guard<std::recursive_mutex> lock(LocalCAM::critsect);
        locked = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        released = true;
    });
    ASSERT_TRUE(waitFor([&] { return locked.load(); }));
    hub->DelayT(20);
    EXPECT_TRUE(released.load());
    holder.join();
}

}  // namespace
