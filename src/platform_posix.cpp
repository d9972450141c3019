#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace treeinv::platform {

const char k_separator = '/';

// A line end would split a line of either list, and a backslash would read as a separator in folders.txt.
const char* const k_unlistable_bytes = "\\\r\n";

std::string current_directory() {
  std::error_code error;
  fs::path cwd = fs::current_path(error);
  if (error) {
    throw fs::filesystem_error("current_path()", error);
  }
  return std::move(cwd).native();
}

struct Walk::State {
  fs::recursive_directory_iterator it;
};

Walk::Walk() : m_state(std::make_unique<State>()) {
  std::error_code error;
  const fs::path root = fs::current_path(error);
  if (error) {
    throw fs::filesystem_error("current_path()", error);
  }
  m_state->it = fs::recursive_directory_iterator(root, fs::directory_options::none, error);
  if (error) {
    throw fs::filesystem_error("recursive_directory_iterator::recursive_directory_iterator", root, error);
  }
}

Walk::~Walk() = default;

bool Walk::at_end() const {
  return m_state->it == fs::recursive_directory_iterator();
}

Kind Walk::kind() const {
  const fs::path& path = m_state->it->path();
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::directory) {
    return Kind::directory;
  }
  // The library reports ENOENT and ENOTDIR as not found: a dangling link or an entry removed since the
  // enumeration. Either goes on as an entry of kind other, whose open then fails with the reason.
  if (error && status.type() != fs::file_type::not_found) {
    throw fs::filesystem_error("status", path, error);
  }
  return Kind::other;
}

std::string Walk::narrow_path() const {
  // POSIX names are bytes already.
  return m_state->it->path().native();
}

void Walk::advance() {
  // A failed increment leaves the iterator at its end, so keep the entry to say where the walk broke down. Only its
  // text: copying the path itself would copy each of its components too.
  std::string current = m_state->it->path().native();
  std::error_code error;
  m_state->it.increment(error);
  if (!error) {
    return;
  }
  // The increment either entered the current entry or read on in the folder that holds it.
  fs::path where(std::move(current));
  std::error_code ignored;
  if (fs::symlink_status(where, ignored).type() != fs::file_type::directory) {
    where = where.parent_path();
  }
  throw fs::filesystem_error("recursive_directory_iterator::operator++", where, error);
}

namespace {

FileIdentity identity_of(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

} // namespace

int open_for_reading(const std::string& path) {
  // O_NONBLOCK keeps a FIFO from stalling the open; reads of a regular file are unaffected by it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  // Check the file actually opened, not the name: it may have been swapped since the walk saw it.
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    // What the kernel itself answers for a special file that cannot be opened as asked.
    errno = ENXIO;
    return -1;
  }
  return fd;
}

int is_one_of(int fd, const std::vector<FileIdentity>& files) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return -1;
  }
  return std::find(files.begin(), files.end(), identity_of(info)) != files.end() ? 1 : 0;
}

std::ptrdiff_t read_some(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t count = ::read(fd, buffer, size);
    if (count >= 0 || errno != EINTR) {
      return count;
    }
  }
}

void close_file(int fd) {
  ::close(fd);
}

bool identify(std::FILE* file, FileIdentity& identity) {
  struct stat info {};
  if (::fstat(::fileno(file), &info) != 0) {
    return false;
  }
  identity = identity_of(info);
  return true;
}

bool truncate_file(std::FILE* file, std::uint64_t size) {
  return ::ftruncate(::fileno(file), static_cast<off_t>(size)) == 0;
}

} // namespace treeinv::platform
