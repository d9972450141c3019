// The tests' helpers that rest on POSIX: temporary folders, runs of the program, and the independent walk.
#include "test_support.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace treeinv::test {
namespace {

constexpr unsigned k_run_timeout_seconds = 60;

// The names in an open folder, in the order its enumeration returns them.
std::vector<std::string> names_in(DIR* dir) {
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  return names;
}

// Removes the entry `name` of the folder open as `parent` with everything below it. It holds three descriptors at
// most, whatever the depth: it keeps the names of the folders it is in, not the folders open, and climbs back
// through "..". One descriptor per level ran out under the usual soft limit of 1,024 open files and left trees of
// 2,000 levels behind. Working relative to open folders, it also goes where paths grow past PATH_MAX. A climb that
// does not arrive in the folder it came from (the tree was moved meanwhile) stops, leaving the rest, rather than
// remove anything elsewhere.
void force_remove_at(int parent, const char* name) {
  struct Level {
    std::string name;                 // of this folder, in the one above
    std::vector<std::string> entries; // still to remove
    struct stat above;                // the folder above, which the climb back must reach
  };
  int here = ::openat(parent, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (here < 0) {
    return;
  }
  // The first level stands for `parent`, which is never left.
  std::vector<Level> levels{{"", {name}, {}}};
  while (true) {
    Level& level = levels.back();
    if (level.entries.empty()) {
      if (levels.size() == 1) {
        break;
      }
      const int above = ::openat(here, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
      struct stat reached {};
      const bool back = above >= 0 && ::fstat(above, &reached) == 0 && reached.st_dev == level.above.st_dev &&
                        reached.st_ino == level.above.st_ino;
      ::close(here);
      if (!back) {
        if (above >= 0) {
          ::close(above);
        }
        return;
      }
      here = above;
      const std::string emptied = std::move(level.name);
      levels.pop_back();
      ::unlinkat(here, emptied.c_str(), AT_REMOVEDIR);
      continue;
    }
    const std::string entry = std::move(level.entries.back());
    level.entries.pop_back();
    struct stat info {};
    if (::fstatat(here, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (!S_ISDIR(info.st_mode)) {
      ::unlinkat(here, entry.c_str(), 0);
      continue;
    }
    // Tests take permissions away; give them back so the tree can be removed without privileges.
    if (::fchmodat(here, entry.c_str(), 0700, 0) != 0) {
      // Removal below then fails where it must.
    }
    Level below{entry, {}, {}};
    const int inside = ::openat(here, entry.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int listing = inside >= 0 ? ::openat(inside, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (dir != nullptr) {
      below.entries = names_in(dir);
      ::closedir(dir);
    } else if (listing >= 0) {
      ::close(listing);
    }
    if (dir == nullptr || ::fstat(here, &below.above) != 0) {
      if (inside >= 0) {
        ::close(inside);
      }
      // Fails where the folder could not be emptied.
      ::unlinkat(here, entry.c_str(), AT_REMOVEDIR);
      continue;
    }
    ::close(here);
    here = inside;
    levels.push_back(std::move(below));
  }
  ::close(here);
}

// Removes `path` from the folder that holds it, so that the climbs back end there.
void force_remove(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int parent = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) {
    return;
  }
  force_remove_at(parent, path.c_str() + (slash == std::string::npos ? 0 : slash + 1));
  ::close(parent);
}

} // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/treeinv-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw system_failure("mkdtemp");
  }
  // mkdtemp leaves a symlinked TMPDIR unresolved; the program sees the resolved path.
  char resolved[PATH_MAX];
  if (::realpath(pattern.c_str(), resolved) == nullptr) {
    throw system_failure("realpath");
  }
  m_path = resolved;
  ::chmod(m_path.c_str(), 0777);
}

TempDir::~TempDir() {
  force_remove(m_path);
}

std::string TempDir::operator/(const std::string& name) const {
  return m_path + "/" + name;
}

ScopedChdir::ScopedChdir(const std::string& path) {
  char previous[PATH_MAX];
  if (::getcwd(previous, sizeof previous) == nullptr || ::chdir(path.c_str()) != 0) {
    throw system_failure("chdir " + path);
  }
  m_previous = previous;
}

ScopedChdir::~ScopedChdir() {
  if (::chdir(m_previous.c_str()) != 0) {
    std::perror("chdir back");
  }
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) {
    throw system_failure("mkdir " + path);
  }
}

void make_symlink(const std::string& target, const std::string& link) {
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    throw system_failure("symlink " + link);
  }
}

void make_sparse_file(const std::string& path, std::uint64_t size) {
  write_file(path, "");
  if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) {
    throw system_failure("truncate " + path);
  }
}

