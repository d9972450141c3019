#include "digest_queue.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace treeinv::test {
namespace {

platform::FileIdentity identity_of(const std::string& path) {
  platform::FileIdentity identity;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  EXPECT_NE(file, nullptr) << path;
  EXPECT_TRUE(platform::identify(file, identity)) << path;
  std::fclose(file);
  return identity;
}

TEST(DigestQueue, HandsBackEachDigestOrErrorWithItsOwnTicket) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  for (const unsigned workers : {0u, 1u, 3u}) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    DigestQueue queue({}, workers);
    std::vector<DigestQueue::Ticket> tickets;
    std::vector<std::string> contents;
    for (int i = 0; i < 40; ++i) {
      const std::string name = "f" + std::to_string(i);
      contents.push_back(random_bytes(static_cast<std::size_t>(i) * 5000, static_cast<unsigned>(i)));
      if (i != 17) {
        write_file(name, contents.back());
      }
      tickets.push_back(queue.submit(name));
    }
    for (int i = 0; i < 40; ++i) {
      if (i == 17) {
        try {
          queue.take(tickets[i]);
          ADD_FAILURE() << "no error for a missing file";
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "Cannot open \"f17\": No such file or directory.");
        }
      } else {
        EXPECT_EQ(queue.take(tickets[i]), reference_sha256(contents[i])) << i;
      }
    }
  }
}

TEST(DigestQueue, ReadsFilesMarkedLateOnlyWhenTheirDigestIsTaken) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  write_file("late.txt", "before");
  write_file("early.txt", "before");
  DigestQueue queue({identity_of("late.txt")}, 2);
  const DigestQueue::Ticket late = queue.submit("late.txt");
  const DigestQueue::Ticket early = queue.submit("early.txt");
  // Give the workers time to read ahead, then change both files in place.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  write_file("late.txt", "after");
  write_file("early.txt", "after");
  EXPECT_EQ(queue.take(late), reference_sha256("after"));
  EXPECT_EQ(queue.take(early), reference_sha256("before"));
}

TEST(DigestQueue, GivesUpReadsUnderWayWhenDestroyed) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  // A sparse terabyte: reading it through would take the better part of an hour.
  make_sparse_file("huge.bin", std::uint64_t{1} << 40);
  const auto start = std::chrono::steady_clock::now();
  {
    DigestQueue queue({}, 2);
    queue.submit("huge.bin");
    queue.submit("huge.bin");
    queue.submit("huge.bin");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Not a measure of speed: a bound that only a queue which waits for its reads to finish can break.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

} // namespace
} // namespace treeinv::test
