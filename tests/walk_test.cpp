// Complete runs of the real program: the exact bytes of both lists.
#include "inventory.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace treeinv::test {
namespace {

TEST(Inventory, SmallTreeGivesExactBytes) {
  TempDir dir;
  make_dir(dir / "a");
  make_dir(dir / "a/b");
  make_dir(dir / "a/b/c");
  write_file(dir / "a/b/c/d.dat", "abc");
  write_file(dir / "a b.txt", "hello world");
  expect_clean_run(run_treeinv(dir.path()));

  // The root's entries come in enumeration order; everything below "a" is the only entry of its folder.
  std::string folders;
  std::string patchlist;
  for (const std::string& name : enumeration_order(dir.path())) {
    if (name == "a") {
      folders += "a\\\r\na\\b\\\r\na\\b\\c\\\r\n";
      patchlist += "a/b/c/d.dat ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\r\n";
    } else if (name == "a b.txt") {
      patchlist += "a b.txt b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde9\r\n";
    } else if (name == "folders.txt") {
      patchlist += "folders.txt " + reference_sha256(folders) + "\r\n";
    } else {
      ASSERT_EQ(name, "patchlist.txt");
      patchlist += "patchlist.txt " + reference_sha256(patchlist) + "\r\n";
    }
  }
  EXPECT_EQ(read_file(dir / "folders.txt"), folders);
  EXPECT_EQ(read_file(dir / "patchlist.txt"), patchlist);
}

TEST(Inventory, EmptyDirectoryListsOnlyTheListsThemselves) {
  TempDir dir;
  expect_clean_run(run_treeinv(dir.path()));
  EXPECT_EQ(read_file(dir / "folders.txt"), "");
  const std::string empty_digest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  const std::vector<std::string> order = enumeration_order(dir.path());
  ASSERT_EQ(order.size(), 2u);
  const std::string folders_line = "folders.txt " + empty_digest + "\r\n";
  const std::string expected = order[0] == "folders.txt"
                                   ? folders_line + "patchlist.txt " + reference_sha256(folders_line) + "\r\n"
                                   : "patchlist.txt " + empty_digest + "\r\n" + folders_line;
  EXPECT_EQ(read_file(dir / "patchlist.txt"), expected);
}

#ifndef _WIN32
// Symbolic links and names as raw bytes; the Windows counterparts are tested with the Windows layer.
TEST(Inventory, LinksToFoldersAreListedNotEnteredAndLinksToFilesAreHashed) {
  TempDir dir;
  make_dir(dir / "real");
  write_file(dir / "real/inner.txt", "inside");
  make_dir(dir / "empty");
  make_symlink(dir / "real", dir / "folder link");
  make_symlink("real/inner.txt", dir / "file link");
  make_symlink(".", dir / "loop");
  expect_clean_run(run_treeinv(dir.path()));

  const std::string folders = read_file(dir / "folders.txt");
  const std::string patchlist = read_file(dir / "patchlist.txt");
  EXPECT_NE(folders.find("folder link\\\r\n"), std::string::npos);
  EXPECT_NE(folders.find("loop\\\r\n"), std::string::npos);
  EXPECT_NE(folders.find("empty\\\r\n"), std::string::npos);
  EXPECT_EQ(folders.find("folder link\\inner"), std::string::npos);
  EXPECT_EQ(folders.find("loop\\real"), std::string::npos);
  EXPECT_NE(patchlist.find("file link " + reference_sha256("inside") + "\r\n"), std::string::npos);
  EXPECT_NE(patchlist.find("real/inner.txt " + reference_sha256("inside") + "\r\n"), std::string::npos);
  EXPECT_EQ(patchlist.find("folder link/"), std::string::npos);
  expect_lists_match_model(dir.path());
}

// Digests are computed ahead of the lines, but a list read through any name must still hold exactly the lines
// written before its own.
TEST(Inventory, ListsReachedThroughLinksAreReadAtTheirTurn) {
  TempDir dir;
  for (int i = 0; i < 300; ++i) {
    write_file(dir / ("file" + std::to_string(i)), std::to_string(i));
  }
  make_dir(dir / "zz");
  make_symlink("../patchlist.txt", dir / "zz/patch link");
  make_symlink(dir / "folders.txt", dir / "zz/folders link");
  expect_clean_run(run_treeinv(dir.path()));
  expect_lists_match_model(dir.path());
  // A second run finds the lists from the first one and rewrites them in place.
  expect_clean_run(run_treeinv(dir.path()));
  expect_lists_match_model(dir.path());
}

TEST(Inventory, OddNamesAreWrittenAsTheirBytes) {
  TempDir dir;
  make_dir(dir / " lead and trail ");
  write_file(dir / " lead and trail /x  y.txt", "spaces");
  write_file(dir / "latin1 \xe9\xff.bin", "not utf-8");
  write_file(dir / "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.txt", "utf-8");
  write_file(dir / "tab\there", "tab");
  write_file(dir / "-dash 'quote' \"double\" #hash", "punctuation");
  write_file(dir / ".hidden", "hidden");
  expect_clean_run(run_treeinv(dir.path()));

  const std::string patchlist = read_file(dir / "patchlist.txt");
  EXPECT_NE(patchlist.find(" lead and trail /x  y.txt " + reference_sha256("spaces") + "\r\n"), std::string::npos);
  EXPECT_NE(patchlist.find("latin1 \xe9\xff.bin " + reference_sha256("not utf-8") + "\r\n"), std::string::npos);
  EXPECT_NE(read_file(dir / "folders.txt").find(" lead and trail \\\r\n"), std::string::npos);
  expect_lists_match_model(dir.path());
}

#endif

TEST(Inventory, ArgumentsAreIgnoredAndRerunsRewriteTheLists) {
  TempDir dir;
  make_dir(dir / "sub");
  write_file(dir / "sub/file", "data");
  write_file(dir / "patchlist.txt", std::string(100000, 'x'));
  write_file(dir / "folders.txt", "stale\\\r\n");

  expect_clean_run(run_treeinv(dir.path(), {{"--help", "-v", "elsewhere"}}));
  const std::string folders = read_file(dir / "folders.txt");
  const std::string patchlist = read_file(dir / "patchlist.txt");
  expect_lists_match_model(dir.path());

  expect_clean_run(run_treeinv(dir.path()));
  EXPECT_EQ(read_file(dir / "folders.txt"), folders);
  EXPECT_EQ(read_file(dir / "patchlist.txt"), patchlist);
}

// Wine cannot make symbolic links.
#ifdef _WIN32
constexpr bool k_with_links = false;
#else
constexpr bool k_with_links = true;
#endif

// A random tree of folders, files of assorted sizes, odd names and links (some forming cycles), compared with an
// independent walk of the same tree.
void build_random_tree(const std::string& root, const std::string& relative, int depth, std::mt19937& random,
                       std::vector<std::string>& files, std::vector<std::string>& folders) {
  static const std::vector<std::string> k_name_parts = {"a", "data", "Maps", " ", "x y", "\xc3\xa9",      "\xff",
                                                        ".", "-",    "#",    "~", "'",   "long_name_part"};
  const int count = static_cast<int>(random() % 7) + (depth == 0 ? 4 : 0);
  for (int i = 0; i < count; ++i) {
    std::string name = k_name_parts[random() % k_name_parts.size()] + std::to_string(i);
    const std::string entry = relative.empty() ? name : relative + "/" + name;
    const std::string full = root + "/" + entry;
    const unsigned roll = random() % 10;
    if (roll < 6 || depth >= 4 || (roll >= 8 && !k_with_links)) {
      const std::size_t sizes[] = {0, 4096, 4097, random() % 20000};
      write_file(full, random_bytes(sizes[random() % 4], random()));
      files.push_back(full);
    } else if (roll < 8) {
      make_dir(full);
      folders.push_back(full);
      build_random_tree(root, entry, depth + 1, random, files, folders);
    } else if (roll == 8 && !files.empty()) {
      make_symlink(files[random() % files.size()], full);
    } else if (roll == 8) {
      // The lists do not exist yet, but will by the time the walk meets the link.
      make_symlink(root + (random() % 2 == 0 ? "/patchlist.txt" : "/folders.txt"), full);
    } else if (!folders.empty()) {
      make_symlink(folders[random() % folders.size()], full);
    }
  }
}

TEST(Inventory, RandomTreesMatchAnIndependentWalk) {
  for (const unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir dir;
    std::mt19937 random(seed);
    std::vector<std::string> files;
    std::vector<std::string> folders;
    build_random_tree(dir.path(), "", 0, random, files, folders);
    expect_clean_run(run_treeinv(dir.path()));
    expect_lists_match_model(dir.path());
    // Whatever the number of workers reading ahead, the lists are those of a run without them.
    ScopedChdir in_dir(dir.path());
    for (const unsigned workers : {0u, 1u, 3u}) {
      take_inventory(workers);
      expect_lists_match_model(dir.path());
    }
  }
}

} // namespace
} // namespace treeinv::test
