#include "SerialIO/ThreadPriority.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#else
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace SerialIO {

#ifdef _WIN32

int currentThreadId() { return static_cast<int>(GetCurrentThreadId()); }

bool setThreadPriority(int threadId, int priority) {
    HANDLE t = OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(threadId));
    if (!t) return false;
    const bool ok = SetThreadPriority(t, std::clamp(priority, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_HIGHEST));
    CloseHandle(t);
    return ok;
}

std::optional<int> threadPriority(int threadId) {
    HANDLE t = OpenThread(THREAD_QUERY_INFORMATION, FALSE, static_cast<DWORD>(threadId));
    if (!t) return std::nullopt;
    const int p = GetThreadPriority(t);
    CloseHandle(t);
    if (p == THREAD_PRIORITY_ERROR_RETURN) return std::nullopt;
    return p;
}

#else

int currentThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

bool setThreadPriority(int threadId, int priority) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), -priority) == 0;
}

std::optional<int> threadPriority(int threadId) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(threadId));
    if (errno != 0) return std::nullopt;
    return -nice;
}

#endif

}  // namespace SerialIO
