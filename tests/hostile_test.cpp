// Trees and surroundings prepared to make the program misbehave: lists that lead elsewhere, special files, leases,
// scarce open files and memory, trees moved while walked, files that change while read, and great depths.
#include "digest_queue.hpp"
#include "file_digest.hpp"
#include "file_error.hpp"
#include "platform.hpp"
#include "test_support.hpp"

#include "inventory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace treeinv::test {
namespace {

// The sanitizers' runtimes take more memory, and open files of their own when they check a pointer.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool k_sanitized = true;
#else
constexpr bool k_sanitized = false;
#endif

// Allocations on this thread fail once this many more have been made; -1 for never.
thread_local long g_allocations_left = -1;

TEST(Hostile, ListNamesThatLeadElsewhereAreRefusedAndNothingOutsideIsTouched) {
  struct Case {
    const char* name;
    void (*prepare)(const TempDir& dir, const std::string& victim);
    const char* message;
  };
  const Case cases[] = {
      {"symlink out",
       [](const TempDir& dir, const std::string& victim) { make_symlink(victim, dir / "patchlist.txt"); },
       "Cannot create \"patchlist.txt\": Is a symbolic link."},
      {"hard link out",
       [](const TempDir& dir, const std::string& victim) {
         ASSERT_EQ(::link(victim.c_str(), (dir / "folders.txt").c_str()), 0);
       },
       "Cannot create \"folders.txt\": Has other hard links."},
      {"fifo",
       [](const TempDir& dir, const std::string&) { ASSERT_EQ(::mkfifo((dir / "folders.txt").c_str(), 0644), 0); },
       "Cannot create \"folders.txt\": Is not a regular file."},
      {"lists linked to each other",
       [](const TempDir& dir, const std::string&) {
         write_file(dir / "patchlist.txt", "");
         ASSERT_EQ(::link((dir / "patchlist.txt").c_str(), (dir / "folders.txt").c_str()), 0);
       },
       "Cannot create \"patchlist.txt\": Has other hard links."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir outside;
    const std::string victim = outside / "victim";
    write_file(victim, "precious");
    TempDir dir;
    write_file(dir / "file", "x");
    c.prepare(dir, victim);
    expect_failure(run_treeinv(dir.path()), c.message);
    EXPECT_EQ(read_file(victim), "precious");
  }
}

// The message of a failure has nowhere to go; the run still ends with status 1, not by a signal.
TEST(Hostile, AStandardErrorThatIsBrokenOrClosedStillEndsTheRunWithStatusOne) {
  for (const bool broken : {true, false}) {
    SCOPED_TRACE(broken ? "broken pipe" : "closed");
    TempDir dir;
    make_symlink("nowhere", dir / "dangling");
    RunOptions options;
    options.broken_stderr = broken;
    options.closed_stderr = !broken;
    const RunResult run = run_treeinv(dir.path(), options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exit_status, 1);
    expect_no_line_for(dir, "dangling");
    EXPECT_EQ(read_file(dir / "patchlist.txt").find("treeinv"), std::string::npos);
  }
}

// Opening a FIFO lets a writer waiting on it through; it must stay waiting. So it does when the FIFO is in the tree,
// behind a link, or put behind a link in place of a file that the walk saw as a regular file.
TEST(Hostile, SpecialFilesAreRefusedWithoutBeingOpened) {
  for (const char* how : {"fifo", "link to a fifo", "file swapped for a link to a fifo"}) {
    SCOPED_TRACE(how);
    TempDir dir;
    TempDir elsewhere;
    const std::string fifo = elsewhere / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::alarm(30);
      ::open(fifo.c_str(), O_WRONLY);
      ::_exit(0);
    }
    // Until the writer waits for a reader, as the kernel tells where it shows that.
    for (int i = 0; i < 200 && read_file("/proc/" + std::to_string(writer) + "/wchan") != "wait_for_partner"; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (how[0] == 'f' && how[1] == 'i') {
      expect_failure(run_treeinv(elsewhere.path()), "Cannot open \"fifo\": No such device or address.");
    } else if (how[0] == 'l') {
      make_symlink(fifo, dir / "entry");
      expect_failure(run_treeinv(dir.path()), "Cannot open \"entry\": No such device or address.");
    } else {
      ScopedChdir in_dir(dir.path());
      write_file("entry", "x");
      const platform::FileEntry entry = entry_named("entry");
      ASSERT_EQ(::unlink("entry"), 0);
      make_symlink(fifo, "entry");
      try {
        FileDigester().digest(entry, "entry");
        ADD_FAILURE() << "a fifo was hashed";
      } catch (const FileError& error) {
        EXPECT_STREQ(error.what(), "Cannot open \"entry\": No such device or address.");
      }
    }
    int status = 0;
    EXPECT_EQ(::waitpid(writer, &status, WNOHANG), 0) << "the writer was let through";
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ::waitpid(writer, &status, 0);
    ::close(reader);
  }
}

volatile std::sig_atomic_t g_lease_broken = 0;

// A lease holder gives the file up a moment after being asked to; a reader waits for that, and so must the program.
// Asked to stop meanwhile, it stops waiting.
TEST(Hostile, AFileUnderALeaseIsReadOnceTheLeaseIsGivenUp) {
  for (const bool gives_up : {true, false}) {
    SCOPED_TRACE(gives_up ? "given up" : "held");
    TempDir dir;
    write_file(dir / "leased", "contents");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
      ::alarm(20);
      std::signal(SIGIO, [](int) { g_lease_broken = 1; });
      const int fd = ::open((dir / "leased").c_str(), O_RDONLY);
      const char answer = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0 ? 'y' : 'n';
      if (::write(ready[1], &answer, 1) != 1) {
        ::_exit(1);
      }
      while (answer == 'y' && (g_lease_broken == 0 || !gives_up)) {
        ::usleep(1000);
      }
      ::usleep(300 * 1000);
      ::fcntl(fd, F_SETLEASE, F_UNLCK);
      ::_exit(0);
    }
    ::close(ready[1]);
    char answer = 'n';
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    if (answer != 'y') {
      ::waitpid(holder, nullptr, 0);
      GTEST_SKIP() << "this file system takes no leases";
    }
    RunOptions options;
    options.signal = gives_up ? 0 : SIGTERM;
    options.signal_after_ms = 500;
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = run_treeinv(dir.path(), options);
    const auto waited = std::chrono::steady_clock::now() - start;
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    if (gives_up) {
      expect_clean_run(run);
      expect_lists_match_model(dir.path());
    } else {
      EXPECT_EQ(run.signal, SIGTERM);
      EXPECT_EQ(run.err, "treeinv: Stopped by SIGTERM\n");
      // Not a measure of speed: the holder keeps the lease for 20 s.
      EXPECT_LT(waited, std::chrono::seconds(10));
    }
  }
}

// Running ahead never takes an open file that a run without it would have had. Here the files open at the start
// leave just enough for the lists, three folders and the file being read; one fewer ends the run at that file.
TEST(Hostile, ScarceOpenFilesGiveTheListsOfAnyRunOrEndItWhereTheyRunOut) {
  if (k_sanitized) {
    GTEST_SKIP() << "the sanitizers' runtimes need open files of their own";
  }
  TempDir dir;
  for (int folder = 0; folder < 3; ++folder) {
    const std::string path = dir / ("folder" + std::to_string(folder));
    make_dir(path);
    make_dir(path + "/inner");
    for (int i = 0; i < 100; ++i) {
      write_file(path + "/inner/f" + std::to_string(i), random_bytes(static_cast<std::size_t>(i) * 300, i));
    }
  }
  RunOptions options;
  options.open_files_soft = options.open_files_hard = 64;
  options.inherited_files = 64 - 3 - 2 - 3 - 1;
  expect_clean_run(run_treeinv(dir.path(), options));
  expect_lists_match_model(dir.path());

  ++options.inherited_files;
  std::string first;
  for (const std::string& name : enumeration_order(dir.path())) {
    if (name.rfind("folder", 0) == 0 && name != "folders.txt") {
      first = name + "/inner/" + enumeration_order(dir / (name + "/inner")).front();
      break;
    }
  }
  expect_failure(run_treeinv(dir.path(), options), "Cannot open \"" + first + "\": Too many open files.");
  expect_no_line_for(dir, first);
}

// However little memory there is, the run ends with one line and status 1, or runs to its end.
TEST(Hostile, RunningOutOfMemoryEndsTheRunWithOneLine) {
  if (k_sanitized) {
    GTEST_SKIP() << "the sanitizers need more address space than any limit tried here";
  }
  TempDir dir;
  for (int i = 0; i < 20; ++i) {
    write_file(dir / ("f" + std::to_string(i)), random_bytes(100000, i));
  }
  // From too little for the program to be loaded at all to plenty, in steps that find the limits in between.
  int failures = 0;
  for (unsigned long kib = 4096; kib <= 32768; kib += 128) {
    RunOptions options;
    options.address_space_limit = kib << 10;
    const RunResult run = run_treeinv(dir.path(), options);
    SCOPED_TRACE(std::to_string(kib) + " KiB: " + run.err);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.out, "");
    // Status 127 with a message of its own is the dynamic loader's failure, before the program runs: the program
    // never ends so itself.
    if (run.exit_status == 127 && run.err.rfind("treeinv: ", 0) != 0) {
      continue;
    }
    if (run.exit_status == 0) {
      EXPECT_EQ(run.err, "");
      expect_lists_match_model(dir.path());
    } else {
      ++failures;
      EXPECT_EQ(run.exit_status, 1);
      EXPECT_EQ(run.err.rfind("treeinv: ", 0), 0u);
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1);
    }
  }
  EXPECT_GT(failures, 0) << "no limit was low enough to test anything";
}

