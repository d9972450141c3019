#pragma once

#include "platform.hpp"

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

  // As digest(), for reading ahead of time: returns nothing, without reading, when the file opened is one of
  // `read_late`, and gives up with an error between two reads once `cancelled` is set.
  std::optional<std::string> digest_ahead(const std::string& path, const std::vector<platform::FileIdentity>& read_late,
                                          const std::atomic<bool>& cancelled);

private:
  std::optional<std::string> compute(const std::string& path, const std::vector<platform::FileIdentity>* read_late,
                                     const std::atomic<bool>* cancelled);

  std::unique_ptr<char[]> m_buffer;
};

} // namespace treeinv
