#include "platform.hpp"

#include "file_error.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace treeinv::platform {

// A line end would split a line of either list, and a backslash would read as a separator in folders.txt.
const char* const k_unlistable_bytes = "\\\r\n";

namespace {

[[noreturn]] void throw_walk_error(const char* operation, const std::string& path, int error) {
  throw fs::filesystem_error(operation, fs::path(path), std::error_code(error, std::generic_category()));
}

FileIdentity identity_of(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

FileState state_of(const struct stat& info) {
  FileState state;
  state.identity = identity_of(info);
  state.size = static_cast<std::uint64_t>(info.st_size);
  // In unsigned arithmetic, which wraps for times past the year 2262 rather than overflow: only equality counts.
  const auto nanoseconds = [](const timespec& time) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(time.tv_sec) * 1000000000u +
                                     static_cast<std::uint64_t>(time.tv_nsec));
  };
  state.modified = nanoseconds(info.st_mtim);
  state.changed = nanoseconds(info.st_ctim);
  return state;
}

// What opening anything but a regular file reports: EISDIR for a folder, and for a special file what the kernel
// itself answers when one cannot be opened as asked.
int refusal_of(mode_t mode) {
  return S_ISDIR(mode) ? EISDIR : ENXIO;
}

void close_keeping_errno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

} // namespace

struct Folder {
  ~Folder() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  int fd = -1;
};

namespace {

// The signal that asked the run to stop. An atomic, since the handler and every thread look at it.
std::atomic<int> g_stop_signal{0};

extern "C" void note_stop_request(int signal) {
  g_stop_signal.store(signal, std::memory_order_relaxed);
}

const int k_stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

} // namespace

void prepare_process() {
  // Started with standard input, output or error closed, the lists would get their numbers, and the message of a
  // failure would be written into a list. Fill the gaps.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR | O_NOCTTY) != fd) {
      break;
    }
  }
  // Ignored, a file-size limit and a closed pipe turn into write errors (EFBIG, EPIPE) that the program reports,
  // instead of killing it mid-line without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  // Killed by one of these in the middle of a long line, the kernel may have written only its first pages. Noted
  // instead, they end the run between two lines. Without SA_RESTART, an open that waits for a lease gives up.
  struct sigaction action {};
  action.sa_handler = note_stop_request;
  sigemptyset(&action.sa_mask);
  for (const int signal : k_stop_signals) {
    struct sigaction previous {};
    // One that whoever started the program ignores (nohup, a shell's background job) stays ignored.
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      ::sigaction(signal, &action, nullptr);
    }
  }
  // Every folder from the top down to the current one stays open; the usual soft limit of 1024 would end a walk
  // a thousand folders deep.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

const char* stop_request() {
  const int signal = g_stop_signal.load(std::memory_order_relaxed);
  return signal != 0 ? ::sigabbrev_np(signal) : nullptr;
}

void end_by_stop_request() {
  const int signal = g_stop_signal.load(std::memory_order_relaxed);
  if (signal == 0) {
    return;
  }
  std::signal(signal, SIG_DFL);
  // SIGQUIT would leave a core file, in the tree being listed.
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  // Delivered to this thread, the signal is not blocked in it.
  std::raise(signal);
}

std::thread start_thread(std::function<void()> body) {
  // A new thread takes the mask of the one that starts it, so the stop requests are blocked for that moment only.
  sigset_t stops;
  sigemptyset(&stops);
  for (const int signal : k_stop_signals) {
    sigaddset(&stops, signal);
  }
  sigset_t saved;
  ::pthread_sigmask(SIG_BLOCK, &stops, &saved);
  try {
    std::thread thread(std::move(body));
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return thread;
  } catch (...) {
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    throw;
  }
}

std::size_t open_file_limit() {
  rlimit limit{};
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    if (dir != nullptr) {
      ::closedir(dir);
    }
    return 0;
  }
  // Those open already count against the limit, inherited ones too (and, for safety, the one reading them).
  std::size_t open = 0;
  while (const dirent* entry = ::readdir(dir)) {
    open += entry->d_name[0] != '.' ? 1 : 0;
  }
  ::closedir(dir);
  const auto most = limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<std::size_t>(limit.rlim_cur);
  return most > open ? most - open : 0;
}

unsigned processor_count() {
  // Those of the affinity mask: under taskset or a container's CPU set, fewer than the machine has.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<unsigned>(std::max(CPU_COUNT(&set), 1));
  }
  return std::max(std::thread::hardware_concurrency(), 1u);
}

std::string start_prefix() {
  std::error_code error;
  std::string prefix = fs::current_path(error).native();
  if (error) {
    throw fs::filesystem_error("current_path()", error);
  }
  if (prefix.empty() || prefix.back() != '/') {
    prefix += '/';
  }
  return prefix;
}

