#include "inventory.hpp"

#include "digest_queue.hpp"
#include "file_error.hpp"
#include "hex.hpp"
#include "list_files.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <new>
#include <optional>
#include <system_error>

namespace treeinv {

void check_listable(const std::string& relative_path) {
  if (relative_path.find_first_of(platform::k_unlistable_bytes) != std::string::npos) {
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
// Open files besides the walk's folders and what running ahead holds: the lists, and the file the caller reads.
constexpr std::size_t k_spare_files = 8;

// An entry the walk has passed whose line is not written yet.
struct Pending {
  platform::Kind kind = platform::Kind::other;
  std::string relative;
  platform::FileEntry file;
  DigestQueue::Ticket digest;
};

// Whether the process has no file descriptor left. Only errno values count: a Windows error code may have the
// same number and mean something else.
bool is_open_file_shortage(const std::error_code& code) {
  return code.category() == std::generic_category() &&
         (code == std::errc::too_many_files_open || code == std::errc::too_many_files_open_in_system);
}

// The lines are written through a window: the walk pushes each entry it passes at the back, with its digest under
// way on a worker, and the lines leave at the front, in the order of the walk. The first failure of the walk is
// kept and raised when every line before it is written; a failure of a digest is raised when its line is due.
//
// Running ahead holds open files that a run without it would not: the folders of the entries in the window that the
// walk has left, and the files the workers read. So it stays well within the limit on open files, and when the walk
// or a digest runs out of them all the same, it ends for the rest of the run: the window is written out, and the
// step that failed is taken again, as a run without workers would take it. Without workers, each line is written
// as soon as its entry is passed.
class Inventory {
public:
  explicit Inventory(unsigned workers)
      : m_prefix(platform::start_prefix()), m_digests(m_lists.identities(), workers), m_walk(m_prefix),
        m_open_file_limit(platform::open_file_limit()), m_ahead(m_digests.workers() > 0) {}

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
    m_lists.close();
  }

private:
  bool room_ahead() const {
    return m_ahead && m_window.size() < k_window && m_window_bytes < k_window_bytes &&
           m_walk.depth() + m_window.size() + m_digests.workers() + k_spare_files < m_open_file_limit;
  }

  // Ends running ahead for the rest of the run, so that a step that ran short of something can be taken again as a
  // run without it would take it. Returns false when it had ended already.
  bool stop_running_ahead() {
    if (!m_ahead) {
      return false;
    }
    m_ahead = false;
    m_digests.stop();
    return true;
  }

  // Takes the walk's current entry into the window and moves the walk past it. Returns false at the end of the walk
  // and after a failure, which is kept.
  bool step() {
    try {
      if (!m_passed) {
        if (m_walk.at_end()) {
          return false;
        }
        take_current();
        m_passed = true;
      }
      m_walk.advance();
      m_passed = false;
      return true;
    } catch (const std::bad_alloc&) {
      // Out of memory in the walk itself may have cost it entries it had read: only taking an entry in is retried.
      return (!m_passed && stop_running_ahead()) || keep_failure();
    } catch (const std::system_error& error) {
      return (is_open_file_shortage(error.code()) && stop_running_ahead()) || keep_failure();
    } catch (...) {
      return keep_failure();
    }
  }

  // Keeps the failure being handled, to be raised once every line before it is written. Returns false.
  bool keep_failure() {
    m_failure = std::current_exception();
    return false;
  }

  void take_current() {
    Pending entry;
    entry.kind = m_walk.kind();
    entry.relative = m_walk.relative_path();
    check_listable(entry.relative);
    if (entry.kind == platform::Kind::other) {
      entry.file = m_walk.file();
      if (m_ahead) {
        entry.digest = m_digests.submit(entry.file);
      }
    }
    m_window.push_back(std::move(entry));
    m_window_bytes += m_window.back().relative.size();
  }

  void write_front() {
    if (const char* signal = platform::stop_request()) {
      throw std::runtime_error(std::string("Stopped by SIG") + signal);
    }
    Pending& next = m_window.front();
    if (next.kind == platform::Kind::directory) {
      m_lists.append_folder(next.relative);
    } else {
      // The digest comes first: a file that cannot be read leaves no partial line.
      m_lists.append_file(next.relative, digest_of(next));
    }
    m_window_bytes -= next.relative.size();
    m_window.pop_front();
  }

  std::string digest_of(Pending& entry) {
    if (std::optional<std::string> ahead = m_digests.take(std::move(entry.digest), m_digester)) {
      return std::move(*ahead);
    }
    for (;;) {
      try {
        return m_digester.digest(entry.file, entry.relative);
      } catch (const FileError& error) {
        if (!is_open_file_shortage(std::error_code(error.error(), std::generic_category())) || !stop_running_ahead()) {
          throw;
        }
      }
    }
  }

  const std::string m_prefix;
  ListFiles m_lists;
  FileDigester m_digester;
  DigestQueue m_digests;
  platform::Walk m_walk;
  const std::size_t m_open_file_limit;
  std::deque<Pending> m_window;
  std::size_t m_window_bytes = 0;
  std::exception_ptr m_failure;
  // Whether the walk's current entry is in the window already: only the move past it is left to do.
  bool m_passed = false;
  // Whether the walk runs ahead, with digests on the workers.
  bool m_ahead;
};

// Calls `sink` with the pieces of `text` as they print on one line.
template <typename Sink> void escape(std::string_view text, Sink&& sink) {
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != 0x7f) {
      continue;
    }
    sink(text.substr(plain, i - plain));
    plain = i + 1;
    if (byte == '\n') {
      sink("\\n");
    } else if (byte == '\r') {
      sink("\\r");
    } else if (byte == '\t') {
      sink("\\t");
    } else {
      const char code[] = {'\\', 'x', k_hex_digits[byte >> 4], k_hex_digits[byte & 0x0f]};
      sink(std::string_view(code, sizeof code));
    }
  }
  sink(text.substr(plain));
}

