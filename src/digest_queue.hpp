#pragma once

#include "platform.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace treeinv {

// Hashing is the bulk of the work and one core hashes at most about as fast as a disk reads, so digests are computed
// ahead of time on worker threads while the caller walks on and writes the lines in order. What a worker computes
// is only ever a head start: a worker that fails, for whatever reason, hands back nothing, and the caller then
// computes the digest itself when the file's turn comes, so that a run with workers fails exactly where and how
// one without them would. Nothing here ever waits for a worker other than the one hashing the file the caller
// needs next: a read that a file server never answers holds up no error and no stop request.
class DigestQueue {
public:
  struct Job;
  // A claim on one digest queued with submit(), null when nothing was queued; take() consumes it.
  using Ticket = std::shared_ptr<Job>;

  // Files with these identities (the lists being written) are never read ahead: their contents depend on the
  // moment they are read.
  explicit DigestQueue(std::vector<platform::FileIdentity> read_late);
  // Abandons what is still queued and lets the workers go without waiting for them; a read under way gives up at
  // its next piece, or whenever its file server answers.
  ~DigestQueue();
  DigestQueue(const DigestQueue&) = delete;
  DigestQueue& operator=(const DigestQueue&) = delete;

  // Starts up to `workers` more threads: fewer when the system has no more to give.
  void start(unsigned workers);

  // How many workers were started. With none, nothing is ever queued.
  unsigned workers() const { return m_workers; }

  // Queues the digest of `file` for a worker; an empty ticket when nothing is read ahead (no workers, or a file the
  // walk already refused).
  Ticket submit(platform::FileEntry file);

  // The digest a worker computed for `ticket`, once the worker that started on it is done; nothing when no worker
  // has started on it (none will now), when the worker could not compute it, or when the run is asked to stop
  // while it waits.
  std::optional<std::string> take(Ticket ticket);

  // The number of workers fitting this machine.
  static unsigned default_workers();

private:
  // What the workers share with the queue, and keep once the queue is gone.
  struct Shared;
  static void work(Shared& shared);

  std::shared_ptr<Shared> m_shared;
  unsigned m_workers = 0;
};

} // namespace treeinv
