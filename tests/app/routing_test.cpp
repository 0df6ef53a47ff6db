// The routing record: what it learns from written bytes, what observers see, locks, the state file,
// and the hub's own selections for faces that name an output.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "app/Routing.h"
#include "platform/Files.h"
#include "tests/app/support/HubFixture.h"
#include "tests/support/TempDir.h"

namespace {

using Change = Routing::Change;
using Kind = Routing::Kind;

struct Seen {
    std::mutex mutex;
    std::vector<std::vector<Change>> events;
    Routing::State last;
    void add(const std::vector<Change>& changes, const Routing::State& state) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(changes);
        last = state;
    }
};

TEST(RoutingRecord, LearnsOnlyValidFramesAndTellsObserversOnce) {
    Routing routing;
    Seen seen;
    routing.subscribe([&](const auto& c, const auto& s) { seen.add(c, s); });
    EXPECT_EQ(routing.route(1), std::nullopt);

    // Two frames in one raw line, with noise around them: one event with both changes.
    routing.noteWritten({0x00, 0xFE, 0x01, 0x05, 0x33, 0xFE, 0x02, 0x07});
    // Not frames: output 3, input 0, input 17, a cut-off frame.
    routing.noteWritten({0xFE, 0x03, 0x01, 0xFE, 0x01, 0x00, 0xFE, 0x02, 0x11, 0xFE, 0x01});
    // The same routing again is no change.
    routing.noteWritten({0xFE, 0x01, 0x05});
    routing.flush();

    EXPECT_EQ(routing.route(1), 5);
    EXPECT_EQ(routing.route(2), 7);
    std::lock_guard<std::mutex> lock(seen.mutex);
    ASSERT_EQ(seen.events.size(), 1u);
    EXPECT_EQ(seen.events[0], (std::vector<Change>{{Kind::Route, 1}, {Kind::Route, 2}}));
    EXPECT_EQ(seen.last.input[0], 5);
}

// The selector reads one stream: raw lines may cut a frame anywhere.
TEST(RoutingRecord, AFrameCutAcrossWritesCountsOnceComplete) {
    Routing routing;
    routing.noteWritten({0xFE});
    routing.noteWritten({0x01});
    EXPECT_EQ(routing.route(1), std::nullopt);
    routing.noteWritten({0x09, 0xFE, 0x02});
    EXPECT_EQ(routing.route(1), 9);
    routing.noteWritten({0x0C});
    EXPECT_EQ(routing.route(2), 12);
    // A new FE breaks the unfinished frame; so does the line being opened again.
    routing.noteWritten({0xFE, 0x01});
    routing.noteWritten({0xFE, 0x02, 0x03});
    routing.noteWritten({0xFE, 0x01});
    routing.lineReopened();
    routing.noteWritten({0x04});
    EXPECT_EQ(routing.route(1), 9);
    EXPECT_EQ(routing.route(2), 3);
}

TEST(RoutingRecord, LocksBelongToOneClientAtATime) {
    Routing routing;
    const auto a = Routing::newClientId();
    const auto b = Routing::newClientId();
    EXPECT_TRUE(routing.lock(1, a));
    EXPECT_FALSE(routing.lock(1, b));
    EXPECT_FALSE(routing.unlock(1, b));
    EXPECT_TRUE(routing.lockedByOther(1, b));
    EXPECT_FALSE(routing.lockedByOther(1, a));
    EXPECT_TRUE(routing.lock(2, a));
    routing.releaseAll(a);
    EXPECT_FALSE(routing.lockedByOther(1, b));
    EXPECT_FALSE(routing.lockedByOther(2, b));
    EXPECT_TRUE(routing.lock(2, b));
    routing.forceUnlock(2);
    EXPECT_FALSE(routing.lockedByOther(2, a));
}

TEST(RoutingRecord, LabelsMustBeShortAndPrintable) {
    Routing routing;
    EXPECT_TRUE(routing.setInputLabel(3, "Camera 3"));
    EXPECT_FALSE(routing.setInputLabel(3, ""));
    EXPECT_FALSE(routing.setInputLabel(3, std::string(41, 'x')));
    EXPECT_FALSE(routing.setInputLabel(3, "tab\there"));
    EXPECT_FALSE(routing.setInputLabel(17, "Nope"));
    EXPECT_FALSE(routing.setOutputLabel(0, "Nope"));
    EXPECT_EQ(routing.state().inputLabels[2], "Camera 3");
}

