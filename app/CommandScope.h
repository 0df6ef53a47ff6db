#pragma once
// The hand-off point of one command. While a scope is open on a thread, what the thread produces for
// other threads is kept back: console lines (see KIVO::HoldConsoleLines) and the window's redraw
// requests. When the outermost scope closes, after the command's frames are on the serial line, all of
// it is handed on together: the console writer is woken at most once, the window at most once. So the
// way from a client's line to the serial port neither wakes nor waits for another thread.
#include <functional>

class CommandScope {
public:
    CommandScope();
    ~CommandScope();
    CommandScope(const CommandScope&) = delete;
    CommandScope& operator=(const CommandScope&) = delete;

    // A scope is open on the calling thread.
    static bool open();
    // With a scope open: keeps `action` to run, in order, when the outermost scope closes, and returns
    // true. Without a scope: returns false and the caller acts at once.
    static bool defer(std::function<void()> action);
};