void use_separators(std::string& path, char separator) {
  std::replace(path.begin(), path.end(), '/', separator);
}

// The walk reads each folder in batches of entries and keeps, per level, only the part of the batch not yet
// visited and the length of the folder's relative path, so that memory grows with the depth, not its square. A
// batch of 4 KiB holds a folder of a hundred short names at once, and keeps a thousand levels of folders full of
// long names within 4 MiB (a run over 1,000 levels of 300 names of 104 bytes peaked at 11.3 MiB; at 32 KiB, 34.6).
//
// The cost model, in system calls: per regular file, none here (its type comes with the enumeration) and, for its
// digest, openat, fstat, read, fstat and close; per folder, openat, an fstatat that tells whether it can be
// searched, one getdents64 per batch and close. Links take two fstatat, entries of other or unknown types one.
struct Walk::State {
  struct Level {
    std::shared_ptr<const Folder> folder;
    // The length of the relative path of the folder's entries before their names.
    std::size_t prefix_length = 0;
    // Entries read and not yet visited, each as its type byte, its name and a NUL.
    std::string batch;
    std::size_t next = 0;
    bool exhausted = false;
    // Whether names in the folder can be looked up. When not, each entry's status is asked for so that it fails
    // and says so, as it would for any walk that takes the status of every entry.
    bool searchable = true;
  };

  std::string start;
  std::vector<Level> levels;
  std::vector<char> buffer = std::vector<char>(4 * 1024);

  // The current entry.
  unsigned char type = DT_UNKNOWN;
  std::string name;
  std::string relative;
  bool known = false; // kind, descend, through_link and refusal below are known
  Kind kind = Kind::other;
  bool descend = false;
  bool through_link = false;
  int refusal = 0;

  std::string full_path(const std::string& relative_path) const {
    if (relative_path.empty()) {
      return start.size() > 1 ? start.substr(0, start.size() - 1) : start;
    }
    return start + relative_path;
  }

  std::string folder_path() const {
    const std::size_t length = levels.back().prefix_length;
    return full_path(relative.substr(0, length > 0 ? length - 1 : 0));
  }

  // Opens a folder of the tree, the current entry of `parent` (or the working directory itself), into a new level.
  // Throws `operation` on failure, leaving the levels as they were.
  void enter(int parent, const char* folder_name, const char* operation) {
    // Made before the folder is opened, so that running out of memory cannot lose the descriptor.
    auto folder = std::make_shared<Folder>();
    folder->fd = ::openat(parent, folder_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (folder->fd < 0) {
      const int error = errno;
      throw_walk_error(operation, full_path(relative), error);
    }
    Level level;
    level.prefix_length = relative.empty() ? 0 : relative.size() + 1;
    struct stat info {};
    level.searchable = ::fstatat(folder->fd, ".", &info, 0) == 0;
    level.folder = std::move(folder);
    levels.push_back(std::move(level));
  }

  // Reads the next batch of a folder's entries after those not visited yet.
  void read_batch(Level& level, const char* operation) {
    const ssize_t size = ::getdents64(level.folder->fd, buffer.data(), buffer.size());
    if (size < 0) {
      const int error = errno;
      throw_walk_error(operation, folder_path(), error);
    }
    level.batch.erase(0, level.next);
    level.next = 0;
    level.exhausted = size == 0;
    for (ssize_t offset = 0; offset < size;) {
      const auto* record = reinterpret_cast<const dirent64*>(buffer.data() + offset);
      offset += record->d_reclen;
      const char* entry_name = record->d_name;
      if (entry_name[0] == '.' && (entry_name[1] == '\0' || (entry_name[1] == '.' && entry_name[2] == '\0'))) {
        continue;
      }
      level.batch += static_cast<char>(record->d_type);
      level.batch.append(entry_name);
      level.batch += '\0';
    }
  }

  // Moves to the next entry of the innermost folder, or of the folders around it once that one is done.
  void settle(const char* operation) {
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.next < level.batch.size()) {
        type = static_cast<unsigned char>(level.batch[level.next]);
        name.assign(level.batch.c_str() + level.next + 1);
        level.next += name.size() + 2;
        relative.resize(level.prefix_length);
        relative += name;
        known = false;
        return;
      }
      if (!level.exhausted) {
        read_batch(level, operation);
        continue;
      }
      levels.pop_back();
    }
  }

  // The status of the current entry, with or without following a link. Throws "status" unless it is not found.
  bool status(struct stat& info, int flags) const {
    if (::fstatat(levels.back().folder->fd, name.c_str(), &info, flags) == 0) {
      return true;
    }
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      // A dangling link, or an entry removed since its folder was read.
      return false;
    }
    throw_walk_error("status", full_path(relative), error);
  }

  void classify(const struct stat& info) {
    if (S_ISDIR(info.st_mode)) {
      kind = Kind::directory;
    } else if (!S_ISREG(info.st_mode)) {
      refusal = refusal_of(info.st_mode);
    }
  }

  void learn_kind() {
    kind = Kind::other;
    descend = false;
    through_link = false;
    refusal = 0;
    const bool searchable = levels.back().searchable;
    if (type == DT_DIR && searchable) {
      kind = Kind::directory;
      descend = true;
    } else if (type != DT_REG || !searchable) {
      // One look at the entry itself tells both its kind and whether it is entered, whatever the listing said it
      // was; only a link takes a second, at its target. In a folder that cannot be searched, the look fails.
      struct stat info {};
      if (status(info, AT_SYMLINK_NOFOLLOW)) {
        if (S_ISLNK(info.st_mode)) {
          through_link = true;
          if (status(info, 0)) {
            classify(info);
          }
        } else {
          classify(info);
          descend = kind == Kind::directory;
        }
      }
    }
    known = true;
  }
};