// The walk holds its folders open: moving the tree away and putting another in its place changes nothing it sees.
TEST(Hostile, AStartingFolderMovedDuringTheWalkIsWalkedWhereverItWent) {
  TempDir dir;
  make_dir(dir / "start");
  make_dir(dir / "start/sub");
  write_file(dir / "start/sub/inner.txt", "inner");
  write_file(dir / "start/file.txt", "file");
  ScopedChdir in_start(dir / "start");
  platform::Walk walk(platform::start_prefix());
  ASSERT_EQ(::rename((dir / "start").c_str(), (dir / "moved").c_str()), 0);
  make_dir(dir / "start");
  make_dir(dir / "start/file.txt");
  write_file(dir / "start/sub", "decoy");
  std::map<std::string, std::string> seen;
  FileDigester digester;
  for (; !walk.at_end(); walk.advance()) {
    const std::string relative = walk.relative_path();
    seen[relative] = walk.kind() == platform::Kind::directory ? "folder" : digester.digest(walk.file(), relative);
  }
  const std::map<std::string, std::string> expected = {
      {"sub", "folder"}, {"sub/inner.txt", reference_sha256("inner")}, {"file.txt", reference_sha256("file")}};
  EXPECT_EQ(seen, expected);
}

TEST(Hostile, AFileThatChangesWhileReadHasNoDigest) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  const struct {
    const char* name;
    void (*change)(const char* path);
  } cases[] = {
      {"grown", [](const char* path) { write_file(path, std::string(300000, 'y')); }},
      {"shrunk", [](const char* path) { ASSERT_EQ(::truncate(path, 10), 0); }},
      {"rewritten in place",
       [](const char* path) {
         const timespec later[2] = {{0, UTIME_OMIT}, {1, 0}};
         ASSERT_EQ(::utimensat(AT_FDCWD, path, later, 0), 0);
       }},
      // Only the change time tells this one.
      {"rewritten with its modification time put back",
       [](const char* path) {
         struct stat before {};
         ASSERT_EQ(::stat(path, &before), 0);
         write_file(path, std::string(200000, 'z'));
         const timespec times[2] = {before.st_atim, before.st_mtim};
         ASSERT_EQ(::utimensat(AT_FDCWD, path, times, 0), 0);
       }},
  };
  FileDigester digester;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(c.name, std::string(200000, 'x'));
    platform::FileState opened;
    const OpenFile file(platform::open_file(entry_named(c.name), opened));
    ASSERT_GE(file.fd(), 0);
    c.change(c.name);
    try {
      digester.digest_open(file.fd(), opened, c.name);
      ADD_FAILURE() << "a digest of a file that changed";
    } catch (const FileError& error) {
      EXPECT_EQ(error.what(), "Cannot read \"" + std::string(c.name) + "\": File changed while it was read.");
    }
  }
}

