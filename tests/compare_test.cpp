// The check of a tree against its lists and the comparison of two inventories, through the real program: every kind
// of difference, malformed lists, and lists that are no files at all.
#include "list_files.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace treeinv::test {
namespace {

#ifdef _WIN32
constexpr const char* k_newline = "\r\n";
#else
constexpr const char* k_newline = "\n";
#endif

std::string lines(const std::vector<std::string>& each) {
  std::string text;
  for (const std::string& line : each) {
    text += line + k_newline;
  }
  return text;
}

RunResult run_with(const std::string& directory, std::vector<std::string> arguments) {
  RunOptions options;
  options.arguments = std::move(arguments);
  return run_treeinv(directory, options);
}

void expect_error(const RunResult& run, const std::string& message) {
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "treeinv: " + message + k_newline);
}

// Every kind of difference, in the order promised: changes and plainly new entries as the walk meets them, then
// moves, new files that might have been moves, and what is missing. Two equal files moved together are no move,
// and a file that became a folder is missing as a file and new as a folder.
TEST(Check, TellsEveryKindOfDifference) {
  TempDir dir;
  for (const char* folder : {"a", "a/x", "gone", "gone/inner", "twins"}) {
    make_dir(dir / folder);
  }
  write_file(dir / "a/changes.txt", "before");
  write_file(dir / "a/moves.txt", "moving");
  write_file(dir / "a/x/inside", "x");
  write_file(dir / "gone/inner/file", "gone");
  write_file(dir / "twins/one", "twin");
  write_file(dir / "twins/two", "twin");
  write_file(dir / "stays", "same");
  expect_clean_run(run_treeinv(dir.path()));
  const RunResult unchanged = run_with(dir.path(), {"--check"});
  expect_clean_run(unchanged);

  write_file(dir / "a/changes.txt", "after");
  make_dir(dir / "b");
  ASSERT_EQ(std::rename((dir / "a/moves.txt").c_str(), (dir / "b/moved.txt").c_str()), 0);
  make_dir(dir / "twins2");
  ASSERT_EQ(std::rename((dir / "twins/one").c_str(), (dir / "twins2/one").c_str()), 0);
  ASSERT_EQ(std::rename((dir / "twins/two").c_str(), (dir / "twins2/two").c_str()), 0);
  write_file(dir / "b/fresh.txt", "fresh");
  for (const char* gone : {"gone/inner/file", "gone/inner", "gone", "a/x/inside", "a/x"}) {
    ASSERT_TRUE(std::filesystem::remove(dir / gone)) << gone;
  }
  write_file(dir / "a/x", "a file now");
  const std::string folders = read_file(dir / "folders.txt");
  const std::string patchlist = read_file(dir / "patchlist.txt");
  const RunResult run = run_with(dir.path(), {"--check"});
  EXPECT_EQ(read_file(dir / "folders.txt"), folders);
  EXPECT_EQ(read_file(dir / "patchlist.txt"), patchlist);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, std::string("treeinv: 1 changed, 6 new, 7 missing, 1 moved") + k_newline);

  // Met by the walk, in its order.
  std::string expected;
  for (const std::string& name : enumeration_order(dir.path())) {
    for (const std::string& inner : name == "a" ? enumeration_order(dir / "a") : std::vector<std::string>()) {
      expected += lines({inner == "x" ? "new a/x" : "changed a/changes.txt"});
    }
    expected += name == "b" ? lines({"new b\\", "new b/fresh.txt"}) : name == "twins2" ? lines({"new twins2\\"}) : "";
  }
  const std::vector<std::string> twins = enumeration_order(dir / "twins2");
  expected += lines({"moved a/moves.txt", "to b/moved.txt", "new twins2/" + twins[0], "new twins2/" + twins[1]});
  // What is missing, in the order of the lists.
  const std::vector<std::string> missing = {"a\\x\\",          "gone\\",    "gone\\inner\\", "a/x/inside",
                                            "gone/inner/file", "twins/one", "twins/two"};
  for (const std::string* list : {&folders, &patchlist}) {
    for (std::size_t start = 0, end; (end = list->find("\r\n", start)) != std::string::npos; start = end + 2) {
      std::string path = list->substr(start, end - start);
      path = list == &patchlist ? path.substr(0, path.rfind(' ')) : path;
      if (std::find(missing.begin(), missing.end(), path) != missing.end()) {
        expected += lines({"missing " + path});
      }
    }
  }
  EXPECT_EQ(run.out, expected);
}