bool dropping_privileges() {
  return ::geteuid() == 0;
}

namespace {

[[noreturn]] void child_fail(const char* what) {
  std::perror(what);
  ::_exit(127);
}

// The build folder may lie where an unprivileged user cannot reach it (under /root, say): such runs use a copy of
// the program in a temporary folder, made once.
const std::string& unprivileged_executable() {
  static const TempDir folder;
  static const std::string copy = [] {
    const std::string path = folder / "treeinv";
    write_file(path, read_file(TREEINV_EXE));
    if (::chmod(path.c_str(), 0755) != 0) {
      throw system_failure("chmod " + path);
    }
    return path;
  }();
  return copy;
}

[[noreturn]] void exec_child(const std::string& program, const std::string& directory, const RunOptions& options,
                             const std::string& out, const std::string& err, const std::string& peak) {
  const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out_fd < 0 || err_fd < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0) {
    child_fail("test child: output");
  }
  ::close(out_fd);
  ::close(err_fd);
  if (options.broken_stderr) {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], 2) < 0) {
      child_fail("test child: pipe");
    }
    ::close(ends[0]);
    ::close(ends[1]);
  }
  if (options.broken_stdout) {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], 1) < 0) {
      child_fail("test child: pipe");
    }
    ::close(ends[0]);
    ::close(ends[1]);
  }
  if (options.closed_stderr) {
    ::close(2);
  }
  for (const auto& [file, target] : {std::pair{options.stdout_file, 1}, std::pair{options.stderr_file, 2}}) {
    const int fd = file.empty() ? -1 : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!file.empty() && (fd < 0 || ::dup2(fd, target) < 0)) {
      child_fail("test child: output file");
    }
    if (fd >= 0) {
      ::close(fd);
    }
  }
  if (options.processors != 0) {
    cpu_set_t allowed;
    cpu_set_t chosen;
    CPU_ZERO(&chosen);
    ::sched_getaffinity(0, sizeof allowed, &allowed);
    for (int cpu = 0, left = static_cast<int>(options.processors); cpu < CPU_SETSIZE && left > 0; ++cpu) {
      if (CPU_ISSET(cpu, &allowed)) {
        CPU_SET(cpu, &chosen);
        --left;
      }
    }
    if (::sched_setaffinity(0, sizeof chosen, &chosen) != 0) {
      child_fail("test child: affinity");
    }
  }
  if (options.umask >= 0) {
    ::umask(static_cast<mode_t>(options.umask));
  }
  if (options.blocked_signal != 0) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, options.blocked_signal);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
  }
  // Nothing but the three standard files reaches the program, whatever runs the tests: the limits on open files
  // below must mean the same everywhere.
  ::close_range(3, ~0U, 0);
  for (int i = 0; i < options.inherited_files; ++i) {
    if (::open("/dev/null", O_RDONLY) < 0) {
      child_fail("test child: inherited files");
    }
  }
  // The program must see to these itself; and a shell that runs the tests in the background ignores SIGINT and
  // SIGQUIT, which would hide how the program takes them.
  for (const int signal : {SIGXFSZ, SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
    ::signal(signal, SIG_DFL);
  }
  if (::chdir(directory.c_str()) != 0) {
    child_fail("test child: chdir");
  }
  if (options.remove_directory_first && ::rmdir(directory.c_str()) != 0) {
    child_fail("test child: rmdir");
  }
  if (options.file_size_limit != 0) {
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      child_fail("test child: setrlimit");
    }
  }
  if (options.open_files_soft != 0 || options.open_files_hard != 0) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_max = options.open_files_hard != 0 ? options.open_files_hard : limit.rlim_max;
    limit.rlim_cur = options.open_files_soft != 0 ? options.open_files_soft : limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      child_fail("test child: setrlimit");
    }
  }
  if (options.user == User::unprivileged && dropping_privileges()) {
    constexpr uid_t k_nobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(k_nobody, k_nobody, k_nobody) != 0 ||
        ::setresuid(k_nobody, k_nobody, k_nobody) != 0) {
      child_fail("test child: dropping privileges");
    }
  }
  // A program that hangs is killed rather than holding up the tests; the alarm outlives exec.
  ::alarm(k_run_timeout_seconds);
  if (options.address_space_limit != 0) {
    // Last, since the test's own code may need more.
    const rlimit limit{options.address_space_limit, options.address_space_limit};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
      child_fail("test child: setrlimit");
    }
  }
  std::vector<std::string> arguments = options.arguments;
  arguments.insert(arguments.begin(), program);
  if (options.measure_memory) {
    arguments.insert(arguments.begin(), {"/usr/bin/time", "-f", "%M", "-o", peak});
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  ::execv(arguments.front().c_str(), argv.data());
  child_fail(("test child: exec " + program).c_str());
}

} // namespace

