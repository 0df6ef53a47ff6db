#pragma once
// Wrong passwords per peer address, counted across every face that asks for the password: the
// fifth within a minute shuts the address out for a minute, on every face at once. Bounded: the
// stalest address not shut out is forgotten first.
#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace net {

class LoginLimiter {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    static constexpr int maxFailures = 5;
    static constexpr std::chrono::minutes window{1};
    static constexpr std::chrono::minutes block{1};
    static constexpr size_t maxAddresses = 1024;

    explicit LoginLimiter(Now now = Clock::now) : now_(std::move(now)) {}

    // True while the address is shut out. firstRefusal is set when this is the first refusal of the
    // current block (so the console is told once per block, not once per attempt).
    bool blocked(const std::string& address, bool* firstRefusal = nullptr) {
        const auto now = now_();
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = entries_.find(address);
        if (it == entries_.end() || now >= it->second.blockedUntil) return false;
        if (firstRefusal) *firstRefusal = !it->second.refusalLogged;
        it->second.refusalLogged = true;
        it->second.lastSeen = now;
        return true;
    }

    // Records a wrong password; true when it shut the address out.
    bool failed(const std::string& address) {
        const auto now = now_();
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = entries_.find(address);
        if (it == entries_.end()) {
            if (entries_.size() >= maxAddresses) prune(now);
            it = entries_.emplace(address, Entry{}).first;
        }
        Entry& e = it->second;
        e.lastSeen = now;
        std::erase_if(e.failures, [now](Clock::time_point t) { return now - t >= window; });
        e.failures.push_back(now);
        if (static_cast<int>(e.failures.size()) < maxFailures) return false;
        e.failures.clear();
        e.blockedUntil = now + block;
        e.refusalLogged = false;
        return true;
    }

    size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_.size();
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

private:
    struct Entry {
        std::vector<Clock::time_point> failures;  // within the window, at most maxFailures
        Clock::time_point blockedUntil{};
        bool refusalLogged = false;
        Clock::time_point lastSeen{};
    };

    void prune(Clock::time_point now) {  // mutex_ held
        std::erase_if(entries_, [now](const auto& entry) {
            const Entry& e = entry.second;
            return now >= e.blockedUntil && (e.failures.empty() || now - e.failures.back() >= window);
        });
        if (entries_.size() < maxAddresses) return;
        // A shut-out address is forgotten only when every address is: wrong passwords from many
        // other addresses must not let it back in early.
        const auto key = [now](const auto& entry) {
            return std::pair(now < entry.second.blockedUntil, entry.second.lastSeen);
        };
        auto stalest = std::min_element(entries_.begin(), entries_.end(),
                                        [&](const auto& a, const auto& b) { return key(a) < key(b); });
        entries_.erase(stalest);
    }

    Now now_;
    mutable std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

}  // namespace net
