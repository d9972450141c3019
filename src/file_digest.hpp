#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace treeinv {

// Computes the SHA-256 digest of files, one after another, reusing one large read buffer for all of them.
class FileDigester {
public:
  FileDigester();

  // The SHA-256 digest of the file's whole contents as 64 lowercase hexadecimal digits. `path` is opened as given,
  // relative to the current working directory.
  // Throws std::runtime_error `Cannot open "PATH": REASON.` when the file cannot be opened for reading or is not
  // a regular file, and `Cannot read "PATH": REASON.` when a read fails part-way.
  std::string digest(const std::string& path);

private:
  std::unique_ptr<char[]> m_buffer;
};

} // namespace treeinv
