// What only the Windows build does: names in the ANSI code page, double-byte code pages whose characters may end
// in the byte of "\", a code page of UTF-8, paths beyond 260 characters, files locked by other programs, list files
// that are not what they seem, and the walk's decisions about reparse points.
#include "platform.hpp"
#include "platform_win32.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <windows.h>

namespace treeinv::test {
namespace {

using platform::win32::descends_into;
using platform::win32::full_path;
using platform::win32::list_refusal;
using platform::win32::long_form;
using platform::win32::narrow_code_page;
using platform::win32::prefix_of;
using platform::win32::shown;
using platform::win32::to_narrow;
using platform::win32::to_wide;
using platform::win32::with_separators;

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

// Characters whose second byte in a double-byte code page is 0x5C, the byte of "\": Japanese, Simplified and
// Traditional Chinese. Empty for any other code page.
std::vector<std::wstring> backslash_characters(unsigned code_page) {
  switch (code_page) {
  case 932:
    return {L"\u80fd", L"\u8868", L"\u30bd", L"\u5341", L"\u4e88"};
  case 936:
    return {L"\u4e57", L"\u4fd3", L"\u50dc", L"\u5213", L"\u533c"};
  case 950:
    return {L"\u529f", L"\u8a31", L"\u4e48", L"\u4fde", L"\u67af"};
  default:
    return {};
  }
}

// Each character of backslash_characters(), checked to be what it is chosen for.
std::vector<std::wstring> checked_backslash_characters(unsigned code_page) {
  std::vector<std::wstring> characters = backslash_characters(code_page);
  for (const std::wstring& character : characters) {
    const std::string bytes = narrow_in(code_page, character);
    EXPECT_TRUE(bytes.size() == 2 && bytes[1] == '\\') << "U+" << std::hex << unsigned{character[0]};
  }
  return characters;
}

// Hangul, which none of the double-byte code pages above holds.
const std::wstring k_hangul = L"\ud55c";

bool has_line(const std::string& list, const std::string& line) {
  return ("\r\n" + list).find("\r\n" + line + "\r\n") != std::string::npos;
}

void make_folder(const std::wstring& path) {
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
}

// A tree whose names hold `c` (five characters) everywhere a byte of a name could be taken for a separator: a
// file at the top, folders three deep, a character at the end of a folder's name and of a file's, before a space,
// and two in a row.
void make_tree(const std::wstring& root, const std::vector<std::wstring>& c) {
  write_file(root + L"\\" + c[0] + L".dat", "top");
  make_folder(root + L"\\" + c[1]);
  write_file(root + L"\\" + c[1] + L"\\" + c[2] + L" " + c[3] + L".txt", "depth one");
  make_folder(root + L"\\" + c[1] + L"\\" + c[2]);
  make_folder(root + L"\\" + c[1] + L"\\" + c[2] + L"\\x " + c[3]);
  write_file(root + L"\\" + c[1] + L"\\" + c[2] + L"\\x " + c[3] + L"\\" + c[4], "depth three");
  write_file(root + L"\\" + c[1] + L"\\" + c[2] + L"\\" + c[0] + c[0], "two in a row");
}

// The lines make_tree() gives, in `code_page`, built from the bytes of each character.
void expect_tree_lines(const std::wstring& root, const std::vector<std::wstring>& c, unsigned code_page) {
  std::vector<std::string> n;
  for (const std::wstring& character : c) {
    n.push_back(narrow_in(code_page, character));
  }
  const std::string folders = read_file(root + L"\\folders.txt");
  const std::string patchlist = read_file(root + L"\\patchlist.txt");
  EXPECT_TRUE(has_line(folders, n[1] + "\\")) << folders;
  EXPECT_TRUE(has_line(folders, n[1] + "\\" + n[2] + "\\x " + n[3] + "\\")) << folders;
  EXPECT_TRUE(has_line(patchlist, n[0] + ".dat " + reference_sha256("top"))) << patchlist;
  EXPECT_TRUE(has_line(patchlist, n[1] + "/" + n[2] + " " + n[3] + ".txt " + reference_sha256("depth one")));
  EXPECT_TRUE(
      has_line(patchlist, n[1] + "/" + n[2] + "/x " + n[3] + "/" + n[4] + " " + reference_sha256("depth three")));
  EXPECT_TRUE(has_line(patchlist, n[1] + "/" + n[2] + "/" + n[0] + n[0] + " " + reference_sha256("two in a row")));
}

void expect_lists_match_model_in(const std::wstring& root, unsigned code_page) {
  const Lists expected = model_inventory(root, code_page);
  EXPECT_EQ(read_file(root + L"\\folders.txt"), expected.folders);
  EXPECT_EQ(read_file(root + L"\\patchlist.txt"), expected.patchlist);
}

TEST(WindowsNames, ConversionIsExactOrFails) {
  EXPECT_EQ(to_narrow(L"", 1252), "");
  EXPECT_EQ(to_narrow(L"caf\u00e9 \u20ac.txt", 1252), "caf\xe9 \x80.txt");
  EXPECT_EQ(to_wide("caf\xe9 \x80.txt", 1252), L"caf\u00e9 \u20ac.txt");
  EXPECT_EQ(to_narrow(L"\u80fd\\\u8868", 932), "\x94\x5c\\\x95\x5c");
  EXPECT_EQ(to_wide("\x94\x5c\\\x95\x5c", 932), L"\u80fd\\\u8868");
  EXPECT_EQ(to_narrow(L"\u80fd\U0001f600", CP_UTF8), "\xe8\x83\xbd\xf0\x9f\x98\x80");
  // Best fit would turn the first two into "A" and "?": a different name, or none at all.
  const struct {
    const wchar_t* name;
    unsigned code_page;
  } impossible[] = {
      {L"\u0100", 1252}, {L"\u65e5\u672c.txt", 1252}, {L"x\u0100y", 1252}, {L"\ud55c.txt", 932}, {L"a\xd800", CP_UTF8}};
  for (const auto& name : impossible) {
    try {
      const std::string narrow = to_narrow(name.name, name.code_page);
      ADD_FAILURE() << "converted to " << narrow << " in " << name.code_page;
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), ERROR_NO_UNICODE_TRANSLATION);
    }
  }
}

