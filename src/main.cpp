#include "compare.hpp"
#include "digest_queue.hpp"
#include "inventory.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view k_usage = "Usage: treeinv                      (in the directory to list)\n"
                                     "       treeinv --check              (in a directory listed before)\n"
                                     "       treeinv --compare OLD NEW    (two directories holding lists)\n"
                                     "       treeinv --help | --version\n"
                                     "\n"
                                     "Takes the inventory of the tree below the current directory and writes it into\n"
                                     "that directory: folders.txt names every folder, patchlist.txt every other entry\n"
                                     "with the SHA-256 digest of its contents. Both are rewritten on every run.\n"
                                     "Exit status: 0 when both lists are complete; 1 when a problem ended the run,\n"
                                     "told in one line on standard error.\n"
                                     "\n"
                                     "--check walks and hashes the tree the same way, writes nothing, and prints how\n"
                                     "it differs from its lists. --compare does the same for the lists in OLD against\n"
                                     "those in NEW, reading no tree. One line per difference, files written as in\n"
                                     "patchlist.txt, folders as in folders.txt (ending in \\):\n"
                                     "  changed data/intro.bin     the digest differs\n"
                                     "  new maps\\forest\\           in the tree (or NEW) only\n"
                                     "  missing old.txt            in the lists (or OLD) only\n"
                                     "  moved a/x.dat              a missing file whose contents one new file holds,\n"
                                     "  to b/x.dat                 and no other missing file\n"
                                     "Exit status: 0 when nothing differs, 1 when something does (with a count on\n"
                                     "standard error), 2 when a problem ended the run.\n"
                                     "\n"
                                     "--help (or -h) and --version print this text or the version, only as the sole\n"
                                     "argument. Arguments that do not start with -- are ignored; any other option is\n"
                                     "refused with status 2, touching nothing.\n";

constexpr std::string_view k_usage_line = "usage: treeinv [--check | --compare OLD NEW | --help | --version]";

// The status of a run that a problem ended: 1 for an inventory, 2 for a check or a comparison, whose 1 means that
// something differs.
int g_failure_status = 1;

constexpr std::string_view k_version = "treeinv " TREEINV_VERSION "\n";

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
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      sink(std::string_view(code, 4));
    }
  }
  sink(text.substr(plain));
}

// Writes the one line that says why the run ended. It allocates nothing, since running out of memory may be why,
// and the handler of a failure to make an exception calls it too.
void report(std::string_view message, std::string_view detail = {}) noexcept {
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
  if (!whole || !treeinv::platform::write_message(std::string_view(line, used))) {
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
  std::_Exit(g_failure_status);
}

// Prints `text` on standard output: 0, or 1 after the error line when it cannot be written (a full disk, a closed
// pipe), so that a user never takes a missing text for the whole of it.
int print(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) {
    return 0;
  }
  std::fprintf(stderr, "treeinv: Cannot write to standard output: %s.\n", std::strerror(errno));
  return 1;
}

// Runs `body` and turns its outcome into the exit status: what it returns, or g_failure_status after one line
// `treeinv: MESSAGE` on standard error. Whatever fails, on any thread, ends this way; a run asked to stop ends by
// the signal that asked.
template <typename Body> int run(Body&& body) {
  std::set_terminate(end_run_at_termination);
  try {
    return body(treeinv::DigestQueue::default_workers());
  } catch (const std::bad_alloc&) {
    report("Out of memory");
  } catch (const std::exception& error) {
    // Asked to stop, whatever failed meanwhile (a wait cut short) is only a consequence.
    if (const char* signal = treeinv::platform::stop_request()) {
      report("Stopped by SIG", signal);
    } else {
      report(error.what());
    }
  } catch (...) {
    report("Unknown error");
  }
  treeinv::platform::end_by_stop_request();
  return g_failure_status;
}

int usage_error(const std::string& why) {
  report(why, k_usage_line);
  return 2;
}

} // namespace

// The working directory is the program's only input. The two questions a new user asks are answered without a
// walk, since any other run would write the lists wherever the user happens to be. A mistyped option must never
// turn a check into an inventory that rewrites the lists; other arguments are ignored.
int main(int argc, char** argv) {
  treeinv::platform::prepare_process();
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  std::string_view mode;
  for (const std::string_view argument : arguments) {
    if (argument.substr(0, 2) != "--") {
      continue;
    }
    if (argument != "--help" && argument != "--version" && argument != "--check" && argument != "--compare") {
      return usage_error(std::string("Unknown option \"").append(argument) + "\"; ");
    }
    if (!mode.empty() && argument != mode) {
      return usage_error(std::string(mode) + " and " + std::string(argument) + " cannot be given together; ");
    }
    mode = argument;
  }
  if (arguments.size() == 1 && (mode == "--help" || arguments[0] == "-h")) {
    return print(k_usage);
  }
  if (arguments.size() == 1 && mode == "--version") {
    return print(k_version);
  }
  if (mode == "--compare") {
    if (arguments.size() != 3 || arguments[0] != mode) {
      return usage_error("--compare takes two folders, and nothing else; ");
    }
    g_failure_status = 2;
    return run([&](unsigned) { return treeinv::compare_inventories(argv[2], argv[3]) ? 1 : 0; });
  }
  if (mode == "--check") {
    g_failure_status = 2;
    return run([](unsigned workers) { return treeinv::check_tree(workers) ? 1 : 0; });
  }
  return run([](unsigned workers) {
    treeinv::take_inventory(workers);
    return 0;
  });
}
