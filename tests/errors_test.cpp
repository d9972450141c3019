// Every way a run of the real program ends in error: exit status 1, one line on standard error, and nothing but
// complete lines left in the lists.
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

namespace treeinv::test {
namespace {

TEST(RunErrors, EntriesThatCannotBeOpenedEndTheRunWithTheOpenMessage) {
  struct Case {
    const char* target; // of a link named "entry"; nullptr for a FIFO
    const char* reason;
  };
  for (const Case& c : {Case{"nowhere", "No such file or directory"}, Case{"/dev/zero", "No such device or address"},
                        Case{nullptr, "No such device or address"}}) {
    SCOPED_TRACE(c.target != nullptr ? c.target : "fifo");
    TempDir dir;
    write_file(dir / "ok.txt", "fine");
    if (c.target != nullptr) {
      make_symlink(c.target, dir / "entry");
    } else {
      ASSERT_EQ(::mkfifo((dir / "entry").c_str(), 0644), 0);
    }
    expect_failure(run_treeinv(dir.path()), std::string("Cannot open \"entry\": ") + c.reason + ".");
    expect_no_line_for(dir, "entry");
  }
}

TEST(RunErrors, AFileThatFailsWhileBeingReadIsAnError) {
  TempDir dir;
  make_symlink("/proc/self/mem", dir / "mem");
  expect_failure(run_treeinv(dir.path()), "Cannot read \"mem\": Input/output error.");
  expect_no_line_for(dir, "mem");
}

TEST(RunErrors, NamesTheListsCannotCarryEndTheRunBeforeTheirLine) {
  for (const std::string name : {"back\\slash", "line\nfeed", "carriage\rreturn"}) {
    TempDir dir;
    make_dir(dir / "sub");
    make_dir(dir / "sub/" + name);
    const std::string shown = name == "back\\slash" ? name : name == "line\nfeed" ? "line\\nfeed" : "carriage\\rreturn";
    expect_failure(run_treeinv(dir.path()),
                   "Cannot list \"sub/" + shown + "\": Invalid or incomplete multibyte or wide character");
    expect_no_line_for(dir, name);
  }
}

TEST(RunErrors, ControlCharactersInMessagesAreEscaped) {
  TempDir dir;
  make_symlink("nowhere", dir / "bell\x07\x1b[31m\x7f");
  expect_failure(run_treeinv(dir.path()), "Cannot open \"bell\\x07\\x1b[31m\\x7f\": No such file or directory.");
}

TEST(RunErrors, StatusFailureOtherThanNotFoundIsAnError) {
  TempDir dir;
  make_symlink("loop", dir / "loop");
  expect_failure(run_treeinv(dir.path()), "status: Too many levels of symbolic links [" + (dir / "loop") + "]");
  expect_no_line_for(dir, "loop");
}

TEST(RunErrors, DeletedStartingDirectory) {
  TempDir dir;
  make_dir(dir / "gone");
  RunOptions options;
  options.remove_directory_first = true;
  expect_failure(run_treeinv(dir / "gone", options), "current_path(): No such file or directory");
}

TEST(RunErrors, WriteFailureEndsTheRunAndLeavesOnlyCompleteLines) {
  TempDir dir;
  for (int i = 0; i < 40; ++i) {
    write_file(dir / ("file" + std::to_string(i)), std::to_string(i));
  }
  RunOptions options;
  options.file_size_limit = 1000;
  expect_failure(run_treeinv(dir.path(), options), "Cannot write \"patchlist.txt\": File too large.");

  const std::string written = read_file(dir / "patchlist.txt");
  ASSERT_GE(written.size(), 2u);
  EXPECT_LE(written.size(), 1000u);
  EXPECT_EQ(written.substr(written.size() - 2), "\r\n");
  // What was written is exactly the start of a complete run's list, and stops short of a whole further line.
  ASSERT_EQ(run_treeinv(dir.path()).exit_status, 0);
  const std::string complete = read_file(dir / "patchlist.txt");
  EXPECT_EQ(complete.substr(0, written.size()), written);
  EXPECT_GT(complete.find("\r\n", written.size()) + 2, 1000u);
}

// A text the user asked for that does not arrive whole is an error, not a silent status 0.
TEST(RunErrors, HelpAndVersionThatCannotBeWrittenEndWithStatusOne) {
  TempDir dir;
  for (const char* argument : {"--help", "--version"}) {
    for (const bool full : {true, false}) {
      SCOPED_TRACE(std::string(argument) + (full ? " to a full device" : " to a closed pipe"));
      RunOptions options;
      options.arguments = {argument};
      options.stdout_file = full ? "/dev/full" : "";
      options.broken_stdout = !full;
      expect_failure(run_treeinv(dir.path(), options), std::string("Cannot write to standard output: ") +
                                                           (full ? "No space left on device." : "Broken pipe."));
    }
  }
  EXPECT_TRUE(enumeration_order(dir.path()).empty());
}

// Permission failures, run as an unprivileged user since root is not refused anything.
class PermissionErrors : public ::testing::Test {
protected:
  RunResult run_unprivileged(const std::string& directory) {
    RunOptions options;
    options.user = User::unprivileged;
    return run_treeinv(directory, options);
  }
  TempDir dir;
};

TEST_F(PermissionErrors, UnreadableFile) {
  write_file(dir / "secret.bin", "secret");
  ASSERT_EQ(::chmod((dir / "secret.bin").c_str(), 0), 0);
  expect_failure(run_unprivileged(dir.path()), "Cannot open \"secret.bin\": Permission denied.");
  expect_no_line_for(dir, "secret.bin");
}

TEST_F(PermissionErrors, UnreadableFolderIsListedThenEndsTheRun) {
  make_dir(dir / "locked");
  write_file(dir / "locked/inside", "x");
  ASSERT_EQ(::chmod((dir / "locked").c_str(), 0), 0);
  expect_failure(run_unprivileged(dir.path()),
                 "recursive_directory_iterator::operator++: Permission denied [" + (dir / "locked") + "]");
  EXPECT_NE(read_file(dir / "folders.txt").find("locked\\\r\n"), std::string::npos);
  expect_no_line_for(dir, "inside");
}

// Whatever the listing says an entry in it is, a file or a folder.
TEST_F(PermissionErrors, FolderReadableButNotSearchableFailsTheStatus) {
  for (const bool folder : {false, true}) {
    SCOPED_TRACE(folder ? "folder" : "file");
    TempDir start;
    make_dir(start / "noexec");
    if (folder) {
      make_dir(start / "noexec/inner");
    } else {
      write_file(start / "noexec/inner", "x");
    }
    ASSERT_EQ(::chmod((start / "noexec").c_str(), 0444), 0);
    expect_failure(run_unprivileged(start.path()), "status: Permission denied [" + (start / "noexec/inner") + "]");
  }
}

TEST_F(PermissionErrors, ReadOnlyStartingDirectory) {
  write_file(dir / "file", "x");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  expect_failure(run_unprivileged(dir.path()), "Cannot create \"patchlist.txt\": Permission denied.");
  EXPECT_NE(::access((dir / "patchlist.txt").c_str(), F_OK), 0);
}

TEST_F(PermissionErrors, UnreadableStartingDirectoryFailsTheWalkAfterCreatingTheLists) {
  ASSERT_EQ(::chmod(dir.path().c_str(), 0333), 0);
  expect_failure(run_unprivileged(dir.path()),
                 "recursive_directory_iterator::recursive_directory_iterator: Permission denied [" + dir.path() + "]");
  EXPECT_EQ(read_file(dir / "patchlist.txt"), "");
  EXPECT_EQ(read_file(dir / "folders.txt"), "");
}

} // namespace
} // namespace treeinv::test
