#pragma once
// Where the client password comes from, and how it is kept off the console.
#include <string>
#include <vector>

struct PasswordSetting {
    enum class From { File, Environment, Default };
    std::string password;
    From from = From::Default;
    std::string error;                      // non-empty: start-up must stop (exit status 2)
    std::vector<std::string> consoleLines;  // warnings and notes for the console; never the password

    // Precedence: the first line of `file` (when a file is named), then `environment` (the value of
    // KIVONET_PASSWORD, null or empty when unset), then `builtIn`. A named file that cannot be read
    // or whose first line is empty is an error; one that others may read gives a warning.
    static PasswordSetting choose(const std::string& file, const char* environment,
                                  const std::string& builtIn);
};

// What replaces the password in every text that leaves the window.
inline constexpr const char* hiddenPassword = "***";
