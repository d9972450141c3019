#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

namespace treeinv {

// The error for a file operation that failed: `WHAT "PATH": REASON.`, such as `Cannot open "a.bin": Permission
// denied.`, with the C library's text for the error number.
inline std::runtime_error file_error(const char* what, const std::string& path, int error) {
  return std::runtime_error(std::string(what) + " \"" + path + "\": " + std::strerror(error) + ".");
}

} // namespace treeinv
