#include "inventory.hpp"

#include "digest_queue.hpp"
#include "file_error.hpp"
#include "hex.hpp"
#include "list_files.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
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

// How many entries the walk may run ahead of the lines written, so that the workers always have files to hash.
constexpr std::size_t k_look_ahead = 256;
constexpr std::size_t k_look_ahead_bytes = 1024 * 1024;

// An entry the walk has passed whose line is not written yet.
struct Pending {
  platform::Kind kind = platform::Kind::other;
  std::string relative;
  platform::FileEntry file;
  DigestQueue::Ticket digest;
  // A failure of the walk at this point. It ends the run once every line before it is written.
  std::exception_ptr error;
};

bool is_descriptor_shortage(int error) {
  return error == EMFILE || error == ENFILE;
}

// The walk runs ahead of the lines written, with the digests of the files it passes under way on the workers. All
// that running ahead holds (folders of entries not written yet, files being read, the paths of those entries) is
// what a run without it would not hold; so it is done only while open files and memory are plentiful, and the first
// shortage of open files ends it for the rest of the run. Without it, each entry is written before the walk moves
// past it, and a step that met the shortage is taken again: exactly as a run that never reads ahead.
class Inventory {
public:
  Inventory()
      : m_walk_prefix(platform::start_prefix()), m_workers(DigestQueue::default_workers()),
        m_digests(m_lists.identities(), m_workers), m_walk(m_walk_prefix), m_ahead(m_workers > 0) {}

  void run() {
    for (;;) {
      if (m_walking && running_ahead()) {
        queue_current(true);
        advance();
      } else if (!m_pending.empty()) {
        write_next();
      } else if (!m_walking) {
        break;
      } else if (!m_advance_due) {
        queue_current(false);
      } else {
        advance();
      }
    }
    m_lists.close();
  }

private:
  bool running_ahead() const {
    // Each entry ahead may hold a folder open, and each worker a file. In a deep tree of long names, paths are
    // long enough for their number to count too.
    return m_ahead && m_pending.size() < k_look_ahead && m_pending_bytes < k_look_ahead_bytes &&
           platform::open_folders() + k_look_ahead + 2 * m_workers + 64 < platform::open_file_limit();
  }

  void stop_running_ahead() {
    m_ahead = false;
    m_digests.stop();
  }

  // Queues the current entry, with its digest under way when running `ahead`. A failure ends the walk: it is
  // queued in place of an entry. Running out of memory ahead only ends running ahead.
  void queue_current(bool ahead) {
    if (m_advance_due || !m_walking) {
      return;
    }
    try {
      if (m_walk.at_end()) {
        m_walking = false;
        return;
      }
      Pending entry;
      entry.kind = m_walk.kind();
      entry.relative = m_walk.relative_path();
      check_listable(entry.relative);
      if (entry.kind == platform::Kind::other) {
        entry.file = m_walk.file();
        if (ahead && entry.file.refusal == 0) {
          entry.digest = m_digests.submit(entry.file);
        }
      }
      m_pending.push_back(std::move(entry));
      m_pending_bytes += m_pending.back().relative.size();
      m_advance_due = true;
    } catch (const std::bad_alloc&) {
      step_failed(ahead);
    } catch (...) {
      fail();
    }
  }

  // Takes the walk past the entry queued last.
  void advance() {
    if (!m_advance_due) {
      return;
    }
    try {
      m_walk.advance();
      m_advance_due = false;
    } catch (const std::system_error& error) {
      step_failed(m_ahead && is_descriptor_shortage(error.code().value()));
    } catch (...) {
      fail();
    }
  }

  // A step of the walk failed. When running ahead is `to_blame`, it ends running ahead, and the step is taken
  // again once every line before it is written; otherwise the failure ends the walk.
  void step_failed(bool to_blame) {
    if (to_blame) {
      stop_running_ahead();
    } else {
      fail();
    }
  }

  void fail() {
    Pending failure;
    failure.error = std::current_exception();
    m_pending.push_back(std::move(failure));
    m_walking = false;
  }

  void write_next() {
    Pending& next = m_pending.front();
    if (next.error) {
      std::rethrow_exception(next.error);
    }
    if (next.kind == platform::Kind::directory) {
      m_lists.append_folder(next.relative);
    } else {
      // The digest comes first: a file that cannot be read leaves no partial line.
      m_lists.append_file(next.relative, digest_of(next));
    }
    m_pending_bytes -= next.relative.size();
    m_pending.pop_front();
  }

  std::string digest_of(Pending& entry) {
    if (std::optional<std::string> ahead = m_digests.take(std::move(entry.digest))) {
      return std::move(*ahead);
    }
    for (;;) {
      try {
        return m_digester.digest(entry.file, entry.relative);
      } catch (const FileError& error) {
        if (!is_descriptor_shortage(error.error())) {
          throw;
        }
        // Short of open files: first give up what running ahead holds, then folders of the walk.
        if (m_ahead) {
          stop_running_ahead();
        } else if (!m_walk.release_folder()) {
          throw;
        }
      }
    }
  }

  const std::string m_walk_prefix;
  ListFiles m_lists;
  FileDigester m_digester;
  const unsigned m_workers;
  DigestQueue m_digests;
  platform::Walk m_walk;
  std::deque<Pending> m_pending;
  std::size_t m_pending_bytes = 0;
  bool m_walking = true;
  bool m_advance_due = false;
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
void report(std::string_view message) noexcept {
  if (standard_error_is_a_list()) {
    // The exit status alone says it.
    return;
  }
  // The library's filesystem_error text starts with a label of its own; the program's name says enough.
  constexpr std::string_view k_label = "filesystem error: ";
  if (message.substr(0, k_label.size()) == k_label) {
    message.remove_prefix(k_label.size());
  }
  char line[4096];
  std::size_t used = 0;
  const auto put = [&](std::string_view piece) {
    while (!piece.empty()) {
      if (used == sizeof line) {
        std::fwrite(line, 1, used, stderr);
        used = 0;
      }
      const std::size_t count = std::min(piece.size(), sizeof line - used);
      piece.copy(line + used, count);
      used += count;
      piece.remove_prefix(count);
    }
  };
  put("treeinv: ");
  escape(message, put);
  put("\n");
  std::fwrite(line, 1, used, stderr);
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

void take_inventory() {
  Inventory inventory;
  inventory.run();
}

std::string printable(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  escape(text, [&](std::string_view piece) { result += piece; });
  return result;
}

int run() {
  std::set_terminate(end_run_at_termination);
  try {
    platform::prepare_process();
    take_inventory();
    return 0;
  } catch (const std::bad_alloc&) {
    report("Out of memory");
  } catch (const std::exception& error) {
    report(error.what());
  } catch (...) {
    report("Unknown error");
  }
  return 1;
}

} // namespace treeinv
