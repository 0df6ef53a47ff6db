#pragma once
// The file calls that differ between POSIX and the Windows C runtime, for the places that read a
// small file whole or replace one in a single step (the configuration record, the password file,
// the state file).
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "platform/WindowsError.h"
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace platform {

// Who holds the lock a process takes on a file for as long as it runs (holdWhileRunning).
enum class ProcessLock { Held, HeldElsewhere, Unavailable };

#ifdef _WIN32
// Binary: in the C runtime's default text mode a byte 0x0A would be written as 0D 0A, and a 0x1A
// would end a read. Windows has no FIFOs that could stall an open.
inline constexpr int kReadFlags = O_RDONLY | O_BINARY;
inline constexpr int kWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_BINARY;

// Hands the file's data to the disk before it replaces another file.
inline int syncFile(int fd) { return ::_commit(fd); }

// Puts `from` in the place of `to`; "" when done, else the system's reason. Windows' rename()
// refuses to replace an existing file, so the move says it may.
inline std::string replaceFile(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return "";
    return windowsErrorText(GetLastError());
}

// Windows guards files with access lists, not mode bits: nothing to tell from the mode, or to set.
inline bool othersMayRead(int) { return false; }
inline int setModeFor(int, const std::string&, int) { return 0; }

inline bool isPlainFile(int fd) {
    struct _stat info {};
    return ::_fstat(fd, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
}

// A path as the narrow file calls (open, MoveFileExA) take it: in the system's code page. The path's
// own string() is UTF-8, which names another file as soon as the name has a letter beyond ASCII.
inline std::string narrowName(const std::filesystem::path& file) {
    const std::wstring wide = file.wstring();
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return file.string();
    std::string name(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, name.data(), size, nullptr, nullptr);
    name.resize(static_cast<std::size_t>(size - 1));
    return name;
}

// Takes the lock on `path` (made when missing) until this process ends; HeldElsewhere when another
// process (or another open of it in this one) has it; Unavailable when the file cannot be made.
// The file is shared with any reader (an indexer, a virus scanner); the lock is on its first byte.
inline ProcessLock holdWhileRunning(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ProcessLock::Unavailable;
    OVERLAPPED at{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return ProcessLock::Held;  // the handle stays open: the system ends the lock with the process
    const DWORD error = GetLastError();
    CloseHandle(file);
    return error == ERROR_LOCK_VIOLATION ? ProcessLock::HeldElsewhere : ProcessLock::Unavailable;
}

// A path that keeps naming the same file when the working folder is removed and made again.
// Windows does not let a process's working folder be removed.
inline std::string fixedPath(const std::string& path) { return path; }
#else
// O_NONBLOCK keeps a FIFO without a writer from stalling the open; regular files ignore it.
inline constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
inline constexpr int kWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;

inline int syncFile(int fd) { return ::fsync(fd); }

inline std::string replaceFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? "" : std::strerror(errno);
}

// A regular file, not a FIFO, a device or a folder.
inline bool isPlainFile(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Gives the open file the permissions of the file it is about to replace, or `fresh` when there is
// none, whatever the umask: a replaced file must stay readable by whoever read it before.
inline int setModeFor(int fd, const std::string& replaced, int fresh) {
    struct stat info {};
    const bool exists = ::stat(replaced.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    return ::fchmod(fd, exists ? (info.st_mode & 07777) : static_cast<mode_t>(fresh));
}

// Whether the group or others may read the open file.
inline bool othersMayRead(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

inline std::string narrowName(const std::filesystem::path& file) { return file.string(); }

// Takes the lock on `path` (made when missing) until this process ends; HeldElsewhere when another
// process (or another open of it in this one) has it; Unavailable when the file cannot be made or
// locked. Read access is enough for the lock, so users who share the file's folder share the lock:
// the file is made readable by all, whatever the umask.
inline ProcessLock holdWhileRunning(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return ProcessLock::Unavailable;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && S_ISREG(info.st_mode)) (void)::fchmod(fd, 0644);
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return ProcessLock::Held;  // the descriptor stays open: the lock ends with the process
    const int error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? ProcessLock::HeldElsewhere : ProcessLock::Unavailable;
}

// A path that keeps naming the same file when the working folder is removed and made again: a
// relative one would go on naming the removed folder's entry.
inline std::string fixedPath(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    std::error_code failed;
    const std::filesystem::path here = std::filesystem::current_path(failed);
    return failed ? path : (here / path).string();
}
#endif

// Opens a small file to read it whole; -1 with errno set when it cannot. A FIFO without a writer does
// not stall the open, and the reads then wait for a writer that has not written yet (a pipe from a
// secret store, a shell's <(...)); with no writer at all they find the end of the file.
inline int openForReading(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), kReadFlags);
    } while (fd < 0 && errno == EINTR);
#ifndef _WIN32
    if (fd >= 0) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
#endif
    return fd;
}

// Reads the open file to its end into `out`, but no more than `limit` + 1 bytes: a larger `out` means
// a file too large for the caller. False, with errno set, when a read fails.
inline bool readUpTo(int fd, std::size_t limit, std::string& out) {
    out.assign(limit + 1, '\0');
    std::size_t got = 0;
    while (got < out.size()) {
        const auto n = ::read(fd, out.data() + got, static_cast<unsigned>(out.size() - got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return true;
}

// Where replacing a file in one step failed: the step ("open", "chmod", "write", "fsync", "close",
// "rename") and the system's reason. No step: done.
struct ReplaceFailure {
    std::string step, reason;
    explicit operator bool() const { return !step.empty(); }
};

// The file a name stands for: where a symbolic link (or a chain of them) leads, even when nothing is
// there yet, else the name itself. Replacing the file there keeps the link the operator set up.
inline std::string linkTarget(const std::string& name) {
    std::filesystem::path file(name);
    std::error_code ec;
    bool followed = false;
    for (int hops = 0; hops < 40 && std::filesystem::is_symlink(file, ec); ++hops) {
        const std::filesystem::path to = std::filesystem::read_symlink(file, ec);
        if (ec || to.empty()) break;
        file = to.is_absolute() ? to : file.parent_path() / to;
        followed = true;
    }
    return followed ? narrowName(file) : name;
}

// The lock a process holds on `path`.lock beside the file `path` (where its links lead) while it runs,
// so that no two processes keep the same file. A file that is no plain file (/dev/null, a FIFO) is
// never replaced: nothing to share, and no lock is made.
inline ProcessLock holdForFile(const std::string& path) {
    const std::string file = linkTarget(path);
    std::error_code unknown;
    const auto kind = std::filesystem::status(file, unknown).type();
    if (kind != std::filesystem::file_type::not_found && kind != std::filesystem::file_type::regular)
        return ProcessLock::Unavailable;
    return holdWhileRunning(file + ".lock");
}

// Replaces the file `path` with `data` in one step: a temporary file `path`.tmp is written, synced to
// the disk and renamed over it, so that a reader (or a power cut) never finds half a file. With
// `mode` >= 0 the new file has the permissions of the file it replaces, or `mode` when there is
// none, whatever the umask; with -1 the umask decides. On failure the temporary file is removed.
inline ReplaceFailure replaceWith(const std::string& path, std::string_view data, int mode) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), kWriteFlags, 0644);
    if (fd < 0) return {"open", std::strerror(errno)};
    auto failed = [&](const char* step, int error) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return ReplaceFailure{step, std::strerror(error)};
    };
    if (mode >= 0 && setModeFor(fd, path, mode) != 0) return failed("chmod", errno);
    std::size_t done = 0;
    while (done < data.size()) {
        const auto n = ::write(fd, data.data() + done, static_cast<unsigned>(data.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return failed("write", n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    if (syncFile(fd) != 0) return failed("fsync", errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(tmp.c_str());
        return {"close", std::strerror(error)};
    }
    if (std::string reason = replaceFile(tmp, path); !reason.empty()) {
        ::unlink(tmp.c_str());
        return {"rename", std::move(reason)};
    }
    return {};
}

}  // namespace platform
