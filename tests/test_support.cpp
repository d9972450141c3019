// Helpers the tests share on every platform.
#include "test_support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <openssl/evp.h>

namespace treeinv::test {

std::runtime_error system_failure(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

std::string reference_sha256(const std::string& data) {
  // The one-shot digest of the whole contents, whatever way the program cuts them into pieces.
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), raw, &size, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("EVP_Digest failed");
  }
  std::string hex;
  char digits[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", raw[i]);
    hex += digits;
  }
  return hex;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw system_failure("read " + path);
  }
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out.flush()) {
    throw system_failure("write " + path);
  }
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(generator() & 0xff);
  }
  return bytes;
}

platform::FileEntry entry_named(const std::string& name) {
  for (platform::Walk walk(platform::start_prefix()); !walk.at_end(); walk.advance()) {
    if (walk.relative_path() == name) {
      walk.kind();
      return walk.file();
    }
  }
  throw std::runtime_error("no entry " + name + " in the working directory");
}

void expect_clean_run(const RunResult& run) {
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

void expect_failure(const RunResult& run, const std::string& message) {
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "");
#ifdef _WIN32
  // Standard error is a text stream, which ends lines the Windows way.
  EXPECT_EQ(run.err, "treeinv: " + message + "\r\n");
#else
  EXPECT_EQ(run.err, "treeinv: " + message + "\n");
#endif
}

void expect_no_line_for(const TempDir& dir, const std::string& name) {
  for (const char* list : {"folders.txt", "patchlist.txt"}) {
    const std::string contents = read_file(dir / list);
    EXPECT_TRUE(contents.empty() || contents.substr(contents.size() - 2) == "\r\n") << list;
    EXPECT_EQ(contents.find(name), std::string::npos) << list;
  }
}

void expect_lists_match_model(const std::string& directory) {
  const Lists expected = model_inventory(directory);
  EXPECT_EQ(read_file(directory + "/folders.txt"), expected.folders);
  EXPECT_EQ(read_file(directory + "/patchlist.txt"), expected.patchlist);
}

} // namespace treeinv::test
