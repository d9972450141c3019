#include "digest_queue.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace treeinv::test {
namespace {

platform::FileEntry entry(const std::string& path) {
  return entry_named(path);
}

// Gives the workers time to get through a few small files. Only how much they do ahead depends on it.
void wait_for_workers() {
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

platform::FileIdentity identity_of(const std::string& path) {
  platform::FileState state;
  const int fd = platform::open_file(entry(path), state);
  EXPECT_GE(fd, 0) << path;
  platform::close_file(fd);
  return state.identity;
}

// What a worker hands back is only a head start: the right digest, or nothing for the caller to compute itself.
TEST(DigestQueue, HandsBackTheRightDigestOrNothingNeverAnError) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  for (const unsigned workers : {0u, 1u, 3u}) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    DigestQueue queue({});
    queue.start(workers);
    EXPECT_EQ(queue.workers(), workers);
    std::vector<DigestQueue::Ticket> tickets;
    std::vector<std::string> contents;
    for (int i = 0; i < 40; ++i) {
      const std::string name = "f" + std::to_string(i);
      contents.push_back(random_bytes(static_cast<std::size_t>(i) * 5000, static_cast<unsigned>(i)));
      write_file(name, contents.back());
      platform::FileEntry file = entry(name);
      if (i == 17) {
        ASSERT_EQ(std::remove(name.c_str()), 0);
      }
      tickets.push_back(queue.submit(std::move(file)));
      // Without workers nothing is queued at all.
      EXPECT_EQ(static_cast<bool>(tickets.back()), workers > 0);
    }
    wait_for_workers();
    int ahead = 0;
    for (int i = 0; i < 40; ++i) {
      const std::optional<std::string> digest = queue.take(std::move(tickets[i]));
      if (digest) {
        ++ahead;
        EXPECT_NE(i, 17);
        EXPECT_EQ(*digest, reference_sha256(contents[i])) << i;
      }
      // Taken once: the ticket is spent.
      EXPECT_FALSE(tickets[i]);
      EXPECT_FALSE(queue.take(std::move(tickets[i])));
    }
    EXPECT_EQ(ahead > 0, workers > 0);
  }
}

TEST(DigestQueue, LeavesFilesMarkedLateToTheCaller) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  write_file("late.txt", "before");
  write_file("early.txt", "before");
  DigestQueue queue({identity_of("late.txt")});
  queue.start(2);
  DigestQueue::Ticket late = queue.submit(entry("late.txt"));
  DigestQueue::Ticket early = queue.submit(entry("early.txt"));
  // Workers are woken by the batch.
  for (int i = 0; i < 16; ++i) {
    queue.submit(entry("early.txt"));
  }
  wait_for_workers();
  EXPECT_EQ(queue.take(std::move(late)), std::nullopt);
  EXPECT_EQ(queue.take(std::move(early)), reference_sha256("before"));
}

TEST(DigestQueue, GoesWithoutWaitingForReadsUnderWay) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  // A sparse terabyte: reading it through would take the better part of an hour.
  make_sparse_file("huge.bin", std::uint64_t{1} << 40);
  const auto start = std::chrono::steady_clock::now();
  {
    DigestQueue queue({});
    queue.start(2);
    // Workers are woken by the batch.
    for (int i = 0; i < 16; ++i) {
      queue.submit(entry("huge.bin"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Not a measure of speed: a bound that only a queue which waits for its reads to finish can break.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

} // namespace
} // namespace treeinv::test
