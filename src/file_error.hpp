#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

namespace treeinv {

// The error for a file operation that failed: `WHAT "PATH": REASON.`, such as `Cannot open "a.bin": Permission
// denied.`, with the C library's text for the error number unless a reason of its own is given.
class FileError : public std::runtime_error {
public:
  FileError(const char* what, const std::string& path, int error)
      : FileError(what, path, std::strerror(error), error) {}
  FileError(const char* what, const std::string& path, const char* reason, int error)
      : std::runtime_error(std::string(what) + " \"" + path + "\": " + reason + "."), m_error(error) {}

  // The error number behind it.
  int error() const noexcept { return m_error; }

private:
  int m_error;
};

} // namespace treeinv