TEST(RoutingStateFile, KeepsLabelsRoutingAndIdAcrossRestarts) {
    const TempDir dir("kivonet-routing-");
    // A letter beyond ASCII in the name (on Windows, "é" in the system's code page) names the same file
    // for every read and write.
    const std::string path = dir.path() + "/keep-\xe9.state";
    std::string id;
    {
        Routing routing(path);
        id = routing.state().uniqueId;
        routing.noteWritten({0xFE, 0x02, 0x0C});
        routing.setOutputLabel(1, "Projector");
        routing.lock(1, Routing::newClientId());
        routing.flush();
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp")) << "temporary file left behind";
    {
        Routing again(path);
        const Routing::State s = again.state();
        EXPECT_EQ(s.uniqueId, id);
        EXPECT_EQ(s.input[0], 0);
        EXPECT_EQ(s.input[1], 12);
        EXPECT_EQ(s.outputLabels[0], "Projector");
        EXPECT_EQ(s.inputLabels[15], "Input 16");
        EXPECT_EQ(s.lockOwner[0], 0u) << "locks do not survive a restart";
        // A later save takes the place of the file already there.
        again.setOutputLabel(1, "Monitor");
        again.flush();
    }
    EXPECT_EQ(Routing(path).state().outputLabels[0], "Monitor");
}

TEST(RoutingStateFile, OneHolderOfTheLockAtATime) {
    // The lock a server takes beside its state file: a second taker (another process; here another
    // open in this one) is told it is held, and a folder that cannot take the file is no refusal.
    const TempDir dir("kivonet-routing-");
    const std::string file = dir.path() + "/kivonet.state";
    EXPECT_EQ(platform::holdForFile(file), platform::ProcessLock::Held);
    EXPECT_EQ(platform::holdForFile(file), platform::ProcessLock::HeldElsewhere);
    EXPECT_EQ(platform::holdForFile(dir.path() + "/missing/kivonet.state"), platform::ProcessLock::Unavailable);
#ifndef _WIN32
    // A file that is never written (a FIFO, /dev/null) is shared freely, and nothing is made beside it.
    const std::string fifo = dir.path() + "/fifo.state";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_NE(platform::holdForFile(fifo), platform::ProcessLock::HeldElsewhere);
    EXPECT_NE(platform::holdForFile(fifo), platform::ProcessLock::HeldElsewhere);
    EXPECT_FALSE(std::filesystem::exists(fifo + ".lock"));
#endif
}

TEST(RoutingStateFile, DamagedOrUnwritableFileGivesDefaultsAndRunsOn) {
    const TempDir dir("kivonet-routing-");
    const std::string path = dir.path() + "/damaged.state";
    const std::string damaged = "# kivonet state 1\ninput1=Camera A\ninput2 Camera B\n";
    { std::ofstream(path, std::ios::binary) << damaged; }
    {
        Routing routing(path);
        EXPECT_EQ(routing.state().inputLabels[0], "Input 1");
        EXPECT_EQ(routing.state().uniqueId.size(), 12u);
        routing.noteWritten({0xFE, 0x01, 0x05});
        routing.flush();
    }
    // The damaged file is set aside with the operator's labels in it, not saved over.
    const auto contents = [](const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(contents(path + ".damaged"), damaged);
    EXPECT_EQ(Routing(path).route(1), 5);
    // Damaged again before the first copy was mended: that copy stays, the new one goes beside it.
    { std::ofstream(path, std::ios::binary) << "broken again"; }
    Routing{path};
    EXPECT_EQ(contents(path + ".damaged"), damaged);
    EXPECT_EQ(contents(path + ".damaged.1"), "broken again");

    // Bad values inside a good file keep their defaults, and their keys are named for the console;
    // unknown keys are skipped. Lines may end in CR LF.
    std::vector<std::string> refused;
    const auto parsed = Routing::parse(
        "# kivonet state 1\r\nroute1=99\r\nroute2=4\r\ninput2=Caf\xc3\xa9\r\ninput3=Cam 3\r\nfuture=1\nid=XYZ\n", &refused);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->input[0], 0);
    EXPECT_EQ(parsed->input[1], 4);
    EXPECT_EQ(parsed->inputLabels[1], "Input 2");
    EXPECT_EQ(parsed->inputLabels[2], "Cam 3");
    EXPECT_TRUE(parsed->uniqueId.empty());
    EXPECT_EQ(refused, (std::vector<std::string>{"route1", "input2", "id"}));
    EXPECT_FALSE(Routing::parse("route1=3\n"));

    Routing unwritable("/nonexistent-folder/kivonet.state");
    unwritable.noteWritten({0xFE, 0x01, 0x02});
    unwritable.flush();
    EXPECT_EQ(unwritable.route(1), 2);
    // The save made at exit says it failed, and no label changes after it.
    EXPECT_FALSE(unwritable.saveNow(std::chrono::seconds(2)));
    EXPECT_FALSE(unwritable.setInputLabel(1, "Too late"));

#ifndef _WIN32
    // Through a symbolic link the file it leads to is written, and the link stays.
    const std::string link = dir.path() + "/link.state";
    std::filesystem::create_symlink("kept.state", link);
    {
        Routing routing(link);
        routing.setInputLabel(1, "Cam");
        routing.flush();
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(Routing(dir.path() + "/kept.state").state().inputLabels[0], "Cam");

    // A FIFO in the file's place (nobody writing to it) does not hold up the start.
    const std::string fifo = dir.path() + "/fifo.state";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Routing(fifo).state().inputLabels[0], "Input 1");
#endif

    // A save that failed is tried again, with no further change, once the file can be written.
    const std::string later = dir.path() + "/later";
    {
        Routing routing(later + "/kivonet.state");
        routing.setOutputLabel(2, "Recorder");
        routing.flush();
        std::filesystem::create_directory(later);
        ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(later + "/kivonet.state"); }, 5000));
    }
    EXPECT_EQ(Routing(later + "/kivonet.state").state().outputLabels[1], "Recorder");
}

