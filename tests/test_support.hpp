#pragma once

#include "platform.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace treeinv::test {

// A fresh directory under the system's temporary folder, removed with everything in it afterwards. It is open to
// every user, so that a run as an unprivileged user can reach it.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  // The path of `name` inside, joined with the native separator; `name` itself may hold "/".
  std::string operator/(const std::string& name) const;

private:
  std::string m_path;
};

// Makes a directory the working directory for its lifetime.
class ScopedChdir {
public:
  explicit ScopedChdir(const std::string& path);
  ~ScopedChdir();
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;

private:
  std::string m_previous;
};

// An error for a failed call of the C library, with the text of errno.
std::runtime_error system_failure(const std::string& what);

// SHA-256 of the whole data at once, through another entry point of the library than the program's.
std::string reference_sha256(const std::string& data);

// The entry `name` of the working directory, found as the walk finds it, for opening on its own.
platform::FileEntry entry_named(const std::string& name);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);
void make_dir(const std::string& path);
void make_symlink(const std::string& target, const std::string& link);
// Makes a file of `size` bytes that takes no room on the disk.
void make_sparse_file(const std::string& path, std::uint64_t size);
// Deterministic pseudo-random bytes.
std::string random_bytes(std::size_t size, unsigned seed);

enum class User { current, unprivileged };

struct RunOptions {
  std::vector<std::string> arguments;
  User user = User::current;
  // Limit on the size of files the program may write (RLIMIT_FSIZE); 0 for none. POSIX only, as are the limits
  // below.
  unsigned long file_size_limit = 0;
  // Soft and hard limits on open files (RLIMIT_NOFILE); 0 to leave one as it is.
  unsigned long open_files_soft = 0;
  unsigned long open_files_hard = 0;
  // Limit on the address space (RLIMIT_AS); 0 for none.
  unsigned long address_space_limit = 0;
  // Standard error is a pipe nobody reads any more, or closed.
  bool broken_stderr = false;
  bool closed_stderr = false;
  // Files that standard output and standard error write to, when not empty; standard output a pipe nobody reads.
  std::string stdout_file{};
  std::string stderr_file{};
  bool broken_stdout = false;
  // POSIX only: the number of processors the program may run on (its affinity), 0 for all; a signal it starts
  // with blocked, 0 for none.
  unsigned processors = 0;
  int blocked_signal = 0;
  // The mask of permissions new files do not get, -1 to leave it.
  int umask = -1;
  // Measure the program's peak memory, through GNU time: a child of the test's own process would carry the test's
  // high-water mark into the program.
  bool measure_memory = false;
  // Removes the directory after entering it and before starting the program.
  bool remove_directory_first = false;
  // Files the program inherits open, besides the standard ones.
  int inherited_files = 0;
  // A signal sent to the program `signal_after_ms` after it made patchlist.txt, which must not exist before.
  int signal = 0;
  int signal_after_ms = 0;
};

struct RunResult {
  int exit_status = -1;   // -1 when the program did not exit normally
  bool timed_out = false; // killed after a minute
  int signal = 0;         // the signal that ended it, if any
  long peak_kib = -1;     // its peak resident memory, when measured
  std::string out;
  std::string err;
};

// Runs the treeinv executable in `directory`, killing it if it has not finished within a generous time.
RunResult run_treeinv(const std::string& directory, const RunOptions& options = {});

// POSIX only: whether a run as User::unprivileged really loses privileges (it does only when the tests run as root;
// otherwise they already run without them).
bool dropping_privileges();

// The expected contents of folders.txt and patchlist.txt after a run in `directory`, built by walking it
// independently (readdir order, lstat to decide where to descend, stat for the kind) and simulating how the two
// list files grow while they are themselves read. Call it after a run, when the lists exist and the directory
// enumerates in its final order.
struct Lists {
  std::string folders;
  std::string patchlist;
};
Lists model_inventory(const std::string& directory);

// The names in a directory, in the order the directory enumeration returns them.
std::vector<std::string> enumeration_order(const std::string& directory);

#ifdef _WIN32
// The wide form of a path in the ANSI code page, and the ANSI form of a wide one (which must have one).
std::wstring wide(const std::string& narrow);
std::string ansi(const std::wstring& wide_text);
// The exact form of `wide_text` in `code_page`, which must have one.
std::string narrow_in(unsigned code_page, const std::wstring& wide_text);
void write_file(const std::wstring& path, const std::string& contents);
std::string read_file(const std::wstring& path);
// The program the tests were built with, and a run of it or of a copy of it (or of a helper beside it).
std::wstring program_path();
RunResult run_program(const std::wstring& program, const std::wstring& directory, const RunOptions& options = {});
// What model_inventory() expects from a program whose narrow code page is `code_page`.
Lists model_inventory(const std::string& directory, unsigned code_page);
Lists model_inventory(const std::wstring& directory, unsigned code_page);
#endif

// A run that ended well: status 0 and not a byte of output.
void expect_clean_run(const RunResult& run);

// A run that ended in error: status 1, nothing on standard output, and `message` as the one line on standard error.
void expect_failure(const RunResult& run, const std::string& message);

// Both lists hold nothing but complete lines, and none of them names `name`.
void expect_no_line_for(const TempDir& dir, const std::string& name);

// Both lists are exactly what model_inventory() expects.
void expect_lists_match_model(const std::string& directory);

} // namespace treeinv::test