// A chain of `levels` folders named ddd below `root`, with bottom.txt holding "deep" at its end. Returns the
// lists a run must leave.
Lists make_deep_tree(const std::string& root, int levels, const std::string& name = "ddd") {
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < levels && fd >= 0; ++level) {
    const int inner = ::mkdirat(fd, name.c_str(), 0755) == 0 ? ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY) : -1;
    ::close(fd);
    fd = inner;
  }

  const int file = fd >= 0 ? ::openat(fd, "bottom.txt", O_WRONLY | O_CREAT, 0644) : -1;
  if (file < 0 || ::write(file, "deep", 4) != 4) {
    throw system_failure("making a deep tree");
  }
  ::close(file);
  ::close(fd);
  Lists lists;
  std::string path;
  for (int level = 0; level < levels; ++level) {
    path += name + "\\";
    lists.folders += path + "\r\n";
  }
  lists.patchlist = path + "bottom.txt " + reference_sha256("deep") + "\r\n";
  for (char& c : lists.patchlist) {
    c = c == '\\' ? '/' : c;
  }
  return lists;
}

// Paths far beyond the longest a system call takes, and memory that grows with the depth, not its square. A tree
// deeper than open files may be ends the run where they run out.
TEST(Hostile, DeepTreesAreWalkedWhateverTheLimitsOfPaths) {
  const struct {
    int levels;
    std::size_t name_length;
  } cases[] = {{2000, 3}, {400, 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.levels) + " levels of " + std::to_string(c.name_length));
    TempDir dir;
    const Lists expected = make_deep_tree(dir.path(), c.levels, std::string(c.name_length, 'd'));
    RunOptions options;
    options.measure_memory = !k_sanitized;
    // The usual soft limit, which the program must raise to the hard one to hold 2,000 folders open.
    options.open_files_soft = 1024;
    options.open_files_hard = 4096;
    const RunResult run = run_treeinv(dir.path(), options);
    expect_clean_run(run);
    if (options.measure_memory) {
      EXPECT_GT(run.peak_kib, 0);
      EXPECT_LE(run.peak_kib, 16 * 1024);
    }
    const std::string folders = read_file(dir / "folders.txt");
    EXPECT_EQ(folders, expected.folders);
    // The bottom file's line, and those of the two lists.
    const std::string patchlist = read_file(dir / "patchlist.txt");
    EXPECT_NE(patchlist.find(expected.patchlist), std::string::npos);
    EXPECT_EQ(std::count(patchlist.begin(), patchlist.end(), '\n'), 3);
  }
  if (!k_sanitized) {
    TempDir dir;
    make_deep_tree(dir.path(), 300, "ddd");
    RunOptions options;
    options.open_files_soft = options.open_files_hard = 20;
    // The standard streams, the lists, the starting folder and 14 below it.
    std::string deepest = dir.path();
    for (int level = 0; level < 15; ++level) {
      deepest += "/ddd";
    }
    expect_failure(run_treeinv(dir.path(), options),
                   "recursive_directory_iterator::operator++: Too many open files [" + deepest + "]");
  }
}