class HubRouteTest : public HubTest {};

TEST_F(HubRouteTest, RouteWritesFramesAndRecordsOnlyWhatWasWritten) {
    makeHub();
    port->clear();
    EXPECT_EQ(hub->Route(0, 9), LocalCAM::RouteResult::Ok);
    EXPECT_EQ(port->frames(), (std::vector<Frame>{{0xFE, 0x01, 0x09}, {0xFE, 0x02, 0x09}}));
    EXPECT_EQ(hub->routing().route(1), 9);
    EXPECT_EQ(hub->gui().statusText(), "Selected Input #9");

    EXPECT_EQ(hub->Route(3, 1), LocalCAM::RouteResult::BadIndex);
    EXPECT_EQ(hub->Route(1, 17), LocalCAM::RouteResult::BadIndex);

    const auto owner = Routing::newClientId();
    ASSERT_TRUE(hub->routing().lock(2, owner));
    port->clear();
    EXPECT_EQ(hub->Route(0, 4), LocalCAM::RouteResult::Locked);
    EXPECT_TRUE(port->frames().empty());
    EXPECT_EQ(hub->Route(2, 4, owner), LocalCAM::RouteResult::Ok);

    // A write cut off after the first frame of a command: that frame is on the line all the same.
    port->cutNext = 4;
    EXPECT_EQ(hub->CommandB0({0xFE, 0x01, 0x0B, 0xFE, 0x02, 0x0B}), false);
    EXPECT_EQ(hub->routing().route(1), 11);
    EXPECT_EQ(hub->routing().route(2), 4);

    port->failWrites = true;
    EXPECT_EQ(hub->Route(1, 6), LocalCAM::RouteResult::WriteFailed);
    EXPECT_EQ(hub->routing().route(1), 11) << "a failed write must not change the record";
    EXPECT_EQ(hub->gui().statusText(), "COM port not communicating.");
}

// A face whose thread has other work learns when a selection is about to make it wait: after its
// first frame is on the line, or before it waits for a line another selection holds; never when
// nothing is written.
TEST_F(HubRouteTest, BeforeWaitFollowsTheFirstFrameOrPrecedesWaitingForTheLine) {
    makeHub();
    port->clear();
    std::vector<std::size_t> framesWhenTold;
    std::mutex toldMutex;
    const std::function<void()> tell = [&] {
        std::lock_guard<std::mutex> lock(toldMutex);
        framesWhenTold.push_back(port->frames().size());
    };
    auto told = [&] {
        std::lock_guard<std::mutex> lock(toldMutex);
        return framesWhenTold;
    };
    EXPECT_EQ(hub->Route(0, 5, 0, tell), LocalCAM::RouteResult::Ok);
    EXPECT_EQ(told(), std::vector<std::size_t>{1});

    framesWhenTold.clear();
    port->clear();
    std::unique_lock<std::recursive_mutex> held(LocalCAM::critsect);
    std::thread other([&] { hub->Route(1, 6, 0, tell); });
    EXPECT_TRUE(waitFor([&] { return !told().empty(); }));
    EXPECT_EQ(told(), std::vector<std::size_t>{0}) << "told before the busy line is free";
    held.unlock();
    other.join();
    EXPECT_EQ(port->frames(), (std::vector<Frame>{{0xFE, 0x01, 0x06}}));
    EXPECT_EQ(told().size(), 1u);

    // A caller that gives up by a time: a line held past it gets nothing, not a late frame.
    port->clear();
    {
        std::thread holder([&] {
            std::lock_guard<std::recursive_mutex> lock(LocalCAM::critsect);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto by = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        EXPECT_EQ(hub->Route(1, 8, 0, {}, by), LocalCAM::RouteResult::Busy);
        holder.join();
    }
    EXPECT_TRUE(port->frames().empty());
    EXPECT_EQ(hub->Route(1, 8, 0, {}, std::chrono::steady_clock::now() + std::chrono::seconds(5)),
              LocalCAM::RouteResult::Ok);

    framesWhenTold.clear();
    EXPECT_EQ(hub->Route(3, 1, 0, tell), LocalCAM::RouteResult::BadIndex);
    port->failWrites = true;
    EXPECT_EQ(hub->Route(2, 7, 0, tell), LocalCAM::RouteResult::WriteFailed);
    EXPECT_TRUE(told().empty());
}

}  // namespace
