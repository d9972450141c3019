// What only the Windows build does: names in the ANSI code page, paths beyond 260 characters, files locked by
// other programs, and the walk's decisions about reparse points.
#include "file_digest.hpp"
#include "inventory.hpp"
#include "list_files.hpp"
#include "platform.hpp"
#include "platform_win32.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <string>
#include <system_error>

#include <windows.h>

namespace treeinv::test {
namespace {

using platform::win32::descends_into;
using platform::win32::full_path;
using platform::win32::long_form;
using platform::win32::narrow_code_page;
using platform::win32::to_narrow;
using platform::win32::to_wide;

// The system's own text for the no-mapping error, which Wine words differently from Windows.
std::string no_mapping_text() {
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_NO_UNICODE_TRANSLATION, 0,
                 text, sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() && std::string(". \r\n").find(message.back()) != std::string::npos) {
    message.pop_back();
  }
  return message;
}

// The expected bytes below are those of code page 1252, Wine's default for the ANSI code page.
#define REQUIRE_CODE_PAGE_1252()                                                                                       \
  if (GetACP() != 1252) {                                                                                              \
    GTEST_SKIP() << "expects the ANSI code page 1252, not " << GetACP();                                               \
  }

TEST(WindowsNames, ConversionIsExactOrFails) {
  REQUIRE_CODE_PAGE_1252();
  EXPECT_EQ(narrow_code_page(), 1252u);
  EXPECT_EQ(to_narrow(L""), "");
  EXPECT_EQ(to_narrow(L"caf\u00e9 \u20ac.txt"), "caf\xe9 \x80.txt");
  EXPECT_EQ(to_wide("caf\xe9 \x80.txt"), L"caf\u00e9 \u20ac.txt");
  // Best fit would turn these into "A" and "?": a different name, or none at all.
  for (const wchar_t* name : {L"\u0100", L"\u65e5\u672c.txt", L"x\u0100y"}) {
    try {
      const std::string narrow = to_narrow(name);
      ADD_FAILURE() << "converted to " << narrow;
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), ERROR_NO_UNICODE_TRANSLATION);
    }
  }
}

TEST(WindowsNames, TheOemCodePageServesWhenTheFileFunctionsUseIt) {
  if (GetOEMCP() != 437) {
    GTEST_SKIP() << "expects the OEM code page 437, Wine's default, not " << GetOEMCP();
  }
  SetFileApisToOEM();
  const unsigned code_page = narrow_code_page();
  std::string e_acute;
  try {
    e_acute = to_narrow(L"\u00e9");
  } catch (const std::system_error&) {
    // Checked below, once the file functions are back to ANSI.
  }
  SetFileApisToANSI();
  EXPECT_EQ(code_page, 437u);
  EXPECT_EQ(e_acute, "\x82");
  EXPECT_EQ(narrow_code_page(), GetACP());
}

TEST(WindowsNames, NamesInTheAnsiCodePageAreListedInIt) {
  REQUIRE_CODE_PAGE_1252();
  TempDir dir;
  const std::wstring root = wide(dir.path());
  ASSERT_TRUE(CreateDirectoryW((root + L"\\\u00c4rger").c_str(), nullptr));
  write_file(root + L"\\\u00c4rger\\caf\u00e9.txt", "coffee");
  write_file(root + L"\\price \u20ac 5.txt", "five");
  expect_clean_run(run_treeinv(dir.path()));

  EXPECT_NE(read_file(dir / "folders.txt").find("\xc4rger\\\r\n"), std::string::npos);
  const std::string patchlist = read_file(dir / "patchlist.txt");
  EXPECT_NE(patchlist.find("\xc4rger/caf\xe9.txt " + reference_sha256("coffee") + "\r\n"), std::string::npos);
  EXPECT_NE(patchlist.find("price \x80 5.txt " + reference_sha256("five") + "\r\n"), std::string::npos);
  expect_lists_match_model(dir.path());
}

