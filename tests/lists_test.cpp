#include "inventory.hpp"
#include "list_files.hpp"
#include "platform.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace treeinv::test {
namespace {

TEST(ListFiles, CreationFailureNamesTheList) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  make_dir("folders.txt");
  try {
    ListFiles lists;
    FAIL() << "a folder in the way of folders.txt went unnoticed";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Cannot create \"folders.txt\": Is a directory.");
  }
  // patchlist.txt is opened first, so it exists by now.
  EXPECT_EQ(read_file("patchlist.txt"), "");
}

// Another run in the same folder is refused before it empties anything; where the file system takes no locks, a
// list that another program wrote to meanwhile ends the run at its close.
TEST(ListFiles, AreTheRunsOwnOrRefused) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  ListFiles first;
  first.append_folder("kept");
  try {
    ListFiles second;
    ADD_FAILURE() << "two runs share the lists";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Cannot create \"patchlist.txt\": In use by another run.");
  }
  EXPECT_EQ(read_file("folders.txt"), "kept\\\r\n");
#ifndef _WIN32
  std::ofstream("patchlist.txt", std::ios::binary | std::ios::app) << "x";
  try {
    first.close();
    ADD_FAILURE() << "a list that holds more than the run wrote was closed as complete";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Cannot close \"patchlist.txt\": Was written to by another program meanwhile.");
  }
#endif
}

// The digests of other files are read ahead; the lists must be known by what they are, whatever name leads to them,
// to be read only when their turn comes.
TEST(ListFiles, KnowTheirOwnIdentities) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  write_file("other.txt", "other");
  ListFiles lists;
  const std::vector<platform::FileIdentity> identities = lists.identities();
  ASSERT_EQ(identities.size(), 2u);
  EXPECT_FALSE(identities[0] == identities[1]);
  const char* const names[] = {"patchlist.txt", "folders.txt", "other.txt"};
  for (std::size_t i = 0; i < 3; ++i) {
    platform::FileState state;
    const int fd = platform::open_file(entry_named(names[i]), state);
    ASSERT_GE(fd, 0) << names[i];
    EXPECT_EQ(state.identity == identities[0], i == 0) << names[i];
    EXPECT_EQ(state.identity == identities[1], i == 1) << names[i];
    platform::close_file(fd);
  }
  lists.close();
}

#ifndef _WIN32
// The Windows forms of paths are tested with the rest of the Windows layer.
TEST(RelativePath, AWalkFromTheFileSystemRootGivesPlainNames) {
  ScopedChdir at_root("/");
  const std::string prefix = platform::start_prefix();
  EXPECT_EQ(prefix, "/");
  platform::Walk walk(prefix);
  ASSERT_FALSE(walk.at_end());
  EXPECT_EQ(walk.relative_path(), enumeration_order("/").front());
}

TEST(RelativePath, RefusesNamesTheListsCannotCarry) {
  for (const std::string name : {"back\\slash", "line\nfeed", "carriage\rreturn"}) {
    try {
      check_listable("dir/" + name);
      ADD_FAILURE() << "accepted " << name;
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::errc::illegal_byte_sequence);
      EXPECT_NE(std::string(error.what()).find("\"dir/" + name + "\""), std::string::npos) << error.what();
    }
  }
  EXPECT_NO_THROW(check_listable("a b/\xff\xfe.bin"));
}
#endif

} // namespace
} // namespace treeinv::test
