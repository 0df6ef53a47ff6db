#pragma once
// Port names shared by the native serial libraries: "COMn" numbers and the process-wide map that
// mapPortName() fills.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace SerialIO {

constexpr int kMaxComNumber = 256;
// Device paths that are not "COMn" get port numbers from here on.
constexpr int kFirstPathNumber = 257;

// n for "COMn" with n from 1 to kMaxComNumber; 0 when the name is not of that form.
int comNumber(const std::string& name);

// The text of a configuration's name field, up to its first zero byte.
std::string textOf(const std::vector<uint8_t>& bytes);

// The device path mapPortName() gave the name, if any.
std::optional<std::string> mappedPath(const std::string& name);

}  // namespace SerialIO
