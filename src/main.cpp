#include "inventory.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view k_usage =
    "Usage: treeinv               (in the directory to list)\n"
    "       treeinv --help | --version\n"
    "\n"
    "Takes the inventory of the tree below the current directory and writes it into\n"
    "that directory: folders.txt names every folder, patchlist.txt every other entry\n"
    "with the SHA-256 digest of its contents. Both are rewritten on every run.\n"
    "\n"
    "It takes no arguments. As the only argument, --help (or -h) prints this text and\n"
    "--version the version, and neither lists anything; any other arguments are\n"
    "ignored.\n"
    "\n"
    "Exit status: 0 when both lists are complete; 1 when a problem ended the run,\n"
    "told in one line on standard error.\n";

constexpr std::string_view k_version = "treeinv " TREEINV_VERSION "\n";

// Prints `text` on standard output: 0, or 1 after the error line when it cannot be written (a full disk, a closed
// pipe), so that a user never takes a missing text for the whole of it.
int print(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) {
    return 0;
  }
  std::fprintf(stderr, "treeinv: Cannot write to standard output: %s.\n", std::strerror(errno));
  return 1;
}

} // namespace

// The working directory is the program's only input. The two questions a new user asks are answered without a
// walk, since any other run would write the lists wherever the user happens to be; other arguments are ignored.
int main(int argc, char** argv) {
  if (argc == 2) {
    const std::string_view argument = argv[1];
    if (argument == "--help" || argument == "-h") {
      return print(k_usage);
    }
    if (argument == "--version") {
      return print(k_version);
    }
  }
  return treeinv::run();
}