// Whatever the listing said an entry was, what it is when reached decides: a file swapped for a link to a device or
// a FIFO is refused without blocking, a FIFO swapped for a folder is listed and entered, and a file that gives more
// bytes than its size is not hashed.
TEST(Hostile, EntriesAreTakenForWhatTheyAreWhenReached) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  write_file("to device", "x");
  write_file("to fifo", "x");
  const platform::FileEntry to_device = entry_named("to device");
  const platform::FileEntry to_fifo = entry_named("to fifo");
  ASSERT_EQ(::unlink("to device"), 0);
  make_symlink("/dev/zero", "to device");
  ASSERT_EQ(::unlink("to fifo"), 0);
  ASSERT_EQ(::mkfifo("to fifo", 0644), 0);
  FileDigester digester;
  for (const auto* entry : {&to_device, &to_fifo}) {
    try {
      digester.digest(*entry, entry->name);
      ADD_FAILURE() << entry->name << " was hashed";
    } catch (const FileError& error) {
      EXPECT_EQ(error.what(), "Cannot open \"" + entry->name + "\": No such device or address.");
    }
  }
  make_symlink("/proc/self/pagemap", "endless");
  try {
    digester.digest(entry_named("endless"), "endless");
    ADD_FAILURE() << "an endless file was hashed";
  } catch (const FileError& error) {
    EXPECT_EQ(error.what(), std::string("Cannot read \"endless\": File holds more bytes than its size."));
  }
  ASSERT_EQ(::unlink("endless"), 0);
  ASSERT_EQ(::unlink("to device"), 0);
  ASSERT_EQ(::unlink("to fifo"), 0);

  ASSERT_EQ(::mkfifo("later a folder", 0644), 0);
  platform::Walk walk(platform::start_prefix());
  ASSERT_EQ(::unlink("later a folder"), 0);
  make_dir("later a folder");
  write_file("later a folder/inside", "inside");
  std::map<std::string, platform::Kind> seen;
  for (; !walk.at_end(); walk.advance()) {
    seen[walk.relative_path()] = walk.kind();
  }
  const std::map<std::string, platform::Kind> expected = {{"later a folder", platform::Kind::directory},
                                                          {"later a folder/inside", platform::Kind::other}};
  EXPECT_EQ(seen, expected);

  // A folder swapped for a link to one outside the tree once the walk has seen it is never entered.
  TempDir outside;
  write_file(outside / "secret", "secret");
  ASSERT_EQ(::unlink("later a folder/inside"), 0);
  ASSERT_EQ(::rmdir("later a folder"), 0);
  make_dir("sub");
  platform::Walk swapped(platform::start_prefix());
  ASSERT_EQ(swapped.relative_path(), "sub");
  ASSERT_EQ(swapped.kind(), platform::Kind::directory);
  ASSERT_EQ(::rmdir("sub"), 0);
  make_symlink(outside.path(), "sub");
  try {
    swapped.advance();
    ADD_FAILURE() << "entered " << (swapped.at_end() ? std::string("nothing") : swapped.relative_path());
  } catch (const std::system_error& error) {
    EXPECT_EQ(std::string(error.what()),
              "filesystem error: recursive_directory_iterator::operator++: Not a directory [" + (dir / "sub") + "]");
  }
}

// A list in a folder that everyone may write to, such as /tmp, that belongs to another user could be rewritten by
// that user after the run.
TEST(Hostile, AListAnotherUserOwnsInASharedFolderIsRefused) {
  if (!dropping_privileges()) {
    GTEST_SKIP() << "needs root to give a file to another user";
  }
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
  write_file(dir / "patchlist.txt", "theirs");
  ASSERT_EQ(::chown((dir / "patchlist.txt").c_str(), 65534, 65534), 0);
  expect_failure(run_treeinv(dir.path()),
                 "Cannot create \"patchlist.txt\": Is owned by another user in a shared folder.");
  EXPECT_EQ(read_file(dir / "patchlist.txt"), "theirs");
  // Without the sticky bit, the folder's writers could replace the file anyway: it is theirs to give.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  expect_clean_run(run_treeinv(dir.path()));
}