TEST(WindowsNames, MessagesShowWhatHasNoNarrowFormAsQuestionMarks) {
  EXPECT_EQ(shown(L"C:\\a\\\u0100.txt", 1252), "C:\\a\\?.txt");
  EXPECT_EQ(shown(L"\u65e5\u672c caf\u00e9", 1252), "?? caf\xe9");
  EXPECT_EQ(shown(L"\u8868\\\ud55c.txt", 932), "\x95\x5c\\?.txt");
  EXPECT_EQ(shown(L"a\xd800\\b\xdc00", CP_UTF8), "a?\\b?");
  EXPECT_EQ(shown(L"\U0001f600", CP_UTF8), "\xf0\x9f\x98\x80");
}

TEST(WindowsNames, SeparatorsAreJudgedPerCharacter) {
  for (const unsigned code_page : {932u, 936u, 950u}) {
    SCOPED_TRACE(code_page);
    const std::vector<std::wstring> c = checked_backslash_characters(code_page);
    ASSERT_EQ(c.size(), 5u);
    const std::wstring path = c[0] + L"\\" + c[1] + c[2] + L"\\a " + c[3] + L"\\" + c[4];
    std::wstring slashed = path;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    EXPECT_EQ(with_separators(narrow_in(code_page, path), '/', code_page), narrow_in(code_page, slashed));
    EXPECT_EQ(with_separators(narrow_in(code_page, path), '\\', code_page), narrow_in(code_page, path));
    // A lead byte cut off at the end takes nothing with it.
    EXPECT_EQ(with_separators("a\\\x94", '/', code_page), "a/\x94");
  }
  // In UTF-8 and single-byte code pages every 0x5C byte is a separator, whatever surrounds it.
  std::string every_byte;
  for (int byte = 0; byte < 256; ++byte) {
    every_byte += static_cast<char>(byte);
    every_byte += '\\';
  }
  std::string slashed = every_byte;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  for (const unsigned code_page : {1252u, 437u, 1251u, static_cast<unsigned>(CP_UTF8)}) {
    SCOPED_TRACE(code_page);
    EXPECT_EQ(with_separators(every_byte, '/', code_page), slashed);
    EXPECT_EQ(with_separators(every_byte, '\\', code_page), every_byte);
  }
}

