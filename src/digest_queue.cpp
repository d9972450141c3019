#include "digest_queue.hpp"

#include "file_digest.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace treeinv {
namespace {

// Waking a worker costs a system call and a switch of threads, about what hashing a small file takes. Idle workers
// are woken once this many files wait for them, or once the caller starts on one itself.
constexpr std::size_t k_wake_batch = 16;

} // namespace

struct DigestQueue::Job {
  explicit Job(platform::FileEntry f) : file(std::move(f)) {}

  const platform::FileEntry file;
  // Guarded by the queue's mutex. `started` is also set by a caller that takes the job before any worker does.
  bool started = false;
  bool done = false;
  std::optional<std::string> digest;
};

struct DigestQueue::Shared {
  explicit Shared(std::vector<platform::FileIdentity> late) : read_late(std::move(late)) {}

  const std::vector<platform::FileIdentity> read_late;
  std::mutex mutex;
  std::condition_variable work_ready;
  std::condition_variable job_done;
  std::deque<std::shared_ptr<Job>> queue;
  // Waking a thread costs a system call, so only threads that wait are woken.
  unsigned idle_workers = 0;
  bool stopping = false;
  std::atomic<bool> cancelled{false};
};

DigestQueue::DigestQueue(std::vector<platform::FileIdentity> read_late)
    : m_shared(std::make_shared<Shared>(std::move(read_late))) {}

DigestQueue::~DigestQueue() {
  {
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->cancelled = true;
    m_shared->queue.clear();
  }
  m_shared->work_ready.notify_all();
}

void DigestQueue::start(unsigned workers) {
  for (; m_workers < workers; ++m_workers) {
    try {
      platform::start_thread([shared = m_shared] { work(*shared); }).detach();
    } catch (...) {
      // Fewer workers only cost time (a cgroup's pids.max, RLIMIT_NPROC): the caller computes every digest that no
      // worker has.
      return;
    }
  }
}

unsigned DigestQueue::default_workers() {
  // More readers than cores gains nothing, and beyond a few a disk only seeks more. On one core a worker only
  // takes turns with the thread that walks, and costs the hand-over of every file.
  const unsigned processors = platform::processor_count();
  return processors > 1 ? std::min(processors, 4u) : 0;
}

DigestQueue::Ticket DigestQueue::submit(platform::FileEntry file) {
  Shared& shared = *m_shared;
  if (m_workers == 0 || file.refusal != 0) {
    return {};
  }
  auto job = std::make_shared<Job>(std::move(file));
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(shared.mutex);
    shared.queue.push_back(job);
    wake = shared.idle_workers > 0 && shared.queue.size() >= k_wake_batch;
  }
  if (wake) {
    shared.work_ready.notify_one();
  }
  return job;
}

std::optional<std::string> DigestQueue::take(Ticket ticket) {
  const std::shared_ptr<Job> job = std::move(ticket);
  if (!job) {
    return std::nullopt;
  }
  Shared& shared = *m_shared;
  std::unique_lock<std::mutex> lock(shared.mutex);
  if (!job->started) {
    // Rather than wait for a worker, the caller does it; reading it now also reads it at the right moment. The job
    // stays queued, and the worker that comes to it passes it by. Idle workers take on the rest meanwhile.
    job->started = true;
    const bool wake = shared.idle_workers > 0 && shared.queue.size() > 1;
    lock.unlock();
    if (wake) {
      shared.work_ready.notify_all();
    }
    return std::nullopt;
  }
  // A worker finishes a small file in about the time it takes to sleep and be woken, which leaves a core idle
  // meanwhile: first give way to it a few times. Then sleep in slices, since a signal cannot wake a condition
  // variable.
  for (int turn = 0; turn < 16 && !job->done; ++turn) {
    lock.unlock();
    std::this_thread::yield();
    lock.lock();
  }
  while (!job->done) {
    if (platform::stop_request() != nullptr) {
      return std::nullopt;
    }
    shared.job_done.wait_for(lock, std::chrono::milliseconds(100));
  }
  return std::move(job->digest);
}

void DigestQueue::work(Shared& shared) {
  // Nothing that fails here may leave the thread: a failure only costs the head start.
  std::optional<FileDigester> digester;
  try {
    digester.emplace();
  } catch (...) {
  }
  std::unique_lock<std::mutex> lock(shared.mutex);
  for (;;) {
    ++shared.idle_workers;
    shared.work_ready.wait(lock, [&] { return shared.stopping || !shared.queue.empty(); });
    --shared.idle_workers;
    if (shared.stopping) {
      return;
    }
    // The files whose lines are due next are left to the caller, which hashes them itself rather than wait for a
    // worker halfway through one: a worker starts a batch further on, unless that is all there is.
    while (!shared.queue.empty() && shared.queue.front()->started) {
      shared.queue.pop_front();
    }
    if (shared.queue.empty()) {
      continue;
    }
    const std::size_t at = shared.queue.size() > k_wake_batch ? k_wake_batch : 0;
    const std::shared_ptr<Job> job = std::move(shared.queue[at]);
    shared.queue.erase(shared.queue.begin() + static_cast<std::ptrdiff_t>(at));
    if (job->started) {
      continue;
    }
    job->started = true;
    lock.unlock();
    std::optional<std::string> digest;
    try {
      platform::FileState opened;
      // A file under a lease is left to the caller: a worker waiting for it could hold up the end of the run.
      const OpenFile input(digester ? platform::open_file(job->file, opened, platform::Lease::give_up) : -1);
      if (input.fd() >= 0 &&
          std::find(shared.read_late.begin(), shared.read_late.end(), opened.identity) == shared.read_late.end()) {
        digest = digester->digest_open(input.fd(), opened, job->file.name, &shared.cancelled);
      }
    } catch (...) {
      // A failure only costs the head start.
    }
    lock.lock();
    job->digest = std::move(digest);
    job->done = true;
    shared.job_done.notify_all();
  }
}

} // namespace treeinv