// Without /proc (a chroot, a bare container), lists that exist already and links to files are opened by name, and
// only if the name still leads to the file that was looked at.
TEST(Hostile, WithoutProcListsAreRewrittenAndLinksFollowed) {
  if (k_sanitized) {
    GTEST_SKIP() << "the sanitizers' runtimes read /proc themselves";
  }
  TempDir dir;
  write_file(dir / "file", "contents");
  make_symlink("file", dir / "link");
  write_file(dir / "patchlist.txt", "old");
  write_file(dir / "folders.txt", "old");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A mount namespace of its own, in which /proc is gone.
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::umount2("/proc", MNT_DETACH) != 0) {
      ::_exit(2);
    }
    ::_exit(run_treeinv(dir.path()).exit_status == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
    GTEST_SKIP() << "cannot hide /proc here";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  expect_lists_match_model(dir.path());
}

// Out of memory at any allocation, a run ends with an error or gives the lists of any run: never lists that lack
// entries the walk had read. The walk itself is never retried after it ran out of memory.
TEST(Hostile, RunningOutOfMemoryAtAnyPointNeverLosesEntries) {
  if (k_sanitized) {
    GTEST_SKIP() << "the sanitizers' allocators stand in for this one";
  }
  TempDir dir;
  for (const char* folder : {"a", "b", "b/sub"}) {
    make_dir(dir / folder);
    for (int i = 0; i < 12; ++i) {
      write_file(dir / (std::string(folder) + "/file_with_a_longish_name_" + std::to_string(i)), std::to_string(i));
    }
  }
  ScopedChdir in_dir(dir.path());
  take_inventory(2);
  const Lists expected = model_inventory(dir.path());
  int completed = 0;
  for (long allocations = 0; allocations < 1500; allocations += 3) {
    g_allocations_left = allocations;
    try {
      take_inventory(2);
      g_allocations_left = -1;
      ++completed;
      ASSERT_EQ(read_file("folders.txt"), expected.folders) << allocations;
      ASSERT_EQ(read_file("patchlist.txt"), model_inventory(dir.path()).patchlist) << allocations;
    } catch (const std::bad_alloc&) {
      g_allocations_left = -1;
    }
  }
  EXPECT_GT(completed, 0);
}

// Asked to stop, the run ends between two lines with one message, and by the signal, as its sender expects; also
// while it waits for a lease that is never given up.
TEST(Hostile, ASignalEndsTheRunBetweenTwoLines) {
  TempDir dir;
  for (int i = 0; i < 12; ++i) {
    make_sparse_file(dir / (std::string(200, 'n') + std::to_string(i)), std::uint64_t{1} << 30);
  }
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    ::unlink((dir / "patchlist.txt").c_str());
    RunOptions options;
    options.signal = signal;
    options.signal_after_ms = 300;
    const RunResult run = run_treeinv(dir.path(), options);
    EXPECT_EQ(run.signal, signal);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.err, std::string("treeinv: Stopped by ") +
                           (signal == SIGINT    ? "SIGINT"
                            : signal == SIGTERM ? "SIGTERM"
                                                : "SIGHUP") +
                           "\n");
    const std::string patchlist = read_file(dir / "patchlist.txt");
    EXPECT_LT(std::count(patchlist.begin(), patchlist.end(), '\n'), 14) << "the signal came too late to test";
    EXPECT_TRUE(patchlist.empty() || patchlist.substr(patchlist.size() - 2) == "\r\n");
  }
  // Folders alone need no digest: the loop that writes the lines must see the request itself.
  TempDir folders;
  for (int i = 0; i < 40; ++i) {
    make_dir(folders / std::to_string(i));
    for (int j = 0; j < 50; ++j) {
      make_dir(folders / (std::to_string(i) + "/" + std::to_string(j)));
    }
  }
  RunOptions options;
  options.signal = SIGINT;
  const RunResult run = run_treeinv(folders.path(), options);
  EXPECT_EQ(run.signal, SIGINT);
  EXPECT_EQ(run.err, "treeinv: Stopped by SIGINT\n");
  const std::string listed = read_file(folders / "folders.txt");
  EXPECT_LT(std::count(listed.begin(), listed.end(), '\n'), 40 * 51) << "the signal came too late to test";
}

// The workers fit the processors the program may run on, not those the machine has.
TEST(Hostile, TheDefaultWorkersFollowTheAffinity) {
  cpu_set_t all;
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  std::vector<int> allowed;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      allowed.push_back(cpu);
    }
  }
  for (const std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
    if (count > allowed.size()) {
      break;
    }
    cpu_set_t some;
    CPU_ZERO(&some);
    for (std::size_t i = 0; i < count; ++i) {
      CPU_SET(allowed[i], &some);
    }
    ASSERT_EQ(::sched_setaffinity(0, sizeof some, &some), 0);
    EXPECT_EQ(DigestQueue::default_workers(), count == 1 ? 0u : count) << count;
  }
  ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);
}