// Writes the one line that says why the run ended. It allocates nothing, since running out of memory may be why.
void report(std::string_view message, std::string_view detail = {}) noexcept {
  if (standard_error_is_a_list()) {
    // The exit status alone says it.
    return;
  }
  // The library's filesystem_error text starts with a label of its own; the program's name says enough.
  constexpr std::string_view k_label = "filesystem error: ";
  if (message.substr(0, k_label.size()) == k_label) {
    message.remove_prefix(k_label.size());
  }
  // On the stack, and whole when it fits, so that a console can be given the line at once.
  char line[32 * 1024];
  std::size_t used = 0;
  bool whole = true;
  const auto put = [&](std::string_view piece) {
    while (!piece.empty()) {
      if (used == sizeof line) {
        std::fwrite(line, 1, used, stderr);
        used = 0;
        whole = false;
      }
      const std::size_t count = std::min(piece.size(), sizeof line - used);
      piece.copy(line + used, count);
      used += count;
      piece.remove_prefix(count);
    }
  };
  put("treeinv: ");
  escape(message, put);
  escape(detail, put);
  put("\n");
  if (!whole || !platform::write_message(std::string_view(line, used))) {
    std::fwrite(line, 1, used, stderr);
  }
  std::fflush(stderr);
}

// What std::terminate() calls: when even an exception cannot be made (there is no memory left for it), or when a
// failure escapes where none is expected. It still ends the run with one line and status 1, not an abort.
[[noreturn]] void end_run_at_termination() noexcept {
  if (const std::exception_ptr failure = std::current_exception()) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      report(error.what());
    } catch (...) {
      report("Unknown error");
    }
  } else {
    report("Out of memory");
  }
  std::_Exit(1);
}

} // namespace

void take_inventory(unsigned workers) {
  Inventory inventory(workers);
  inventory.run();
}

int run() {
  std::set_terminate(end_run_at_termination);
  try {
    platform::prepare_process();
    take_inventory(DigestQueue::default_workers());
    return 0;
  } catch (const std::bad_alloc&) {
    report("Out of memory");
  } catch (const std::exception& error) {
    // Asked to stop, whatever failed meanwhile (a wait cut short) is only a consequence.
    if (const char* signal = platform::stop_request()) {
      report("Stopped by SIG", signal);
    } else {
      report(error.what());
    }
  } catch (...) {
    report("Unknown error");
  }
  platform::end_by_stop_request();
  return 1;
}

} // namespace treeinv
