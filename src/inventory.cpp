#include "inventory.hpp"

#include "digest_queue.hpp"
#include "file_digest.hpp"
#include "file_error.hpp"
#include "list_files.hpp"
#include "platform.hpp"

#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

namespace treeinv {

void check_listable(const std::string& relative_path) {
  // strpbrk, not find_first_of, which looks for each byte of the path in turn: in a deep tree paths are long, and
  // that took three quarters of a run. No name holds a NUL.
  if (std::strpbrk(relative_path.c_str(), platform::k_unlistable_bytes) != nullptr) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                            "Cannot list \"" + relative_path + "\"");
  }
}

namespace {

// How far the walk may run ahead of the lines written, so that the workers always have files to hash, also while
// one of them reads a large file: with 256 entries, a tree of 5,000 small files and two of 256 MiB took 0.41 s on
// two cores, with 4,096 0.26 s. In a deep tree of long names, the paths ahead are long enough for their size to
// count too.
constexpr std::size_t k_window = 4096;
constexpr std::size_t k_window_bytes = 1024 * 1024;
// Open files besides the walk's folders and what running ahead holds: the lists, the file the caller reads and the
// link to it, and the folder being opened.
constexpr std::size_t k_spare_files = 8;
// Threads cost a run that has them even while they wait: the C library drops its fast paths for a single thread,
// growing the table of open files waits for every thread, and on a busy machine every hand-over waits for a
// processor. They pay once the files read add up to about a millisecond of hashing, which a deep chain of small
// folders never does; on a tree of 20,000 small files, starting them after 4 MiB instead cost 2 to 3 percent.
constexpr std::uint64_t k_workers_pay_after = 1024 * 1024;

// An entry the walk has passed whose line is not written yet.
struct Pending {
  platform::Kind kind = platform::Kind::other;
  std::string relative;
  platform::FileEntry file;
  DigestQueue::Ticket digest;
};

// The lines are written through a window: the walk pushes each entry it passes at the back, with its digest under
// way on a worker, and the lines leave at the front, in the order of the walk. The first failure of the walk is
// kept and raised when every line before it is written; a failure of a digest is raised when its line is due.
//
// The workers start once the files the caller hashes add up to enough for them to pay, the one it is about to read
// included, and the walk then runs ahead for them at once, while the caller reads that file. Without workers, each
// line is written as soon as its entry is passed. Running ahead holds open files that a run without it would not:
// the folders of the entries in the window that the walk has left, and the files the workers read. It stays within
// the limit on open files by counting them all, so that it never costs the walk a file it needs.
class Inventory {
public:
  Inventory(std::string prefix, LineSink& sink, const ListFiles* own, unsigned workers)
      : m_sink(sink), m_own(own), m_open_file_limit(platform::open_file_limit()), m_prefix(std::move(prefix)),
        m_digests(own != nullptr ? own->identities() : std::vector<platform::FileIdentity>()), m_walk(m_prefix),
        m_workers(workers) {}

  void run() {
    while (step()) {
      while (!m_window.empty() && !room_ahead()) {
        write_front();
      }
    }
    while (!m_window.empty()) {
      write_front();
    }
    if (m_failure) {
      std::rethrow_exception(m_failure);
    }
  }

private:
  // Each worker may hold a file and a link to it.
  bool room_ahead() const {
    return m_digests.workers() > 0 && m_window.size() < k_window && m_window_bytes < k_window_bytes &&
           m_walk.depth() + m_window.size() + 2 * m_digests.workers() + k_spare_files < m_open_file_limit;
  }

  // Counts the `size` bytes the caller is about to hash, and once the workers pay, starts them and runs ahead.
  void count_hashed(std::uint64_t size) {
    m_hashed += size;
    if (m_workers == 0 || m_hashed < k_workers_pay_after) {
      return;
    }
    m_digests.start(std::exchange(m_workers, 0));
    while (room_ahead() && step()) {
    }
  }

  // Takes the walk's current entry into the window and moves the walk past it. Returns false at the end of the walk
  // and once it failed, keeping the failure.
  bool step() {
    if (m_failure || m_walk.at_end()) {
      return false;
    }
    try {
      take_current();
      m_walk.advance();
      return true;
    } catch (...) {
      m_failure = std::current_exception();
      return false;
    }
  }

  void take_current() {
    Pending entry;
    entry.kind = m_walk.kind();
    entry.relative = m_walk.relative_path();
    if (m_own == nullptr && (entry.relative == k_patchlist_name || entry.relative == k_folders_name)) {
      return;
    }
    check_listable(entry.relative);
    if (entry.kind == platform::Kind::other) {
      entry.file = m_walk.file();
      // Without room ahead the line is written at once, and a worker opening the file too would only cost a file.
      if (room_ahead()) {
        entry.digest = m_digests.submit(entry.file);
      }
    }
    m_window.push_back(std::move(entry));
    m_window_bytes += m_window.back().relative.size();
  }

  static void stop_if_requested() {
    if (const char* signal = platform::stop_request()) {
      throw std::runtime_error(std::string("Stopped by SIG") + signal);
    }
  }

  void write_front() {
    stop_if_requested();
    // A reference stays valid while running ahead pushes entries at the back.
    Pending& next = m_window.front();
    if (next.kind == platform::Kind::directory) {
      m_sink.append_folder(next.relative);
    } else {
      // The digest comes first: a file that cannot be read leaves no partial line.
      m_sink.append_file(next.relative, digest_of(next));
    }
    m_window_bytes -= next.relative.size();
    m_window.pop_front();
  }

  std::string digest_of(Pending& entry) {
    if (std::optional<std::string> ahead = m_digests.take(std::move(entry.digest))) {
      return std::move(*ahead);
    }
    // A wait for a worker cut short leaves the file to no one: its server may not answer this thread either.
    stop_if_requested();
    platform::FileState state;
    if (const int list = m_own != nullptr ? m_own->descriptor_of(entry.relative, state) : -1; list >= 0) {
      return m_digester.digest_open(list, state, entry.relative);
    }
    return m_digester.digest(entry.file, entry.relative,
                             [this](const platform::FileState& opened) { count_hashed(opened.size); });
  }

  LineSink& m_sink;
  const ListFiles* const m_own;
  const std::size_t m_open_file_limit;
  const std::string m_prefix;
  FileDigester m_digester;
  DigestQueue m_digests;
  platform::Walk m_walk;
  std::deque<Pending> m_window;
  std::size_t m_window_bytes = 0;
  std::exception_ptr m_failure;
  // How many workers are still to start, and how many bytes the caller hashed until they do.
  unsigned m_workers;
  std::uint64_t m_hashed = 0;
};

} // namespace

void walk_tree(std::string prefix, LineSink& sink, const ListFiles* own, unsigned workers) {
  Inventory(std::move(prefix), sink, own, workers).run();
}

void take_inventory(unsigned workers) {
  // Before the lists, which a working directory that is gone could not hold.
  std::string prefix = platform::start_prefix();
  ListFiles lists;
  walk_tree(std::move(prefix), lists, &lists, workers);
  lists.close();
}

} // namespace treeinv
