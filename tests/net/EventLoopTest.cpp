#include "net/EventLoop.h"

#include "net/Net.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// Tasks posted from several threads, with no socket traffic to end a round: each must run on its
// own wake-up. A post that lands while the loop drains its wake pair must not leave the loop
// asleep (later posts would then wait for some unrelated socket to become ready).
TEST(EventLoop, EveryPostRunsWithoutOtherTraffic)
{
    net::EventLoop loop;
    // A socket that can end a round without the wake pair, so that a stuck loop can still be
    // stopped and the test reports instead of hanging.
    const auto kicker = net::Listener::open(0, "127.0.0.1");
    loop.watch(kicker->fd(), net::EventLoop::Readable, [](unsigned) {});
    std::thread runner([&] { loop.run(); });

    constexpr int kPosters = 3;
    constexpr int kRounds = 5000;
    std::mutex mutex;
    std::condition_variable ran;
    std::vector<int> done(kPosters, 0);
    std::atomic<bool> stuck{false};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int round = 1; round <= kRounds && !stuck; ++round) {
                loop.post([&, p] {
                    std::lock_guard<std::mutex> lock(mutex);
                    ++done[p];
                    ran.notify_all();
                });
                std::unique_lock<std::mutex> lock(mutex);
                if (!ran.wait_for(lock, 5s, [&] { return done[p] >= round; })) stuck = true;
            }
        });
    }
    for (std::thread& t : posters) t.join();
    EXPECT_FALSE(stuck) << "a posted task waited for a wake-up that never came";

    // stop() wakes the loop like a post does.
    loop.stop();
    std::unique_ptr<net::Connection> kick;
    if (stuck) kick = net::Connection::connect("127.0.0.1", kicker->port());
    runner.join();
}
