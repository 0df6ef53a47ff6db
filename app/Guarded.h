#pragma once
// A value shared between threads, read and replaced whole under a lock.
#include <mutex>
#include <utility>

template <typename T>
class Guarded {
public:
    Guarded() = default;
    explicit Guarded(T initial) : value_(std::move(initial)) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    T get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    void set(T v) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ = std::move(v);
    }
    Guarded& operator=(T v) {
        set(std::move(v));
        return *this;
    }
    operator T() const { return get(); }

private:
    mutable std::mutex mutex_;
    T value_{};
};