TEST(WindowsNames, ANameOutsideTheCodePageEndsTheRunBeforeItsLine) {
  REQUIRE_CODE_PAGE_1252();
  for (const bool folder : {false, true}) {
    SCOPED_TRACE(folder ? "folder" : "file");
    TempDir dir;
    make_dir(dir / "sub");
    write_file(dir / "sub\\before.txt", "before");
    const std::wstring name = wide(dir / "sub\\") + L"\u65e5\u672c.txt";
    if (folder) {
      ASSERT_TRUE(CreateDirectoryW(name.c_str(), nullptr));
    } else {
      write_file(name, "japan");
    }
    expect_failure(run_treeinv(dir.path()), "Cannot list \"" + (dir / "sub\\??.txt") + "\": " + no_mapping_text());
    EXPECT_NE(read_file(dir / "folders.txt").find("sub\\\r\n"), std::string::npos);
    // Nothing of the entry, and the walk went no further.
    expect_no_line_for(dir, "??");
    const std::string patchlist = read_file(dir / "patchlist.txt");
    const bool before_listed = patchlist.find("sub/before.txt") != std::string::npos;
    EXPECT_EQ(before_listed, enumeration_order(dir / "sub").front() == "before.txt");
  }
}

TEST(WindowsNames, AStartingDirectoryOutsideTheCodePageEndsTheRunAtOnce) {
  TempDir dir;
  const std::wstring name = wide(dir / "") + L"\u65e5\u672c";
  ASSERT_TRUE(CreateDirectoryW(name.c_str(), nullptr));
  wchar_t previous[MAX_PATH + 1];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH + 1, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(name.c_str()));
  DWORD code = 0;
  try {
    platform::current_directory();
  } catch (const std::system_error& error) {
    code = static_cast<DWORD>(error.code().value());
  }
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(WindowsPaths, TheLongFormIsBuiltFromTheFullPath) {
  EXPECT_EQ(long_form(L"C:\\game\\data"), L"\\\\?\\C:\\game\\data");
  EXPECT_EQ(long_form(L"C:\\"), L"\\\\?\\C:\\");
  EXPECT_EQ(long_form(L"\\\\server\\share\\game"), L"\\\\?\\UNC\\server\\share\\game");
  EXPECT_EQ(long_form(L"\\\\?\\C:\\game"), L"\\\\?\\C:\\game");

  EXPECT_EQ(full_path(L"C:\\game", L"data\\intro.bin"), L"C:\\game\\data\\intro.bin");
  EXPECT_EQ(full_path(L"C:\\", L"data/intro.bin"), L"C:\\data\\intro.bin");
  EXPECT_EQ(full_path(L"\\\\server\\share", L"intro.bin"), L"\\\\server\\share\\intro.bin");
  EXPECT_EQ(full_path(L"C:\\game", L"D:\\other\\x"), L"D:\\other\\x");
  EXPECT_EQ(full_path(L"C:\\game", L"\\top\\x"), L"C:\\top\\x");
}

TEST(WindowsPaths, EntriesBeyond260CharactersAreWalkedHashedAndListed) {
  TempDir dir;
  // Made through the long form, as on Windows itself, where the plain form stops at 260 characters.
  std::string relative;
  while (dir.path().size() + relative.size() < 400) {
    relative += (relative.empty() ? "" : "\\") + std::string(60, 'd') + std::to_string(relative.size());
    ASSERT_TRUE(CreateDirectoryW(long_form(wide(dir / relative)).c_str(), nullptr)) << GetLastError();
  }
  const std::string contents = random_bytes(10000, 7);
  write_file(long_form(wide(dir / relative + "\\deep file.bin")), contents);
  expect_clean_run(run_treeinv(dir.path()));

  std::string listed = relative;
  for (char& c : listed) {
    c = c == '\\' ? '/' : c;
  }
  EXPECT_NE(read_file(dir / "folders.txt").find("\r\n" + relative + "\\\r\n"), std::string::npos);
  EXPECT_NE(read_file(dir / "patchlist.txt").find(listed + "/deep file.bin " + reference_sha256(contents) + "\r\n"),
            std::string::npos);
  expect_lists_match_model(dir.path());
}

