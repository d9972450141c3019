// The tests' temporary folders go with everything in them, whatever the tests left there and whatever the limits
// the tests run under: a folder left behind would pile up in /tmp with every run.
#include "test_support.hpp"

#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace treeinv::test {
namespace {

// A chain of folders far deeper than the open files allowed, with names long enough that its paths pass PATH_MAX, a
// file at every level and a folder without permissions at the bottom, all removed with the TempDir that holds it.
TEST(TempDir, RemovesTreesDeeperThanOpenFilesAndPathsWithoutPermissions) {
  constexpr int k_levels = 300;
  constexpr rlim_t k_open_files = 64;
  const std::string name(20, 'd');
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = k_open_files;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      ::_exit(2);
    }
    int levels = 0;
    {
      const TempDir dir;
      if (::write(report[1], dir.path().data(), dir.path().size()) != static_cast<ssize_t>(dir.path().size())) {
        ::_exit(2);
      }
      ::close(report[1]);
      int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      for (; fd >= 0 && levels < k_levels; ++levels) {
        const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const int inner = file >= 0 && ::close(file) == 0 && ::mkdirat(fd, name.c_str(), 0755) == 0
                              ? ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                              : -1;
        ::close(fd);
        fd = inner;
      }
      const bool locked = fd >= 0 && ::mkdirat(fd, "locked", 0755) == 0 &&
                          ::close(::openat(fd, "locked/f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) == 0 &&
                          ::fchmodat(fd, "locked", 0, 0) == 0;
      ::close(fd);
      levels = locked ? levels : -1;
    }
    ::_exit(levels == k_levels ? 0 : 3);
  }
  ::close(report[1]);
  std::string path(4096, '\0');
  const ssize_t size = ::read(report[0], path.data(), path.size());
  ::close(report[0]);
  path.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the tree was not made, status " << status;
  ASSERT_FALSE(path.empty());
  struct stat info {};
  EXPECT_NE(::lstat(path.c_str(), &info), 0) << path << " was left behind";
}

} // namespace
} // namespace treeinv::test
