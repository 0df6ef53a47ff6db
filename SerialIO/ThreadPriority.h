#pragma once
// Scheduling priority of single threads, the same way on every system: higher is more urgent.
// POSIX: the negated nice value of the thread (-19..20). Windows: the thread priority levels
// -2..2 (THREAD_PRIORITY_LOWEST..HIGHEST); values beyond are clamped.
#include <optional>

namespace SerialIO {

// The calling thread's system id (Linux: its kernel id; Windows: its thread id).
int currentThreadId();

// False when the system refuses the value (for example a raise without privilege).
bool setThreadPriority(int threadId, int priority);

std::optional<int> threadPriority(int threadId);

// Tells the scheduler that the calling thread does short bursts of work that someone waits for (it
// reads a command, writes a frame and sleeps): it is given short time slices, so it runs soon after
// waking and is seldom preempted in its burst, at the same priority as before. Linux 6.12 and later
// (a slice hint for ordinary threads); elsewhere it does nothing. False when the hint was not taken.
bool preferShortTimeSlices();

}  // namespace SerialIO