TEST(WindowsPaths, AWalkFromADriveRootGivesPlainNames) {
  EXPECT_EQ(base_prefix("C:\\game"), "C:\\game\\");
  EXPECT_EQ(base_prefix("C:\\"), "C:\\");
  EXPECT_EQ(relative_path("C:\\data\\intro.bin", base_prefix("C:\\")), "data\\intro.bin");
  EXPECT_EQ(relative_path("C:\\game\\a b\\\xe9.bin", base_prefix("C:\\game")), "a b\\\xe9.bin");
  EXPECT_THROW(relative_path("C:\\gamer\\x", base_prefix("C:\\game")), std::runtime_error);

  ScopedChdir at_root("C:\\");
  const std::string base = base_prefix(platform::current_directory());
  EXPECT_EQ(base, "C:\\");
  platform::Walk walk;
  ASSERT_FALSE(walk.at_end());
  EXPECT_EQ(relative_path(walk.narrow_path(), base), enumeration_order("C:\\").front());
}

// Wine shows neither junctions nor Windows symbolic links to a program (a link on the Linux side looks like its
// target), so the decision that keeps the walk out of them is checked on its own.
TEST(WindowsWalk, DescendsIntoFoldersButNotThroughLinksOrJunctions) {
  constexpr DWORD k_folder = FILE_ATTRIBUTE_DIRECTORY;
  constexpr DWORD k_reparse = FILE_ATTRIBUTE_REPARSE_POINT;
  EXPECT_TRUE(descends_into(k_folder, 0));
  EXPECT_TRUE(descends_into(k_folder | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY, 0));
  EXPECT_FALSE(descends_into(k_folder | k_reparse, IO_REPARSE_TAG_SYMLINK));
  EXPECT_FALSE(descends_into(k_folder | k_reparse, IO_REPARSE_TAG_MOUNT_POINT));
  // Other reparse points, such as deduplicated or cloud-backed folders, hold their contents like any folder.
  EXPECT_TRUE(descends_into(k_folder | k_reparse, IO_REPARSE_TAG_DEDUP));
  EXPECT_TRUE(descends_into(k_folder | k_reparse, 0x9000001AUL));
  // The tag means nothing without the reparse attribute.
  EXPECT_TRUE(descends_into(k_folder, IO_REPARSE_TAG_SYMLINK));
  EXPECT_FALSE(descends_into(FILE_ATTRIBUTE_ARCHIVE, 0));
  EXPECT_FALSE(descends_into(k_reparse, IO_REPARSE_TAG_SYMLINK));
}

TEST(WindowsFiles, AFileLockedAgainstReadingEndsTheRun) {
  TempDir dir;
  write_file(dir / "locked.bin", "locked");
  const HANDLE lock =
      CreateFileW(wide(dir / "locked.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  const RunResult run = run_treeinv(dir.path());
  CloseHandle(lock);
  expect_failure(run, "Cannot open \"locked.bin\": Permission denied.");
  expect_no_line_for(dir, "locked.bin");
}

TEST(WindowsFiles, TheListsAreReadableWhileTheRunHoldsThemOpen) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  ListFiles lists;
  lists.append_folder("data\\video");
  lists.append_file("data\\video\\intro.bin", std::string(64, 'a'));
  // Read by another opener, by name, while still open for writing.
  EXPECT_EQ(read_file("folders.txt"), "data\\video\\\r\n");
  EXPECT_EQ(FileDigester().digest("patchlist.txt"),
            reference_sha256("data/video/intro.bin " + std::string(64, 'a') + "\r\n"));
  lists.close();
}

} // namespace
} // namespace treeinv::test