TEST(WindowsNames, TheStartPrefixIsDecidedOnTheWidePath) {
  for (const unsigned code_page : {932u, 936u, 950u}) {
    SCOPED_TRACE(code_page);
    const std::vector<std::wstring> c = checked_backslash_characters(code_page);
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(prefix_of(L"C:\\games\\" + c[0], code_page), "C:\\games\\" + narrow_in(code_page, c[0]) + "\\");
    EXPECT_EQ(prefix_of(L"C:\\", code_page), "C:\\");
    EXPECT_EQ(prefix_of(L"\\\\server\\share\\" + c[1], code_page),
              "\\\\server\\share\\" + narrow_in(code_page, c[1]) + "\\");
  }
  EXPECT_EQ(prefix_of(L"C:\\game", 1252), "C:\\game\\");
  EXPECT_EQ(prefix_of(L"D:\\", CP_UTF8), "D:\\");
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
  // The second has a look-alike in the code page, which the message must not show.
  const struct {
    const wchar_t* name;
    const char* shown;
    bool folder;
  } cases[] = {
      {L"\u65e5\u672c.txt", "??.txt", false}, {L"\u65e5\u672c.txt", "??.txt", true}, {L"\u0100.txt", "?.txt", false}};
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.shown + std::string(entry.folder ? " folder" : " file"));
    TempDir dir;
    make_dir(dir / "sub");
    write_file(dir / "sub\\before.txt", "before");
    const std::wstring name = wide(dir / "sub\\") + entry.name;
    if (entry.folder) {
      ASSERT_TRUE(CreateDirectoryW(name.c_str(), nullptr));
    } else {
      write_file(name, "other");
    }
    expect_failure(run_treeinv(dir.path()),
                   "Cannot list \"" + (dir / "sub\\") + entry.shown + "\": " + no_mapping_text());
    EXPECT_NE(read_file(dir / "folders.txt").find("sub\\\r\n"), std::string::npos);
    // Nothing of the entry, and the walk went no further.
    expect_no_line_for(dir, "?");
    expect_no_line_for(dir, "A.txt");
    const std::string patchlist = read_file(dir / "patchlist.txt");
    const bool before_listed = patchlist.find("sub/before.txt") != std::string::npos;
    EXPECT_EQ(before_listed, enumeration_order(dir / "sub").front() == "before.txt");
  }
}

TEST(WindowsNames, AStartingDirectoryOutsideTheCodePageEndsTheRunAtOnce) {
  REQUIRE_CODE_PAGE_1252();
  TempDir dir;
  const std::wstring name = wide(dir / "") + L"\u65e5\u672c";
  ASSERT_TRUE(CreateDirectoryW(name.c_str(), nullptr));
  const RunResult run = run_program(program_path(), name);
  expect_failure(run, "Cannot list \"" + (dir / "??") + "\": " + no_mapping_text());
  // Not even the lists were made.
  EXPECT_EQ(GetFileAttributesW((name + L"\\patchlist.txt").c_str()), INVALID_FILE_ATTRIBUTES);

  wchar_t previous[MAX_PATH + 1];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH + 1, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(name.c_str()));
  DWORD code = 0;
  try {
    platform::start_prefix();
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
  std::replace(listed.begin(), listed.end(), '\\', '/');
  EXPECT_NE(read_file(dir / "folders.txt").find("\r\n" + relative + "\\\r\n"), std::string::npos);
  EXPECT_NE(read_file(dir / "patchlist.txt").find(listed + "/deep file.bin " + reference_sha256(contents) + "\r\n"),
            std::string::npos);
  expect_lists_match_model(dir.path());
}

TEST(WindowsPaths, AWalkFromADriveRootGivesPlainNames) {
  ScopedChdir at_root("C:\\");
  const std::string prefix = platform::start_prefix();
  EXPECT_EQ(prefix, "C:\\");
  platform::Walk walk(prefix);
  ASSERT_FALSE(walk.at_end());
  EXPECT_EQ(walk.relative_path(), enumeration_order("C:\\").front());
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

TEST(WindowsFiles, AListIsReadableAndEmptiedWhileTheRunHoldsItOpen) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  write_file("patchlist.txt", "an earlier run's lines\r\n");
  platform::FileIdentity identity;
  const int list = platform::create_list("patchlist.txt", identity);
  EXPECT_EQ(read_file("patchlist.txt"), "");
  ASSERT_TRUE(platform::write_all(list, "data/intro.bin\r\n", 16));
  // Read by another opener, by name, while still open for writing.
  EXPECT_EQ(read_file("patchlist.txt"), "data/intro.bin\r\n");
  platform::FileState state;
  const int fd = platform::open_file(platform::entry_in_working_directory("patchlist.txt"), state);
  ASSERT_GE(fd, 0);
  char buffer[64];
  EXPECT_EQ(platform::read_some(fd, buffer, sizeof buffer), 16);
  EXPECT_TRUE(platform::close_file(fd));
  EXPECT_EQ(state.identity, identity);
  EXPECT_EQ(state.size, 16u);
  ASSERT_TRUE(platform::truncate_file(list, 5));
  EXPECT_TRUE(platform::close_file(list));
  EXPECT_EQ(read_file("patchlist.txt"), "data/");
}

