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

}  // namespace SerialIO
