#include "inventory.hpp"
#include "list_files.hpp"
#include "platform.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

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
#ifdef _WIN32
    EXPECT_STREQ(error.what(), "Cannot create \"folders.txt\": Permission denied.");
#else
    EXPECT_STREQ(error.what(), "Cannot create \"folders.txt\": Is a directory.");
#endif
  }
  // patchlist.txt is opened first, so it exists by now.
  EXPECT_EQ(read_file("patchlist.txt"), "");
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
    const int fd = platform::open_for_reading(names[i]);
    ASSERT_GE(fd, 0) << names[i];
    EXPECT_EQ(platform::is_one_of(fd, {identities[0]}), i == 0 ? 1 : 0) << names[i];
    EXPECT_EQ(platform::is_one_of(fd, {identities[1]}), i == 1 ? 1 : 0) << names[i];
    EXPECT_EQ(platform::is_one_of(fd, identities), i < 2 ? 1 : 0) << names[i];
    platform::close_file(fd);
  }
  lists.close();
}

#ifndef _WIN32
// The Windows forms of paths are tested with the rest of the Windows layer.
TEST(RelativePath, StripsTheStartingDirectoryAndItsSeparator) {
  EXPECT_EQ(base_prefix("/home/user/game"), "/home/user/game/");
  EXPECT_EQ(base_prefix("/"), "/");
  EXPECT_EQ(relative_path("/home/user/game/data/intro.bin", base_prefix("/home/user/game")), "data/intro.bin");
  EXPECT_EQ(relative_path("/data", base_prefix("/")), "data");
  EXPECT_EQ(relative_path("/g/a b/\xff\xfe.bin", base_prefix("/g")), "a b/\xff\xfe.bin");
  EXPECT_THROW(relative_path("/home/user/gamer/x", base_prefix("/home/user/game")), std::runtime_error);
}

TEST(RelativePath, AWalkFromTheFileSystemRootGivesPlainNames) {
  ScopedChdir at_root("/");
  const std::string base = base_prefix(platform::current_directory());
  EXPECT_EQ(base, "/");
  platform::Walk walk;
  ASSERT_FALSE(walk.at_end());
  EXPECT_EQ(relative_path(walk.narrow_path(), base), enumeration_order("/").front());
}

TEST(RelativePath, RefusesNamesTheListsCannotCarry) {
  for (const std::string name : {"back\\slash", "line\nfeed", "carriage\rreturn"}) {
    try {
      relative_path("/g/dir/" + name, base_prefix("/g"));
      ADD_FAILURE() << "accepted " << printable(name);
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::errc::illegal_byte_sequence);
      EXPECT_NE(std::string(error.what()).find("\"dir/" + name + "\""), std::string::npos) << error.what();
    }
  }
}

#endif

TEST(Printable, EscapesControlCharactersOnly) {
  EXPECT_EQ(printable("plain a\\b \xc3\xa9 \xff"), "plain a\\b \xc3\xa9 \xff");
  EXPECT_EQ(printable("a\nb\rc\td"), "a\\nb\\rc\\td");
  EXPECT_EQ(printable(std::string("\x01\x1f\x7f", 3)), "\\x01\\x1f\\x7f");
  EXPECT_EQ(printable(std::string("nul\0x", 5)), "nul\\x00x");
}

} // namespace
} // namespace treeinv::test
