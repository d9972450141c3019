#pragma once

#include "platform.hpp"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace treeinv {

// The buffer that a file's contents are read into. 256 KiB: reads of 4 KiB cost more time in the kernel than
// hashing does, reads this large a few percent, and it still fits in the cache. Aligned to a page: the kernel copies
// into it with `rep movsb`, which on some AMD processors takes four times as long off the cache line (1 GiB into a
// buffer 16 bytes past a page, where the allocator puts a block this large: 0.41 s of system time against 0.09 s
// aligned on one AMD EPYC machine, 0.08 s against 0.06 s on another).
inline constexpr std::size_t k_read_size = 256 * 1024;
inline constexpr std::size_t k_read_alignment = 4096;
struct alignas(k_read_alignment) ReadBuffer {
  char bytes[k_read_size];
};

// Computes the SHA-256 digest of files, one after another, reusing one large read buffer for all of them.
class FileDigester {
public:
  FileDigester();

  // The SHA-256 digest of the file's whole contents as 64 lowercase hexadecimal digits. `path` names the file in
  // messages. `opened`, when given, is called with the file's state once it is open, before it is read.
  // Throws FileError `Cannot open "PATH": REASON.` when the file cannot be opened for reading or is not a regular
  // file, and `Cannot read "PATH": REASON.` when a read fails or would wait, when the file gives more bytes than its
  // size, or when it changes while it is read. Gives up between two reads when the run is asked to stop.
  std::string digest(const platform::FileEntry& file, const std::string& path,
                     const std::function<void(const platform::FileState& state)>& opened = {});

  // As digest(), for a file already opened with platform::open_file, which gave `opened`. Gives up with an error
  // between two reads once `cancelled` is set.
  std::string digest_open(int fd, const platform::FileState& opened, const std::string& path,
                          const std::atomic<bool>* cancelled = nullptr);

private:
  std::unique_ptr<ReadBuffer> m_buffer;
};

// Owns a file opened with platform::open_file.
class OpenFile {
public:
  explicit OpenFile(int fd) : m_fd(fd) {}
  ~OpenFile() {
    if (m_fd >= 0) {
      platform::close_file(m_fd);
    }
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  int fd() const { return m_fd; }

private:
  int m_fd;
};

} // namespace treeinv