// Under any limit on open files, a run with workers ends where one without them does, with the same lines: reading
// ahead only ever takes open files the walk can spare. Folders are left while their files wait in the window, each
// file big enough to keep the caller busy while the workers hash those behind it.
TEST(Hostile, ReadingAheadUnderFewOpenFilesEndsWhereARunWithoutItEnds) {
  if (k_sanitized) {
    GTEST_SKIP() << "the sanitizers' runtimes need open files of their own";
  }
  TempDir dir;
  std::string level = dir.path();
  for (int depth = 0; depth < 10; ++depth) {
    for (const char* folder : {"/s0", "/s1", "/s2"}) {
      make_dir(level + folder);
      make_sparse_file(level + folder + "/f", 2 << 20);
    }
    level += "/d";
    make_dir(level);
  }
  const auto outcome = [&](unsigned workers, rlim_t limit) {
    int ends[2];
    if (::pipe(ends) != 0) {
      throw system_failure("pipe");
    }
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(ends[0]);
      const rlimit few{limit, limit};
      std::string result = "complete";
      try {
        ::setrlimit(RLIMIT_NOFILE, &few);
        ScopedChdir in_dir(dir.path());
        take_inventory(workers);
      } catch (const std::exception& error) {
        result = error.what();
      }
      ::_exit(::write(ends[1], result.data(), result.size()) == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    ::close(ends[1]);
    std::string result;
    char buffer[512];
    for (ssize_t size; (size = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
      result.append(buffer, static_cast<std::size_t>(size));
    }
    ::close(ends[0]);
    ::waitpid(child, nullptr, 0);
    return result + "\n" + read_file(dir / "folders.txt") + read_file(dir / "patchlist.txt");
  };
  for (rlim_t limit = 12; limit <= 57; limit += 3) {
    EXPECT_EQ(outcome(3, limit), outcome(0, limit)) << "at most " << limit << " open files";
  }
}

// Sparse files of 256 MiB, which take the program a while to hash, and the lists a run alone leaves over them.
Lists slow_tree(const TempDir& dir) {
  for (int i = 0; i < 3; ++i) {
    make_sparse_file(dir / ("big" + std::to_string(i)), std::uint64_t{1} << 28);
  }
  if (run_treeinv(dir.path()).exit_status != 0) {
    throw std::runtime_error("a run over the slow tree failed");
  }
  return {read_file(dir / "folders.txt"), read_file(dir / "patchlist.txt")};
}

// A second run in the same folder is refused and leaves the first one's lists alone, which still come out whole.
TEST(Hostile, ASecondRunInTheSameFolderIsRefused) {
  TempDir dir;
  const Lists alone = slow_tree(dir);
  const pid_t first = ::fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    RunOptions options;
    options.processors = 1;
    const RunResult run = run_treeinv(dir.path(), options);
    ::_exit(run.exit_status == 0 && run.err.empty() ? 0 : 1);
  }
  // Until the first run holds its lists.
  bool held = false;
  for (int i = 0; i < 500 && !held; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const int fd = ::open((dir / "folders.txt").c_str(), O_RDONLY);
    held = fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
  }
  ASSERT_TRUE(held);
  expect_failure(run_treeinv(dir.path()), "Cannot create \"patchlist.txt\": In use by another run.");
  int status = 0;
  ASSERT_EQ(::waitpid(first, &status, 0), first);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(dir / "folders.txt"), alone.folders);
  EXPECT_EQ(read_file(dir / "patchlist.txt"), alone.patchlist);
}

// Whoever starts the program with a stop signal blocked keeps it blocked, also once the workers have started.
TEST(Hostile, ASignalTheParentBlockedStaysBlocked) {
  TempDir dir;
  const Lists alone = slow_tree(dir);
  RunOptions options;
  options.blocked_signal = SIGINT;
  options.signal = SIGINT;
  options.signal_after_ms = 100;
  expect_clean_run(run_treeinv(dir.path(), options));
  EXPECT_EQ(read_file(dir / "patchlist.txt"), alone.patchlist);
}

// With a umask that leaves new files no permission at all, the lists are made unreadable by name, and are hashed
// through the descriptors that write them.
TEST(Hostile, ListsUnreadableByNameAreStillHashed) {
  TempDir dir;
  write_file(dir / "file", "x");
  RunOptions options;
  options.user = User::unprivileged;
  options.umask = 0777;
  expect_clean_run(run_treeinv(dir.path(), options));
  expect_lists_match_model(dir.path());
}

// A file server over /dev/fuse serving one folder of files in the order given, as a network file system does whose
// server stops answering: a read of the file named "hung" gets no answer unless it is interrupted, and then fails
// with EINTR. The server is killed and its folder unmounted with this object, whatever happened; until then a
// process stuck in such a read cannot end.
class HungServer {
public:
  struct File {
    std::string name;
    std::uint64_t size = 0;
    int open_error = 0;
  };