TEST(WindowsLists, WhatALinkOrOtherFileWouldMakeOfAListIsRefused) {
  EXPECT_EQ(list_refusal(FILE_ATTRIBUTE_ARCHIVE, FILE_TYPE_DISK, 1), nullptr);
  EXPECT_EQ(list_refusal(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, FILE_TYPE_DISK, 1), nullptr);
  EXPECT_STREQ(list_refusal(FILE_ATTRIBUTE_REPARSE_POINT, FILE_TYPE_DISK, 1), "Is a symbolic link or junction");
  EXPECT_STREQ(list_refusal(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, FILE_TYPE_DISK, 1),
               "Is a symbolic link or junction");
  EXPECT_STREQ(list_refusal(FILE_ATTRIBUTE_DIRECTORY, FILE_TYPE_DISK, 1), "Is a directory");
  EXPECT_STREQ(list_refusal(FILE_ATTRIBUTE_NORMAL, FILE_TYPE_CHAR, 1), "Is not a regular file");
  EXPECT_STREQ(list_refusal(FILE_ATTRIBUTE_NORMAL, FILE_TYPE_PIPE, 1), "Is not a regular file");
  EXPECT_STREQ(list_refusal(FILE_ATTRIBUTE_ARCHIVE, FILE_TYPE_DISK, 2), "Has other hard links");
}

TEST(WindowsLists, AListWithAnotherNameOrAFolderInItsPlaceIsRefusedAndLeftAsItWas) {
  const TempDir elsewhere;
  for (const char* list : {"patchlist.txt", "folders.txt"}) {
    SCOPED_TRACE(list);
    TempDir dir;
    // A run there would empty the file elsewhere and then write into it.
    write_file(elsewhere / list, "elsewhere");
    ASSERT_TRUE(CreateHardLinkW(wide(dir / list).c_str(), wide(elsewhere / list).c_str(), nullptr)) << GetLastError();
    expect_failure(run_treeinv(dir.path()), "Cannot create \"" + std::string(list) + "\": Has other hard links.");
    EXPECT_EQ(read_file(elsewhere / list), "elsewhere");
  }
  {
    // Both lists one file.
    TempDir dir;
    write_file(dir / "patchlist.txt", "both");
    ASSERT_TRUE(CreateHardLinkW(wide(dir / "folders.txt").c_str(), wide(dir / "patchlist.txt").c_str(), nullptr));
    expect_failure(run_treeinv(dir.path()), "Cannot create \"patchlist.txt\": Has other hard links.");
    EXPECT_EQ(read_file(dir / "folders.txt"), "both");
  }
  {
    TempDir dir;
    make_dir(dir / "folders.txt");
    expect_failure(run_treeinv(dir.path()), "Cannot create \"folders.txt\": Is a directory.");
  }
}

// The double-byte code pages come from the locale Wine runs in, so these run in separate runs of the tests that
// ask for one (see CMakeLists.txt) and are skipped elsewhere.
#define REQUIRE_DOUBLE_BYTE_CODE_PAGE()                                                                                \
  if (backslash_characters(GetACP()).empty()) {                                                                        \
    GTEST_SKIP() << "expects a double-byte ANSI code page, not " << GetACP();                                          \
  }

TEST(DoubleByte, TheTestsRunInTheCodePageAskedFor) {
  const char* asked = std::getenv("TREEINV_TEST_CODE_PAGE");
  if (asked == nullptr) {
    GTEST_SKIP() << "no code page asked for";
  }
  // Otherwise every other test here would be skipped, and the run would pass without having checked anything.
  EXPECT_EQ(std::to_string(GetACP()), asked);
  EXPECT_FALSE(backslash_characters(GetACP()).empty());
}