Walk::Walk(std::string start_prefix) : m_state(std::make_unique<State>()) {
  State& state = *m_state;
  state.start = std::move(start_prefix);
  constexpr const char* k_operation = "recursive_directory_iterator::recursive_directory_iterator";
  state.enter(AT_FDCWD, ".", k_operation);
  state.settle(k_operation);
}

Walk::~Walk() = default;

bool Walk::at_end() const {
  return m_state->levels.empty();
}

std::size_t Walk::depth() const {
  return m_state->levels.size();
}

Kind Walk::kind() {
  if (!m_state->known) {
    m_state->learn_kind();
  }
  return m_state->kind;
}

const std::string& Walk::relative_path() const {
  return m_state->relative;
}

FileEntry Walk::file() const {
  const State& state = *m_state;
  return {state.levels.back().folder, state.name, state.through_link, state.refusal};
}

void Walk::advance() {
  State& state = *m_state;
  constexpr const char* k_operation = "recursive_directory_iterator::operator++";
  kind();
  if (state.descend) {
    state.enter(state.levels.back().folder->fd, state.name.c_str(), k_operation);
    state.descend = false;
    state.relative += '/';
  }
  state.settle(k_operation);
}

namespace {

// Opens the file held by `held` (opened with O_PATH) as `flags` say: that very file, whatever its name `name` (in
// `folder`) leads to now. Returns -1 with errno set on failure.
int reopen(int held, const char* name, int flags, int folder) {
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", held);
  const int fd = ::open(self, flags);
  if (fd >= 0 || errno != ENOENT) {
    return fd;
  }
  // Without /proc, by its name, never blocking, and only if it is still the same file.
  const int by_name = ::openat(folder, name, flags | O_NONBLOCK);
  struct stat opened {};
  struct stat wanted {};
  if (by_name >= 0 && (::fstat(by_name, &opened) != 0 || ::fstat(held, &wanted) != 0 ||
                       !(identity_of(opened) == identity_of(wanted)))) {
    ::close(by_name);
    errno = EWOULDBLOCK;
    return -1;
  }
  return by_name;
}

// Opens for reading, with `flags` besides, the regular file that `name` in `folder` leads to through links, and
// nothing else. Takes hold of it without opening it, which cannot block or act on a device, and only once it is
// known to be a regular file opens that very file, whatever the name leads to by then.
int open_held(int folder, const char* name, int flags) {
  const int held = ::openat(folder, name, O_PATH | O_CLOEXEC);
  if (held < 0) {
    return -1;
  }
  struct stat info {};
  int fd = -1;
  if (::fstat(held, &info) == 0) {
    if (S_ISREG(info.st_mode)) {
      fd = reopen(held, name, O_RDONLY | O_NOCTTY | O_CLOEXEC | flags, folder);
    } else {
      errno = refusal_of(info.st_mode);
    }
  }
  close_keeping_errno(held);
  return fd;
}

} // namespace

int open_file(const FileEntry& entry, FileState& state, Lease lease) {
  if (entry.refusal != 0) {
    errno = entry.refusal;
    return -1;
  }
  const int folder = entry.folder->fd;
  const char* name = entry.name.c_str();
  // What the walk saw as a regular file is opened at once. A link put in its place fails (O_NOFOLLOW) and is taken
  // the careful way, as links are; a FIFO put there opens without waiting (O_NONBLOCK) and is refused below. Only
  // root can put a device there.
  int fd = entry.through_link ? open_held(folder, name, O_NONBLOCK)
                              : ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP && !entry.through_link) {
    fd = open_held(folder, name, O_NONBLOCK);
  }
  if (fd < 0 && errno == EWOULDBLOCK && lease == Lease::wait) {
    // A lease (an oplock of Samba, a delegation of NFS) is held on it: one blocking open waits until its holder
    // gives it up or a stop request interrupts it, and cannot hang otherwise on a regular file.
    fd = open_held(folder, name, 0);
  }
  if (fd < 0) {
    return -1;
  }
  // Check the file actually opened, not the name.
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    close_keeping_errno(fd);
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    errno = refusal_of(info.st_mode);
    return -1;
  }
  state = state_of(info);
  return fd;
}