  HungServer(const std::string& folder, const std::vector<File>& files) : m_folder(folder) {
    int held[2];
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0 || ::pipe(held) != 0) {
      return;
    }
    const std::string options = "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=0,group_id=0";
    if (::mount("treeinv-test", folder.c_str(), "fuse.treeinv-test", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
      m_server = ::fork();
      if (m_server == 0) {
        ::close(held[0]);
        serve(fuse, files, held[1]);
      }
    }
    // The server's copy alone keeps the connection: killed, it takes every request with it.
    ::close(fuse);
    ::close(held[1]);
    m_held = held[0];
  }
  ~HungServer() {
    if (m_server > 0) {
      ::kill(m_server, SIGKILL);
      ::waitpid(m_server, nullptr, 0);
    }
    ::umount2(m_folder.c_str(), MNT_DETACH);
    ::close(m_held);
  }
  HungServer(const HungServer&) = delete;
  HungServer& operator=(const HungServer&) = delete;

  bool serving() const { return m_server > 0; }

  // Whether a read of "hung" is held within 10 s.
  bool holds_a_read() const {
    pollfd ready{m_held, POLLIN, 0};
    char byte = 0;
    return ::poll(&ready, 1, 10000) == 1 && ::read(m_held, &byte, 1) == 1;
  }

private:
  [[noreturn]] static void serve(int fuse, const std::vector<File>& files, int held) {
    std::vector<char> request(1 << 20);
    const std::vector<char> zeros(1 << 20);
    std::uint64_t held_read = 0;
    for (;;) {
      const ssize_t size = ::read(fuse, request.data(), request.size());
      if (size < 0 && (errno == EINTR || errno == ENOENT)) {
        continue;
      }
      if (size < static_cast<ssize_t>(sizeof(fuse_in_header))) {
        ::_exit(0);
      }
      const auto& in = *reinterpret_cast<const fuse_in_header*>(request.data());
      const char* argument = request.data() + sizeof in;
      const auto reply = [&](int error, const void* data = nullptr, std::size_t length = 0, std::uint64_t to = 0) {
        fuse_out_header out{static_cast<std::uint32_t>(sizeof out + length), -error, to != 0 ? to : in.unique};
        iovec parts[] = {{&out, sizeof out}, {const_cast<void*>(data), length}};
        if (::writev(fuse, parts, 2) < 0) {
          // The request was interrupted meanwhile.
        }
      };
      // Node 1 is the folder, node 2 + i the file i.
      const File* file = in.nodeid >= 2 && in.nodeid - 2 < files.size() ? &files[in.nodeid - 2] : nullptr;
      const auto attributes = [&](std::uint64_t node) {
        fuse_attr attr{};
        attr.ino = node;
        attr.nlink = 1;
        attr.mode = node == 1 ? S_IFDIR | 0755 : S_IFREG | 0644;
        attr.size = node == 1 ? 0 : files[node - 2].size;
        return attr;
      };
      switch (in.opcode) {
      case FUSE_INIT: {
        fuse_init_out out{};
        out.major = FUSE_KERNEL_VERSION;
        out.minor = 22;
        out.max_write = 4096;
        reply(0, &out, FUSE_COMPAT_22_INIT_OUT_SIZE);
        break;
      }
      case FUSE_GETATTR: {
        fuse_attr_out out{};
        out.attr = attributes(in.nodeid);
        reply(0, &out, sizeof out);
        break;
      }
      case FUSE_LOOKUP: {
        const auto found = std::find_if(files.begin(), files.end(), [&](const File& f) { return f.name == argument; });
        fuse_entry_out out{};
        out.nodeid = static_cast<std::uint64_t>(found - files.begin()) + 2;
        out.attr = attributes(out.nodeid);
        found == files.end() ? reply(ENOENT) : reply(0, &out, sizeof out);
        break;
      }
      case FUSE_OPEN:
      case FUSE_OPENDIR: {
        // Direct reads, answered one by one, as a network file system's are.
        fuse_open_out out{};
        out.open_flags = FOPEN_DIRECT_IO;
        file != nullptr && file->open_error != 0 ? reply(file->open_error) : reply(0, &out, sizeof out);
        break;
      }
      case FUSE_READDIR: {
        const auto& read = *reinterpret_cast<const fuse_read_in*>(argument);
        std::vector<char> entries;
        for (std::size_t i = read.offset; i < files.size(); ++i) {
          const std::size_t at = entries.size();
          entries.resize(at + FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + files[i].name.size()));
          auto* entry = reinterpret_cast<fuse_dirent*>(entries.data() + at);
          entry->ino = i + 2;
          entry->off = i + 1;
          entry->namelen = static_cast<std::uint32_t>(files[i].name.size());
          entry->type = DT_REG;
          files[i].name.copy(entries.data() + at + FUSE_NAME_OFFSET, files[i].name.size());
        }
        reply(0, entries.data(), std::min<std::size_t>(entries.size(), read.size));
        break;
      }
      case FUSE_READ: {
        const auto& read = *reinterpret_cast<const fuse_read_in*>(argument);
        if (file != nullptr && file->name == "hung") {
          held_read = in.unique;
          if (::write(held, "h", 1) != 1) {
            ::_exit(1);
          }
        } else if (file != nullptr) {
          const std::uint64_t left = read.offset < file->size ? file->size - read.offset : 0;
          reply(0, zeros.data(), std::min<std::uint64_t>({left, read.size, zeros.size()}));
        }
        break;
      }
      case FUSE_INTERRUPT:
        if (reinterpret_cast<const fuse_interrupt_in*>(argument)->unique == held_read) {
          reply(EINTR, nullptr, 0, held_read);
        }
        break;
      case FUSE_FORGET:
      case FUSE_BATCH_FORGET:
        break;
      case FUSE_RELEASE:
      case FUSE_RELEASEDIR:
      case FUSE_FLUSH:
        reply(0);
        break;
      default:
        reply(ENOSYS);
      }
    }
  }

  std::string m_folder;
  pid_t m_server = -1;
  int m_held = -1;
};