TEST(DoubleByte, NamesWhoseSecondByteIsABackslashAreListedWhole) {
  REQUIRE_DOUBLE_BYTE_CODE_PAGE();
  const std::vector<std::wstring> c = checked_backslash_characters(GetACP());
  TempDir dir;
  const std::wstring root = wide(dir.path());
  make_tree(root, c);
  expect_clean_run(run_treeinv(dir.path()));
  expect_tree_lines(root, c, GetACP());
  expect_lists_match_model(dir.path());
}

TEST(DoubleByte, AStartingFolderWhoseNameEndsInSuchACharacter) {
  REQUIRE_DOUBLE_BYTE_CODE_PAGE();
  const std::vector<std::wstring> c = checked_backslash_characters(GetACP());
  TempDir dir;
  const std::string start = dir / ansi(c[4]);
  make_folder(wide(start));
  make_tree(wide(start), c);
  expect_clean_run(run_treeinv(start));
  expect_tree_lines(wide(start), c, GetACP());
  expect_lists_match_model(start);
}

TEST(DoubleByte, ANameOutsideTheCodePageIsShownWithAQuestionMark) {
  REQUIRE_DOUBLE_BYTE_CODE_PAGE();
  ASSERT_THROW(ansi(k_hangul), std::runtime_error);
  const std::vector<std::wstring> c = checked_backslash_characters(GetACP());
  TempDir dir;
  const std::string folder = dir / ansi(c[0]);
  make_folder(wide(folder));
  write_file(wide(folder) + L"\\" + k_hangul + c[1] + L".txt", "hangul");
  expect_failure(run_treeinv(dir.path()),
                 "Cannot list \"" + folder + "\\?" + ansi(c[1]) + ".txt\": " + no_mapping_text());
  EXPECT_EQ(read_file(dir / "folders.txt"), ansi(c[0]) + "\\\r\n");
}

// A copy of the program with a manifest beside it that makes UTF-8 its ANSI code page, as the Windows setting for
// UTF-8 worldwide does for every program.
class Utf8Copy {
public:
  Utf8Copy() : m_program(wide(m_dir / "treeinv.exe")) {
    if (!CopyFileW(program_path().c_str(), m_program.c_str(), TRUE)) {
      throw std::runtime_error("cannot copy the program: error " + std::to_string(GetLastError()));
    }
    write_file(m_dir / "treeinv.exe.manifest",
               "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
               "<assembly manifestVersion=\"1.0\" xmlns=\"urn:schemas-microsoft-com:asm.v1\">\r\n"
               "  <application>\r\n"
               "    <windowsSettings>\r\n"
               "      <activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8"
               "</activeCodePage>\r\n"
               "    </windowsSettings>\r\n"
               "  </application>\r\n"
               "</assembly>\r\n");
  }
  RunResult run(const std::wstring& directory) const { return run_program(m_program, directory); }

private:
  TempDir m_dir;
  std::wstring m_program;
};

TEST(WindowsUtf8, EveryNameIsListedAsItsUtf8Bytes) {
  const Utf8Copy program;
  TempDir dir;
  const std::wstring root = wide(dir.path());
  // Characters of every double-byte code page, one outside all of them, and one beyond 16 bits.
  const std::vector<std::wstring> c = {L"\u80fd", L"\u4e57", L"\u529f", k_hangul, L"\U0001f600"};
  make_tree(root, c);
  write_file(root + L"\\caf\u00e9 \u0100.txt", "latin");
  expect_clean_run(program.run(root));
  expect_tree_lines(root, c, CP_UTF8);
  EXPECT_TRUE(has_line(read_file(root + L"\\patchlist.txt"), "caf\xc3\xa9 \xc4\x80.txt " + reference_sha256("latin")));
  expect_lists_match_model_in(root, CP_UTF8);
}

TEST(WindowsUtf8, AStartingFolderWhoseNameEndsInADoubleByteCharacter) {
  const Utf8Copy program;
  TempDir dir;
  const std::wstring start = wide(dir.path()) + L"\\" + backslash_characters(932)[1];
  make_folder(start);
  const std::vector<std::wstring> c = backslash_characters(936);
  make_tree(start, c);
  expect_clean_run(program.run(start));
  expect_tree_lines(start, c, CP_UTF8);
  expect_lists_match_model_in(start, CP_UTF8);
}

} // namespace
} // namespace treeinv::test