// Two saved inventories are compared by their lists alone: no tree needs to be there.
TEST(Compare, NeedsNothingButTheLists) {
  TempDir dir;
  const std::string digest_a(64, 'a');
  const std::string digest_b(64, 'b');
  make_dir(dir / "old");
  make_dir(dir / "new");
  write_file(dir / "old/folders.txt", "d\\\r\n");
  write_file(dir / "old/patchlist.txt", "d/f " + digest_a + "\r\nfolders.txt " + digest_b + "\r\n");
  write_file(dir / "new/folders.txt", "d\\\r\ne\\\r\n");
  write_file(dir / "new/patchlist.txt", "e/f " + digest_a + "\r\npatchlist.txt " + digest_a + "\r\n");
  const RunResult run = run_with(dir.path(), {"--compare", "old", "new"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, lines({"new e\\", "moved d/f", "to e/f"}));
  expect_clean_run(run_with(dir.path(), {"--compare", "new", "new"}));
  // Nothing was written beside the lists.
  EXPECT_EQ(enumeration_order(dir.path()).size(), 2u);
}

// A list is untrusted: each malformed line is named with its number before anything is printed, and the bytes of a
// double-byte name whose second byte is "\" are no separator.
TEST(Compare, MalformedListsAreRefusedByTheirLineNumber) {
  TempDir dir;
  const std::string digest(64, '0');
  const std::string ok = "ok " + digest + "\r\n";
  const struct {
    const char* list;
    std::string text;
    const char* message; // null when the list is fine
  } cases[] = {
      {"patchlist.txt", ok + "f " + digest, "2: Line does not end in CR LF"},
      {"patchlist.txt", ok + "f " + digest + "\n", "2: Line does not end in CR LF"},
      {"patchlist.txt", ok + std::string(200000, 'x') + " " + digest + "\r\n", "2: Line is longer than 131072 bytes"},
      {"patchlist.txt", ok + "f" + digest + "\r\n",
       "2: No space and 64 lowercase hexadecimal digits at the end of the line"},
      {"patchlist.txt", "f " + std::string(63, 'A') + "B\r\n",
       "1: No space and 64 lowercase hexadecimal digits at the end of the line"},
      {"patchlist.txt", ok + " " + digest + "\r\n", "2: Empty path"},
      {"patchlist.txt", ok + "x\r\n" + ok, "2: No space and 64 lowercase hexadecimal digits at the end of the line"},
      {"patchlist.txt", ok + "a b " + digest + "\r\n" + ok, "3: The same path as an earlier line"},
      {"folders.txt", "a\\\r\nb\r\n", "2: No \"\\\" at the end of the folder"},
      {"folders.txt", "\\\r\n", "1: Empty path"},
      {"folders.txt", "a\\\r\n\x95\x5c\\\r\n\x95\x5c\\\\\r\n", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    write_file(dir / "folders.txt", "");
    write_file(dir / "patchlist.txt", "");
    write_file(dir / c.list, c.text);
    const RunResult run = run_with(dir.path(), {"--compare", ".", "."});
    if (c.message != nullptr) {
      expect_error(run, "./" + std::string(c.list) + ":" + c.message + ".");
    } else {
      expect_clean_run(run);
    }
  }
}

// A mistyped mode must not become an inventory that rewrites the lists, nor a check write anything.
TEST(Check, WrongInvocationsTouchNothing) {
  TempDir dir;
  write_file(dir / "file", "x");
  const char* usage = "; usage: treeinv [--check | --compare OLD NEW | --help | --version]";
  expect_error(run_with(dir.path(), {"--chek"}), std::string("Unknown option \"--chek\"") + usage);
  expect_error(run_with(dir.path(), {"--compare", "."}),
               std::string("--compare takes two folders, and nothing else") + usage);
  expect_error(run_with(dir.path(), {"--check"}), "Cannot open \"folders.txt\": No such file or directory.");
  EXPECT_EQ(enumeration_order(dir.path()), std::vector<std::string>{"file"});
  // While an inventory writes the lists, a check does not read them half written.
  ScopedChdir in_dir(dir.path());
  ListFiles lists;
  expect_error(run_with(dir.path(), {"--check"}), "Cannot open \"folders.txt\": In use by another run.");
}

#ifndef _WIN32
// A list that is a FIFO is refused without waiting for a writer; a special file in the tree ends a check as it ends an
// inventory.
TEST(Check, SpecialFilesAreErrorsAsInAnInventory) {
  TempDir dir;
  write_file(dir / "file", "x");
  expect_clean_run(run_treeinv(dir.path()));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  expect_error(run_with(dir.path(), {"--check"}), "Cannot open \"fifo\": No such device or address.");
  ASSERT_EQ(std::remove((dir / "folders.txt").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "folders.txt").c_str(), 0644), 0);
  expect_error(run_with(dir.path(), {"--check"}), "Cannot open \"folders.txt\": Is not a regular file.");
}
#endif

} // namespace
} // namespace treeinv::test
