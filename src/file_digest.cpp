#include "file_digest.hpp"

#include "file_error.hpp"
#include "hex.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>

// The SHA256_* functions are deprecated in OpenSSL 3 in favour of EVP but still provided, and they are all this
// program needs; keep the deprecation warning quiet for this unit only.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace treeinv {
namespace {

// The size of the pieces fed to SHA256_Update. The digest is the same for any chunking.
constexpr std::size_t k_chunk_size = 4096;

// Reading a file in 4 KiB system calls costs more time in the kernel than hashing it does; 256 KiB reads bring
// that down to a few percent while the buffer still fits in the cache.
constexpr std::size_t k_buffer_size = 256 * 1024;

} // namespace

FileDigester::FileDigester() : m_buffer(std::make_unique<char[]>(k_buffer_size)) {}

std::string FileDigester::digest(const platform::FileEntry& file, const std::string& path) {
  platform::FileState opened;
  const OpenFile input(platform::open_file(file, opened));
  if (input.fd() < 0) {
    throw FileError("Cannot open", path, errno);
  }
  return digest_open(input.fd(), opened, path);
}

std::string FileDigester::digest_open(int fd, const platform::FileState& opened, const std::string& path,
                                      const std::atomic<bool>* cancelled) {
  SHA256_CTX context;
  SHA256_Init(&context);
  std::uint64_t total = 0;
  // A file read up to the size it had when opened is at its end, unless it grew; the state asked for below tells,
  // and saves a read per file. A size of 0 may be no size at all (as in /proc): read until the end then. Files
  // whose size is only an upper bound (as in /sys) end earlier, without having changed.
  while (opened.size == 0 || total < opened.size) {
    const std::ptrdiff_t count = platform::read_some(fd, m_buffer.get(), k_buffer_size);
    if (count < 0) {
      // A digest of the bytes read so far would be a wrong digest that looks right.
      throw FileError("Cannot read", path, errno);
    }
    if (count == 0) {
      break;
    }
    if (cancelled != nullptr && cancelled->load(std::memory_order_relaxed)) {
      throw FileError("Cannot read", path, "Cancelled", ECANCELED);
    }
    const auto size = static_cast<std::size_t>(count);
    for (std::size_t offset = 0; offset < size; offset += k_chunk_size) {
      SHA256_Update(&context, m_buffer.get() + offset, std::min(k_chunk_size, size - offset));
    }
    total += size;
  }
  // A file that grew, shrank or was rewritten while it was read has no digest: the bytes read are of no one
  // version of it.
  platform::FileState finished;
  if (!platform::file_state(fd, finished)) {
    throw FileError("Cannot read", path, errno);
  }
  if (!(finished == opened)) {
    throw FileError("Cannot read", path, "File changed while it was read", EAGAIN);
  }
  unsigned char raw[SHA256_DIGEST_LENGTH] = {};
  SHA256_Final(raw, &context);

  std::string text(2 * SHA256_DIGEST_LENGTH, '0');
  for (std::size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    text[2 * i] = k_hex_digits[raw[i] >> 4];
    text[2 * i + 1] = k_hex_digits[raw[i] & 0x0f];
  }
  return text;
}

} // namespace treeinv
