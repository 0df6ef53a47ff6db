#include "app/Password.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Files.h"

namespace {

// The first line of the file, without its line end; bounded, so a huge file cannot exhaust memory.
bool readFirstLine(const std::string& file, std::string& line, std::string& error, bool& othersMayRead) {
    const int fd = platform::openForReading(file);
    if (fd < 0) {
        error = "cannot read the password file " + file + ": " + std::strerror(errno);
        return false;
    }
    othersMayRead = platform::othersMayRead(fd);
    constexpr size_t limit = 4096;
    line.clear();
    char chunk[512];
    bool ended = false;
    // Read one byte past the limit at least, so that a line of exactly `limit` is told from a longer one.
    while (!ended && line.size() <= limit) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read the password file " + file + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        for (ssize_t i = 0; i < n && !ended; ++i) {
            if (chunk[i] == '\n' || chunk[i] == '\r') ended = true;
            else line.push_back(chunk[i]);
        }
    }
    ::close(fd);
    if (line.size() > limit) {
        // Cut short, it would not be the password the operator wrote: every client would be refused.
        error = "the password file " + file + " has a first line longer than " + std::to_string(limit) +
                " characters";
        return false;
    }
    // Windows editors may start the text with a byte order mark: it is no part of the password. Text
    // saved as UTF-16 (PowerShell's ">") would give a password no client can send.
    if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (line.compare(0, 2, "\xFF\xFE") == 0 || line.compare(0, 2, "\xFE\xFF") == 0) {
        error = "the password file " + file + " is UTF-16 text: save it as plain text (ASCII or UTF-8)";
        return false;
    }
    if (line.empty()) {
        error = "the password file " + file + " has an empty first line";
        return false;
    }
    return true;
}

}  // namespace

PasswordSetting PasswordSetting::choose(const std::string& file, const char* environment,
                                        const std::string& builtIn) {
    PasswordSetting setting;
    if (!file.empty()) {
        bool othersMayRead = false;
        if (readFirstLine(file, setting.password, setting.error, othersMayRead)) {
            setting.from = From::File;
            if (othersMayRead)
                setting.consoleLines.push_back("Warning: the password file " + file +
                                               " can be read by other users (chmod 600 " + file + ")");
        }
        return setting;
    }
    if (environment != nullptr && *environment != '\0') {
        setting.password = environment;
        setting.from = From::Environment;
        return setting;
    }
    setting.password = builtIn;
    setting.from = From::Default;
    setting.consoleLines.push_back(
        "The built-in client password is in force: set one with --password-file FILE or the "
        "environment variable KIVONET_PASSWORD");
    return setting;
}
