#include "digest_queue.hpp"

#include <algorithm>
#include <optional>
#include <system_error>

namespace treeinv {

struct DigestQueue::Job {
  explicit Job(std::string p) : path(std::move(p)) {}

  const std::string path;
  // Guarded by the queue's mutex until done is set.
  bool started = false;
  bool done = false;
  std::optional<std::string> digest;
  std::exception_ptr error;
};

DigestQueue::DigestQueue(std::vector<platform::FileIdentity> read_late, unsigned workers)
    : m_read_late(std::move(read_late)) {
  m_workers.reserve(workers);
  try {
    for (unsigned i = 0; i < workers; ++i) {
      m_workers.emplace_back([this] { work(); });
    }
  } catch (const std::system_error&) {
    // Fewer workers only cost time: take() computes any digest that no worker has started.
  }
}

DigestQueue::~DigestQueue() {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    m_queue.clear();
  }
  m_cancelled = true;
  m_work_ready.notify_all();
  for (std::thread& worker : m_workers) {
    worker.join();
  }
}

unsigned DigestQueue::default_workers() {
  // More readers than cores gains nothing, and beyond a few a disk only seeks more.
  return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

DigestQueue::Ticket DigestQueue::submit(std::string path) {
  Ticket job = std::make_shared<Job>(std::move(path));
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(job);
    wake = m_idle_workers > 0;
  }
  if (wake) {
    m_work_ready.notify_one();
  }
  return job;
}

std::string DigestQueue::take(const Ticket& ticket) {
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!ticket->started) {
      // Rather than wait for a worker, do it here; reading it now also reads it at the right moment.
      ticket->started = true;
      m_queue.erase(std::find(m_queue.begin(), m_queue.end(), ticket));
      lock.unlock();
      return m_own_digester.digest(ticket->path);
    }
    m_taking = true;
    m_job_done.wait(lock, [&] { return ticket->done; });
    m_taking = false;
  }
  if (ticket->error) {
    std::rethrow_exception(ticket->error);
  }
  if (!ticket->digest) {
    return m_own_digester.digest(ticket->path);
  }
  return std::move(*ticket->digest);
}

void DigestQueue::work() {
  FileDigester digester;
  for (;;) {
    Ticket job;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      ++m_idle_workers;
      m_work_ready.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
      --m_idle_workers;
      if (m_stopping) {
        return;
      }
      job = std::move(m_queue.front());
      m_queue.pop_front();
      job->started = true;
    }
    std::optional<std::string> digest;
    std::exception_ptr error;
    try {
      digest = digester.digest_ahead(job->path, m_read_late, m_cancelled);
    } catch (...) {
      error = std::current_exception();
    }
    bool wake = false;
    {
      const std::lock_guard<std::mutex> lock(m_mutex);
      job->digest = std::move(digest);
      job->error = error;
      job->done = true;
      wake = m_taking;
    }
    if (wake) {
      m_job_done.notify_one();
    }
  }
}

} // namespace treeinv
