#include "SerialIO/ThreadPriority.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#else
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

bool preferShortTimeSlices() { return false; }

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

bool preferShortTimeSlices() {
    // struct sched_attr of <linux/sched/types.h>, which the C library does not declare. For an
    // ordinary thread sched_runtime is the slice it asks for (0.1 ms is the shortest allowed);
    // kernels before 6.12 ignore it. The nice value is passed as it is, so the priority stays.
    struct SchedAttr {
        std::uint32_t size;
        std::uint32_t policy;
        std::uint64_t flags;
        std::int32_t nice;
        std::uint32_t priority;
        std::uint64_t runtime;
        std::uint64_t deadline;
        std::uint64_t period;
    };
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    if (errno != 0) return false;
    SchedAttr attr{};
    attr.size = sizeof attr;
    attr.policy = SCHED_OTHER;
    attr.nice = nice;
    attr.runtime = 100'000;  // ns
    return syscall(SYS_sched_setattr, 0, &attr, 0u) == 0;
}

#endif

}  // namespace SerialIO