RunResult run_treeinv(const std::string& directory, const RunOptions& options) {
  // The output goes to files beside the tree, never into it.
  const TempDir output;
  const bool unprivileged = options.user == User::unprivileged && dropping_privileges();
  const std::string program = unprivileged ? unprivileged_executable() : TREEINV_EXE;
  const pid_t child = ::fork();
  if (child < 0) {
    throw system_failure("fork");
  }
  if (child == 0) {
    exec_child(program, directory, options, output / "out", output / "err", output / "peak");
  }
  if (options.signal != 0) {
    // Counted from when the program has made its lists, and so is ready for signals, however slowly it started.
    struct stat made {};
    for (int i = 0; i < 1000 && ::stat((directory + "/patchlist.txt").c_str(), &made) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(options.signal_after_ms));
    ::kill(child, options.signal);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) {
    throw system_failure("waitpid");
  }
  RunResult result;
  result.timed_out = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (options.measure_memory) {
    // The last line; GNU time says before it how a program that failed ended.
    const std::string report = read_file(output / "peak");
    const std::size_t line = report.find_last_of('\n', report.size() - 2);
    result.peak_kib = std::atol(report.c_str() + (line == std::string::npos ? 0 : line + 1));
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_file(output / "out");
  result.err = read_file(output / "err");
  return result;
}

std::vector<std::string> enumeration_order(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) {
    throw system_failure("opendir " + directory);
  }
  std::vector<std::string> names = names_in(dir);
  ::closedir(dir);
  return names;
}

namespace {

struct ModelState {
  std::string root;
  struct stat folders {};
  struct stat patchlist {};
  Lists lists;
};

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct stat stat_of(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    throw system_failure("stat " + path);
  }
  return info;
}

void model_directory(ModelState& state, const std::string& relative) {
  const std::string directory = relative.empty() ? state.root : state.root + "/" + relative;
  for (const std::string& name : enumeration_order(directory)) {
    const std::string entry_relative = relative.empty() ? name : relative + "/" + name;
    const std::string full = state.root + "/" + entry_relative;
    struct stat followed {};
    const bool found = ::stat(full.c_str(), &followed) == 0;
    if (found && S_ISDIR(followed.st_mode)) {
      std::string line = entry_relative;
      for (char& c : line) {
        c = c == '/' ? '\\' : c;
      }
      state.lists.folders += line + "\\\r\n";
    } else {
      // A list, under its own name or through a link, holds the lines written before it is read.
      std::string digest;
      if (found && same_file(followed, state.folders)) {
        digest = reference_sha256(state.lists.folders);
      } else if (found && same_file(followed, state.patchlist)) {
        digest = reference_sha256(state.lists.patchlist);
      } else {
        digest = reference_sha256(read_file(full));
      }
      state.lists.patchlist += entry_relative + " " + digest + "\r\n";
    }
    struct stat own {};
    if (::lstat(full.c_str(), &own) == 0 && S_ISDIR(own.st_mode)) {
      model_directory(state, entry_relative);
    }
  }
}

} // namespace

Lists model_inventory(const std::string& directory) {
  ModelState state;
  state.root = directory;
  state.folders = stat_of(directory + "/folders.txt");
  state.patchlist = stat_of(directory + "/patchlist.txt");
  model_directory(state, "");
  return state.lists;
}

} // namespace treeinv::test
