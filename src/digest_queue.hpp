#pragma once

#include "file_digest.hpp"
#include "platform.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace treeinv {

// Hashing is the bulk of the work and one core hashes at most about as fast as a disk reads, so digests are computed
// ahead of time on worker threads while the caller walks on and writes the lines in order. What a worker computes
// is only ever a head start: a worker that fails, for whatever reason, hands back nothing, and the caller then
// computes the digest itself when the file's turn comes, so that a run with workers fails exactly where and how
// one without them would.
class DigestQueue {
public:
  struct Job;
  // A claim on one digest queued with submit(), null when nothing was queued; take() consumes it.
  using Ticket = std::shared_ptr<Job>;

  // Starts up to `workers` threads. Files with these identities (the lists being written) are never read ahead:
  // their contents depend on the moment they are read.
  DigestQueue(std::vector<platform::FileIdentity> read_late, unsigned workers);
  // Abandons what is still queued, stops the reads under way and waits for the workers.
  ~DigestQueue();
  DigestQueue(const DigestQueue&) = delete;
  DigestQueue& operator=(const DigestQueue&) = delete;

  // How many workers were started. With none, nothing is ever queued.
  unsigned workers() const { return static_cast<unsigned>(m_workers.size()); }

  // Queues the digest of `file` for a worker; an empty ticket when nothing is read ahead (no workers, stopped, or
  // a file the walk already refused).
  Ticket submit(platform::FileEntry file);

  // The digest a worker computed for `ticket`, hashing other files queued with `digester` while one is under way;
  // nothing when no worker has started on it (none will now), or when the worker could not compute it.
  std::optional<std::string> take(Ticket ticket, FileDigester& digester);

  // Abandons what is queued and waits until no worker holds a file open. Later submissions are not read ahead.
  void stop();

  // The number of workers fitting this machine.
  static unsigned default_workers();

private:
  void work();
  // The first queued job not started yet, now started; null when there is none.
  std::shared_ptr<Job> next_job();
  // Computes `job` with `lock` released meanwhile, and hands the digest to whoever waits for it.
  void run(std::unique_lock<std::mutex>& lock, Job& job, FileDigester& digester);
  std::optional<std::string> compute(FileDigester& digester, const platform::FileEntry& file);

  const std::vector<platform::FileIdentity> m_read_late;
  std::mutex m_mutex;
  std::condition_variable m_work_ready;
  std::condition_variable m_job_done;
  std::deque<std::shared_ptr<Job>> m_queue;
  // Waking a thread costs a system call, so only threads that wait are woken.
  unsigned m_idle_workers = 0;
  bool m_taking = false;
  bool m_stopping = false;
  unsigned m_busy_workers = 0;
  std::atomic<bool> m_cancelled{false};
  std::vector<std::thread> m_workers;
};

} // namespace treeinv
