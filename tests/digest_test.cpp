#include "file_digest.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace treeinv::test {
namespace {

std::string digest_at(FileDigester& digester, const std::string& path) {
  return digester.digest(entry_named(path), path);
}

std::string error_of(FileDigester& digester, const std::string& path, const platform::FileEntry* entry = nullptr) {
  try {
    entry != nullptr ? digester.digest(*entry, path) : digest_at(digester, path);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

TEST(ReferenceSha256, MatchesPublishedVectors) {
  EXPECT_EQ(reference_sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(reference_sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(reference_sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// Sizes around 4 KiB pages and around the read buffer's refills.
TEST(FileDigest, MatchesReferenceAtPageAndBufferBoundaries) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  FileDigester digester;
  const std::size_t sizes[] = {
      0, 1, 63, 64, 4095, 4096, 4097, 8192, 256 * 1024 - 1, 256 * 1024, 256 * 1024 + 1, 3 * 1024 * 1024 + 4097};
  for (const std::size_t size : sizes) {
    const std::string contents = random_bytes(size, static_cast<unsigned>(size));
    write_file("data.bin", contents);
    EXPECT_EQ(digest_at(digester, "data.bin"), reference_sha256(contents)) << "size " << size;
  }
}

// The kernel's copy into a buffer off the cache line can cost several times the system time.
TEST(FileDigest, ReadsIntoBuffersAlignedToAPage) {
  static_assert(k_read_alignment >= 64 && k_read_size % k_read_alignment == 0);
  for (int i = 0; i < 3; ++i) {
    const auto buffer = std::make_unique<ReadBuffer>();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->bytes) % k_read_alignment, 0u);
  }
}

TEST(FileDigest, IsLowercaseHexWithLeadingZerosKept) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  // Find contents whose digest starts with a byte below 16, which must still print as two digits.
  std::string contents;
  for (int i = 0; reference_sha256(contents).compare(0, 1, "0") != 0; ++i) {
    contents = "content " + std::to_string(i);
  }
  write_file("zero.txt", contents);
  FileDigester digester;
  const std::string digest = digest_at(digester, "zero.txt");
  EXPECT_EQ(digest, reference_sha256(contents));
  EXPECT_EQ(digest.size(), 64u);
  EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(FileDigest, WhatCannotBeOpenedAsAFileIsAnOpenError) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  FileDigester digester;
  // Gone between the walk and the open.
  write_file("missing.bin", "");
  const platform::FileEntry missing = entry_named("missing.bin");
  ASSERT_EQ(std::remove("missing.bin"), 0);
  EXPECT_EQ(error_of(digester, "missing.bin", &missing), "Cannot open \"missing.bin\": No such file or directory.");
  make_dir("folder");
  // A file that became a folder since the walk looked says so.
  EXPECT_EQ(error_of(digester, "folder"), "Cannot open \"folder\": Is a directory.");
}

#ifndef _WIN32
TEST(FileDigest, RefusesWhatCannotBeOpenedAsARegularFile) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  FileDigester digester;
  make_symlink("nowhere", "dangling");
  EXPECT_EQ(error_of(digester, "dangling"), "Cannot open \"dangling\": No such file or directory.");

  // Opening a FIFO for reading would wait for a writer; reading a device could go on for ever.
  ASSERT_EQ(::mkfifo("fifo", 0644), 0);
  EXPECT_EQ(error_of(digester, "fifo"), "Cannot open \"fifo\": No such device or address.");
  make_symlink("/dev/zero", "zero");
  EXPECT_EQ(error_of(digester, "zero"), "Cannot open \"zero\": No such device or address.");
}

TEST(FileDigest, ReadFailureIsAnErrorNotAShortDigest) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  // A regular file whose first read fails: address 0 of this process is never mapped.
  make_symlink("/proc/self/mem", "mem");
  FileDigester digester;
  EXPECT_EQ(error_of(digester, "mem"), "Cannot read \"mem\": Input/output error.");
}
#endif

} // namespace
} // namespace treeinv::test
