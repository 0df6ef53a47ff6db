#pragma once
// The file calls that differ between POSIX and the Windows C runtime, for the places that read a
// small file whole or replace one in a single step (the configuration record, the password file,
// the state file).
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "platform/WindowsError.h"
#else
#include <unistd.h>
#endif

namespace platform {

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
#endif

}  // namespace platform