// Runs the program beside a server that may hold it up, in a process of its own: its status (or 100 and the
// signal that ended it) once it ends within `seconds`, -1 otherwise.
int run_held_up(const std::string& directory, const RunOptions& options, pid_t& runner, int seconds) {
  runner = ::fork();
  if (runner == 0) {
    const RunResult run = run_treeinv(directory, options);
    ::_exit(run.signal != 0 ? 100 + run.signal : run.exit_status);
  }
  for (int i = 0; i < seconds * 100; ++i) {
    int status = 0;
    if (::waitpid(runner, &status, WNOHANG) == runner) {
      runner = -1;
      return WEXITSTATUS(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

// A read that a file server never answers holds up nothing else: with workers, one of them stuck in such a read
// ahead keeps the process from ending until its server goes, but the error before it is told at once and the
// lists are let go, as a run without workers tells it. A read that the server gives up when interrupted gives way
// to a stop request.
TEST(Hostile, AFileServerThatStopsAnsweringHoldsUpNoErrorAndNoStop) {
  if (!dropping_privileges() || ::access("/dev/fuse", R_OK | W_OK) != 0) {
    GTEST_SKIP() << "needs /dev/fuse and root to mount a file server";
  }
  for (const unsigned processors : {2u, 1u}) {
    SCOPED_TRACE(processors == 1 ? "without workers" : "with workers");
    TempDir dir;
    TempDir output;
    make_dir(dir / "m");
    // A big file for the workers to start on, a file that cannot be opened, the file whose read hangs, and enough
    // more to wake the workers while the big one is read.
    std::vector<HungServer::File> files = {{"big", 64 << 20, 0}, {"bad", 1, EACCES}, {"hung", 1 << 20, 0}};
    for (int i = 0; i < 14; ++i) {
      files.push_back({"more" + std::to_string(i), 0, 0});
    }
    HungServer server(dir / "m", files);
    if (!server.serving()) {
      GTEST_SKIP() << "cannot mount a file server here";
    }
    RunOptions options;
    options.processors = processors;
    options.stderr_file = output / "err";
    pid_t runner = -1;
    const int status = run_held_up(dir.path(), options, runner, processors == 1 ? 20 : 3);
    if (processors == 1) {
      EXPECT_EQ(status, 1);
    } else {
      EXPECT_TRUE(server.holds_a_read()) << "no worker reached the file that hangs: nothing was tested";
      // Told at once, with the lists let go, while the worker still hangs.
      for (int i = 0; i < 1000 && read_file(output / "err").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      const int list = ::open((dir / "patchlist.txt").c_str(), O_RDONLY);
      EXPECT_EQ(::flock(list, LOCK_EX | LOCK_NB), 0) << "the lists are still held";
      ::close(list);
    }
    EXPECT_EQ(read_file(output / "err"), "treeinv: Cannot open \"m/bad\": Permission denied.\n");
    if (runner > 0) {
      ::kill(runner, SIGKILL);
    }
  }

  // Asked to stop while a read is held, the server gives it up with EINTR, and the run stops.
  TempDir dir;
  TempDir output;
  make_dir(dir / "m");
  HungServer server(dir / "m", {{"hung", 1 << 20, 0}});
  if (!server.serving()) {
    GTEST_SKIP() << "cannot mount a file server here";
  }
  RunOptions options;
  options.stderr_file = output / "err";
  options.signal = SIGINT;
  options.signal_after_ms = 500;
  pid_t runner = -1;
  EXPECT_EQ(run_held_up(dir.path(), options, runner, 10), 100 + SIGINT);
  EXPECT_EQ(read_file(output / "err"), "treeinv: Stopped by SIGINT\n");
  if (runner > 0) {
    ::kill(runner, SIGKILL);
  }
}

} // namespace
} // namespace treeinv::test

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// With malloc, as the library's own; its operator delete frees with free().
void* operator new(std::size_t size) {
  if (treeinv::test::g_allocations_left >= 0 && treeinv::test::g_allocations_left-- == 0) {
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size > 0 ? size : 1)) {
    return block;
  }
  throw std::bad_alloc();
}
#endif
