#include "file_digest.hpp"

#include "file_error.hpp"

#include <cerrno>
#include <cstdint>

// The SHA256_* functions are deprecated in OpenSSL 3 in favour of EVP but still provided, and they are all this
// program needs; keep the deprecation warning quiet for this unit only.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace treeinv {
namespace {

// Lowercase, as digests are written.
constexpr char k_hex_digits[] = "0123456789abcdef";

// A file that grew, shrank or was rewritten while it was read has no digest: the bytes read are of no one version
// of it.
void check_unchanged(int fd, const platform::FileState& opened, const std::string& path) {
  platform::FileState now;
  if (!platform::file_state(fd, now)) {
    throw FileError("Cannot read", path, errno);
  }
  if (!(now == opened)) {
    throw FileError("Cannot read", path, "File changed while it was read", EAGAIN);
  }
}

} // namespace

FileDigester::FileDigester() : m_buffer(std::make_unique<ReadBuffer>()) {}

std::string FileDigester::digest(const platform::FileEntry& file, const std::string& path,
                                 const std::function<void(const platform::FileState& state)>& opened) {
  platform::FileState state;
  const OpenFile input(platform::open_file(file, state));
  if (input.fd() < 0) {
    throw FileError("Cannot open", path, errno);
  }
  if (opened) {
    opened(state);
  }
  return digest_open(input.fd(), state, path);
}

std::string FileDigester::digest_open(int fd, const platform::FileState& opened, const std::string& path,
                                      const std::atomic<bool>* cancelled) {
  SHA256_CTX context;
  SHA256_Init(&context);
  std::uint64_t total = 0;
  // Read up to the size the file had when opened: it is then at its end unless it grew, which its state asked for
  // below tells, and that saves a read per file. A file that gives more than its size, as some in /proc do that
  // report none, may never end; those whose size is only an upper bound (as in /sys) end earlier, unchanged.
  do {
    if (platform::stop_request() != nullptr || (cancelled != nullptr && cancelled->load(std::memory_order_relaxed))) {
      throw FileError("Cannot read", path, "Cancelled", ECANCELED);
    }
    const std::ptrdiff_t count = platform::read_at(fd, m_buffer->bytes, k_read_size, total);
    if (count < 0) {
      // A digest of the bytes read so far would be a wrong digest that looks right.
      throw FileError("Cannot read", path, errno);
    }
    if (count == 0) {
      break;
    }
    const auto size = static_cast<std::size_t>(count);
    total += size;
    if (total > opened.size) {
      check_unchanged(fd, opened, path);
      throw FileError("Cannot read", path, "File holds more bytes than its size", EFBIG);
    }
    SHA256_Update(&context, m_buffer->bytes, size);
  } while (total < opened.size);
  check_unchanged(fd, opened, path);
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