bool file_state(int fd, FileState& state) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return false;
  }
  state = state_of(info);
  return true;
}

std::ptrdiff_t read_at(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  for (;;) {
    // A read that would wait (EAGAIN) fails: a regular file that makes its reader wait, as /proc/kmsg does, may
    // never end. One that a file server gives up when interrupted (EINTR) is tried again unless asked to stop.
    const ssize_t count = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (count >= 0 || errno != EINTR || stop_request() != nullptr) {
      return count;
    }
  }
}

bool write_at(int fd, const char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t count = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR && stop_request() == nullptr) {
      continue;
    }
    if (count <= 0) {
      errno = count == 0 ? ENOSPC : errno;
      return false;
    }
    data += count;
    size -= static_cast<std::size_t>(count);
    offset += static_cast<std::uint64_t>(count);
  }
  return true;
}

bool truncate_file(int fd, std::uint64_t size) {
  return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

bool close_file(int fd) {
  // After EINTR the descriptor is closed on Linux, and the data of a regular file written with write() is safe.
  return ::close(fd) == 0 || errno == EINTR;
}

namespace {

// Whether the file's owner could rewrite it after the run although it lies in a folder that other users may write
// to and whose sticky bit keeps them from each other's files, as /tmp: one owned by neither this user nor the
// folder's owner. The kernel refuses root such opens for the same reason (fs.protected_regular).
bool owned_by_another(const struct stat& file) {
  struct stat folder {};
  return ::stat(".", &folder) == 0 && (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
         file.st_uid != ::geteuid() && file.st_uid != folder.st_uid;
}

// Why a file of status `info` cannot be a list to write; null when it can.
const char* list_refusal(const struct stat& info) {
  return S_ISLNK(info.st_mode)    ? "Is a symbolic link"
         : S_ISDIR(info.st_mode)  ? "Is a directory"
         : !S_ISREG(info.st_mode) ? "Is not a regular file"
         : info.st_nlink > 1      ? "Has other hard links"
         : owned_by_another(info) ? "Is owned by another user in a shared folder"
                                  : nullptr;
}

} // namespace

int open_list(const char* path, ListUse use, FileIdentity& identity) {
  const bool write = use == ListUse::write;
  const char* what = write ? "Cannot create" : "Cannot open";
  struct stat info {};
  int fd = -1;
  if (!write) {
    fd = open_held(AT_FDCWD, path, O_NONBLOCK);
    if (fd < 0 && errno == EWOULDBLOCK) {
      fd = open_held(AT_FDCWD, path, 0);
    }
  } else if (::lstat(path, &info) == 0 && list_refusal(info) != nullptr) {
    // Looked at before it is opened, so that no FIFO or device is, and again once opened, in case it was swapped.
    throw FileError(what, path, list_refusal(info), EINVAL);
  } else {
    // A regular file, so the open can only wait for a lease, as any writer does; one that is not opens at once.
    fd = ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
  }
  if (fd < 0) {
    throw errno == ENXIO ? FileError(what, path, "Is not a regular file", ENXIO) : FileError(what, path, errno);
  }
  const char* refusal = ::fstat(fd, &info) != 0 ? std::strerror(errno) : write ? list_refusal(info) : nullptr;
  // Another run writing it too would interleave the lines of both, and a check would read a list half written. A
  // file system without locks (ENOLCK, EOPNOTSUPP on some NFS and FUSE mounts) lets every run through.
  if (refusal == nullptr && ::flock(fd, (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    refusal = "In use by another run";
  }
  if (refusal != nullptr) {
    ::close(fd);
    throw FileError(what, path, refusal, EBUSY);
  }
  identity = identity_of(info);
  return fd;
}

std::shared_ptr<char> list_buffer(std::size_t size) {
  constexpr std::size_t k_large_page = 2 * 1024 * 1024;
  void* data = nullptr;
  if (::posix_memalign(&data, size >= k_large_page ? k_large_page : alignof(std::max_align_t), size) != 0) {
    throw std::bad_alloc();
  }
  if (size >= k_large_page) {
    ::madvise(data, size, MADV_HUGEPAGE);
  }
  return {static_cast<char*>(data), std::free};
}

bool write_message(std::string_view /*line*/) {
  return false;
}

} // namespace treeinv::platform
