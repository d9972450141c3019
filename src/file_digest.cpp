#include "file_digest.hpp"

#include "file_error.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

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

class InputFile {
public:
  explicit InputFile(const std::string& path) : m_fd(platform::open_for_reading(path)) {
    if (m_fd < 0) {
      throw file_error("Cannot open", path, errno);
    }
  }
  ~InputFile() { platform::close_file(m_fd); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  int fd() const { return m_fd; }

private:
  int m_fd;
};

} // namespace

FileDigester::FileDigester() : m_buffer(std::make_unique<char[]>(k_buffer_size)) {}

std::string FileDigester::digest(const std::string& path) {
  return *compute(path, nullptr, nullptr);
}

std::optional<std::string> FileDigester::digest_ahead(const std::string& path,
                                                      const std::vector<platform::FileIdentity>& read_late,
                                                      const std::atomic<bool>& cancelled) {
  return compute(path, &read_late, &cancelled);
}

std::optional<std::string> FileDigester::compute(const std::string& path,
                                                 const std::vector<platform::FileIdentity>* read_late,
                                                 const std::atomic<bool>* cancelled) {
  const InputFile file(path);
  if (read_late != nullptr && !read_late->empty()) {
    const int late = platform::is_one_of(file.fd(), *read_late);
    if (late < 0) {
      throw file_error("Cannot open", path, errno);
    }
    if (late == 1) {
      return std::nullopt;
    }
  }

  SHA256_CTX context;
  SHA256_Init(&context);
  for (;;) {
    const std::ptrdiff_t count = platform::read_some(file.fd(), m_buffer.get(), k_buffer_size);
    if (count < 0) {
      // A digest of the bytes read so far would be a wrong digest that looks right.
      throw file_error("Cannot read", path, errno);
    }
    if (count == 0) {
      break;
    }
    if (cancelled != nullptr && cancelled->load(std::memory_order_relaxed)) {
      throw std::runtime_error("Cancelled reading \"" + path + "\".");
    }
    const auto size = static_cast<std::size_t>(count);
    for (std::size_t offset = 0; offset < size; offset += k_chunk_size) {
      SHA256_Update(&context, m_buffer.get() + offset, std::min(k_chunk_size, size - offset));
    }
  }
  unsigned char raw[SHA256_DIGEST_LENGTH] = {};
  SHA256_Final(raw, &context);

  static const char k_hex_digits[] = "0123456789abcdef";
  std::string text(2 * SHA256_DIGEST_LENGTH, '0');
  for (std::size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    text[2 * i] = k_hex_digits[raw[i] >> 4];
    text[2 * i + 1] = k_hex_digits[raw[i] & 0x0f];
  }
  return text;
}

} // namespace treeinv
