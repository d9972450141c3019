#include "digest_queue.hpp"

#include <algorithm>

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

DigestQueue::DigestQueue(std::vector<platform::FileIdentity> read_late, unsigned workers)
    : m_read_late(std::move(read_late)) {
  // Started with the stop requests blocked, the workers leave them to the caller.
  platform::block_stop_requests();
  try {
    m_workers.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) {
      m_workers.emplace_back([this] { work(); });
    }
  } catch (...) {
    // Fewer workers only cost time (a cgroup's pids.max, RLIMIT_NPROC): the caller computes every digest that no
    // worker has.
  }
  platform::unblock_stop_requests();
}

DigestQueue::~DigestQueue() {
  stop();
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_work_ready.notify_all();
  for (std::thread& worker : m_workers) {
    worker.join();
  }
}

unsigned DigestQueue::default_workers() {
  // More readers than cores gains nothing, and beyond a few a disk only seeks more. On one core a worker only
  // takes turns with the thread that walks, and costs the hand-over of every file.
  const unsigned processors = platform::processor_count();
  return processors > 1 ? std::min(processors, 4u) : 0;
}

DigestQueue::Ticket DigestQueue::submit(platform::FileEntry file) {
  if (m_workers.empty() || m_cancelled || file.refusal != 0) {
    return {};
  }
  auto job = std::make_shared<Job>(std::move(file));
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(job);
    wake = m_idle_workers > 0 && m_queue.size() >= k_wake_batch;
  }
  if (wake) {
    m_work_ready.notify_one();
  }
  return job;
}

std::optional<std::string> DigestQueue::take(Ticket ticket, FileDigester& digester) {
  const std::shared_ptr<Job> job = std::move(ticket);
  if (!job) {
    return std::nullopt;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!job->started) {
    // Rather than wait for a worker, the caller does it; reading it now also reads it at the right moment. The job
    // stays queued, and the worker that comes to it passes it by. Idle workers take on the rest meanwhile.
    job->started = true;
    const bool wake = m_idle_workers > 0 && m_queue.size() > 1;
    lock.unlock();
    if (wake) {
      m_work_ready.notify_all();
    }
    return std::nullopt;
  }
  // Rather than wait for the worker, the caller hashes files queued behind this one meanwhile: waiting costs two
  // switches of threads, about what a small file takes, and leaves a core idle.
  while (!job->done) {
    if (const std::shared_ptr<Job> next = next_job()) {
      run(lock, *next, digester);
    } else {
      m_taking = true;
      m_job_done.wait(lock, [&] { return job->done; });
      m_taking = false;
    }
  }
  return std::move(job->digest);
}

std::shared_ptr<DigestQueue::Job> DigestQueue::next_job() {
  while (!m_queue.empty()) {
    std::shared_ptr<Job> job = std::move(m_queue.front());
    m_queue.pop_front();
    if (!job->started) {
      job->started = true;
      return job;
    }
  }
  return nullptr;
}

void DigestQueue::run(std::unique_lock<std::mutex>& lock, Job& job, FileDigester& digester) {
  ++m_busy_workers;
  lock.unlock();
  std::optional<std::string> digest;
  try {
    digest = compute(digester, job.file);
  } catch (...) {
    // A failure only costs the head start.
  }
  lock.lock();
  job.digest = std::move(digest);
  job.done = true;
  --m_busy_workers;
  if (m_taking) {
    // The caller may wait for this job, or in stop() for all of them.
    m_job_done.notify_all();
  }
}

void DigestQueue::stop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cancelled = true;
  m_queue.clear();
  m_taking = true;
  m_job_done.wait(lock, [&] { return m_busy_workers == 0; });
  m_taking = false;
}

std::optional<std::string> DigestQueue::compute(FileDigester& digester, const platform::FileEntry& file) {
  platform::FileState opened;
  // A file under a lease is left to the caller: a worker waiting for it could hold up the end of the run.
  const OpenFile input(platform::open_file(file, opened, platform::Lease::give_up));
  if (input.fd() < 0 || std::find(m_read_late.begin(), m_read_late.end(), opened.identity) != m_read_late.end()) {
    return std::nullopt;
  }
  return digester.digest_open(input.fd(), opened, file.name, &m_cancelled);
}

void DigestQueue::work() {
  // Nothing that fails here may leave the thread: a failure only costs the head start.
  std::optional<FileDigester> digester;
  try {
    digester.emplace();
  } catch (...) {
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    ++m_idle_workers;
    m_work_ready.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
    --m_idle_workers;
    if (m_stopping) {
      return;
    }
    if (!digester) {
      // Without a buffer of its own, it can only leave the files to the caller.
      m_queue.clear();
    } else if (const std::shared_ptr<Job> job = next_job()) {
      run(lock, *job, *digester);
    }
  }
}

} // namespace treeinv
