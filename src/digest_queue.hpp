#pragma once

#include "file_digest.hpp"
#include "platform.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace treeinv {

// Hashing is the bulk of the work and one core hashes at most about as fast as a disk reads, so digests are computed
// ahead of time on worker threads, while the caller walks on and writes the lines in order. Errors are handed back
// with the digest they replace, so the caller meets each one at the point of the walk where it belongs.
class DigestQueue {
public:
  struct Job;
  using Ticket = std::shared_ptr<Job>;

  // Files with these identities (the lists being written) are never read ahead: their contents depend on the
  // moment they are read.
  DigestQueue(std::vector<platform::FileIdentity> read_late, unsigned workers);
  // Abandons what is still queued, stops the reads under way and waits for the workers.
  ~DigestQueue();
  DigestQueue(const DigestQueue&) = delete;
  DigestQueue& operator=(const DigestQueue&) = delete;

  // Queues the digest of the file at `path`.
  Ticket submit(std::string path);

  // The digest asked for with `ticket`: waits for the worker that computes it, or computes it now, on this thread,
  // when no worker has started on it or the file must be read late. Throws what FileDigester::digest throws.
  std::string take(const Ticket& ticket);

  // The number of workers fitting this machine.
  static unsigned default_workers();

private:
  void work();

  const std::vector<platform::FileIdentity> m_read_late;
  FileDigester m_own_digester;
  std::mutex m_mutex;
  std::condition_variable m_work_ready;
  std::condition_variable m_job_done;
  std::deque<Ticket> m_queue;
  unsigned m_idle_workers = 0;
  bool m_taking = false;
  bool m_stopping = false;
  std::atomic<bool> m_cancelled{false};
  std::vector<std::thread> m_workers;
};

} // namespace treeinv
