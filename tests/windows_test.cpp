// What only the Windows build does: names in the ANSI code page, in double-byte code pages and in UTF-8, paths
// beyond 260 characters, files locked by other programs, lists that are not plain files, and the walk's decisions
// about reparse points.
#include "file_digest.hpp"
#include "list_files.hpp"
#include "platform.hpp"
#include "platform_win32.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <windows.h>

namespace treeinv::test {
namespace {

namespace fs = std::filesystem;

using platform::win32::folder_refusal;
using platform::win32::is_link;
using platform::win32::list_refusal;
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

TEST(WindowsNames, ConversionIsExactOrFails) {
  REQUIRE_CODE_PAGE_1252();
  EXPECT_EQ(narrow_code_page(), 1252u);
  EXPECT_EQ(to_narrow(L""), "");
  EXPECT_EQ(to_narrow(L"caf\u00e9 \u20ac.txt"), "caf\xe9 \x80.txt");
  EXPECT_EQ(to_wide("caf\xe9 \x80.txt"), L"caf\u00e9 \u20ac.txt");
  EXPECT_EQ(to_wide("\x81", 932), std::nullopt);
  EXPECT_EQ(to_narrow(L"\u80fd\\\u8868", 932), "\x94\x5c\\\x95\x5c");
  // Best fit would turn these into "A" and "?": a different name, or none at all.
  for (const wchar_t* name : {L"\u0100", L"\u65e5\u672c.txt", L"x\u0100y"}) {
    EXPECT_EQ(to_narrow(name), std::nullopt);
  }
  EXPECT_EQ(to_narrow(L"a\xd800", CP_UTF8), std::nullopt);
  // Messages show "?" instead, in every code page.
  EXPECT_EQ(shown(L"C:\\a\\\u0100 \u65e5.txt", 1252), "C:\\a\\? ?.txt");
  EXPECT_EQ(shown(L"\u8868\\\ud55c.txt", 932), "\x95\x5c\\?.txt");
  EXPECT_EQ(shown(L"a\xd800\U0001f600", CP_UTF8), "a?\xf0\x9f\x98\x80");
}

// Characters whose second byte in the double-byte code pages of Japanese, Simplified and Traditional Chinese is
// 0x5C, that of "\"; none for any other code page.
std::vector<std::wstring> backslash_characters(unsigned code_page) {
  std::vector<std::wstring> characters;
  if (code_page == 932) {
    characters = {L"\u80fd", L"\u8868", L"\u30bd", L"\u5341"};
  } else if (code_page == 936) {
    characters = {L"\u4e57", L"\u4fd3", L"\u50dc", L"\u5213"};
  } else if (code_page == 950) {
    characters = {L"\u529f", L"\u8a31", L"\u4e48", L"\u4fde"};
  }
  for (const std::wstring& character : characters) {
    const std::string bytes = narrow_in(code_page, character);
    EXPECT_TRUE(bytes.size() == 2 && bytes[1] == '\\') << code_page << " " << bytes;
  }
  return characters;
}

TEST(WindowsNames, SeparatorsAreTheCharactersNotTheBytes) {
  for (const unsigned code_page : {932u, 936u, 950u}) {
    const std::vector<std::wstring> c = backslash_characters(code_page);
    ASSERT_EQ(c.size(), 4u);
    const std::wstring path = c[0] + L"\\" + c[1] + c[2] + L"\\a\\" + c[3];
    std::wstring slashed = path;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    EXPECT_EQ(with_separators(narrow_in(code_page, path), '/', code_page), narrow_in(code_page, slashed));
    EXPECT_EQ(prefix_of(L"C:\\games\\" + c[0], code_page), "C:\\games\\" + narrow_in(code_page, c[0]) + "\\");
  }
  EXPECT_EQ(prefix_of(L"C:\\", 932), "C:\\");
  EXPECT_EQ(prefix_of(L"C:\\game", 1252), "C:\\game\\");
  // Elsewhere every byte 0x5C is one, as before, whatever comes around it.
  std::string every_byte;
  for (int byte = 0; byte < 256; ++byte) {
    every_byte += {static_cast<char>(byte), '\\'};
  }
  std::string slashed = every_byte;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  for (const unsigned code_page : {1252u, 437u, static_cast<unsigned>(CP_UTF8)}) {
    EXPECT_EQ(with_separators(every_byte, '/', code_page), slashed) << code_page;
  }
}

TEST(WindowsNames, TheOemCodePageServesWhenTheFileFunctionsUseIt) {
  if (GetOEMCP() != 437) {
    GTEST_SKIP() << "expects the OEM code page 437, Wine's default, not " << GetOEMCP();
  }
  SetFileApisToOEM();
  const unsigned code_page = narrow_code_page();
  const std::optional<std::string> e_acute = to_narrow(L"\u00e9");
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

// Run in every code page the tests run in (see CMakeLists.txt), with a name above the tree that the code page lacks.
TEST(AnyCodePage, AStartingFolderBelowANameOutsideTheCodePageListsAsAnyOther) {
  // Cyrillic lacks in 1252, but not in 932, which lacks "\u00eb"; and how messages show each.
  const std::pair<std::wstring, std::string> names[] = {
      {L"\u043f\u0440\u043e\u0435\u043a\u0442", "??????"}, {L"Zo\u00eb", "Zo?"}, {L"\ud55c", "?"}};
  const auto lacks = [](const auto& name) {
    char bytes[64];
    BOOL used_default = FALSE;
    WideCharToMultiByte(GetACP(), WC_NO_BEST_FIT_CHARS, name.first.c_str(), -1, bytes, sizeof bytes, nullptr,
                        &used_default);
    return used_default != FALSE;
  };
  const auto outside = std::find_if(std::begin(names), std::end(names), lacks);
  ASSERT_NE(outside, std::end(names)) << GetACP();
  TempDir dir;
  const std::wstring above = wide(dir.path()) + L"\\" + outside->first;
  for (const std::wstring& start : {above, above + L"\\game"}) {
    ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr) && CreateDirectoryW((start + L"\\data").c_str(), nullptr));
    write_file(start + L"\\data\\intro.bin", "test");
    expect_clean_run(run_program(program_path(), start));
    const Lists expected = model_inventory(start, GetACP());
    EXPECT_EQ(read_file(start + L"\\folders.txt"), expected.folders);
    EXPECT_EQ(read_file(start + L"\\patchlist.txt"), expected.patchlist);
    EXPECT_NE(expected.patchlist.find("data/intro.bin " + reference_sha256("test") + "\r\n"), std::string::npos);
  }
  // Messages show the whole path, with "?" for what the code page cannot show.
  write_file(above + L"\\game\\data\\" + outside->first, "");
  expect_failure(run_program(program_path(), above + L"\\game"), "Cannot list \"" + (dir / outside->second) +
                                                                     "\\game\\data\\" + outside->second +
                                                                     "\": " + no_mapping_text());
}

// The form of a full path that lifts the 260-character limit, for making a tree deeper than that.
std::wstring long_form(const std::string& path) {
  return L"\\\\?\\" + wide(path);
}

TEST(WindowsPaths, EntriesBeyond260CharactersAreWalkedHashedAndListed) {
  TempDir dir;
  // Made through the long form, as on Windows itself, where the plain form stops at 260 characters.
  std::string relative;
  while (dir.path().size() + relative.size() < 400) {
    relative += (relative.empty() ? "" : "\\") + std::string(60, 'd') + std::to_string(relative.size());
    ASSERT_TRUE(CreateDirectoryW(long_form(dir / relative).c_str(), nullptr)) << GetLastError();
  }
  const std::string contents = random_bytes(10000, 7);
  write_file(long_form(dir / relative + "\\deep file.bin"), contents);
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

// Wine shows no junction, Windows symbolic link or cloud file to a program: the decisions on them are checked on
// their own, with the tags Windows gives.
TEST(WindowsWalk, OnlyNameSurrogatesAreLinksAndAFolderIsEnteredOnlyIfStillTheOneListed) {
  constexpr DWORD k_folder = FILE_ATTRIBUTE_DIRECTORY;
  constexpr DWORD k_reparse = FILE_ATTRIBUTE_REPARSE_POINT;
  // Symbolic links, junctions and Wine's tag 0 lead elsewhere; cloud (OneDrive), deduplicated and compressed (WOF)
  // entries, and an application's alias, do not.
  for (const DWORD tag : {0xA000000Cul, 0xA0000003ul, 0ul}) {
    EXPECT_TRUE(is_link(k_reparse | k_folder, tag) && is_link(k_reparse, tag)) << std::hex << tag;
  }
  for (const DWORD tag : {0x9000001Aul, 0x9000101Aul, 0x80000013ul, 0x80000017ul, 0x8000001Bul}) {
    EXPECT_FALSE(is_link(k_reparse | k_folder, tag) || is_link(k_reparse, tag)) << std::hex << tag;
  }
  EXPECT_FALSE(is_link(FILE_ATTRIBUTE_ARCHIVE, 0xA000000C));
  const platform::win32::Sighting plain{k_folder, 0, 0x0005000000001234};
  const platform::win32::Sighting cloud{k_folder | k_reparse, 0x9000001A, plain.id};
  const platform::win32::Sighting junction{k_folder | k_reparse, 0xA0000003, 0x77};
  // Wine's listing of a Linux link to a folder, and its handle on it, which has followed it.
  const platform::win32::Sighting wine_link{k_folder | k_reparse, 0, 0x77};
  const platform::win32::Sighting wine_target{k_folder, 0, 0x77};
  EXPECT_EQ(folder_refusal(plain, plain, plain), nullptr);
  EXPECT_EQ(folder_refusal(cloud, cloud, cloud), nullptr);
  const std::string link = "Was swapped for a link after it was listed";
  EXPECT_EQ(folder_refusal(plain, plain, junction), link);
  EXPECT_EQ(folder_refusal(plain, junction, plain), link);
  EXPECT_EQ(folder_refusal(plain, wine_link, wine_target), link);
  EXPECT_EQ(folder_refusal(plain, {FILE_ATTRIBUTE_ARCHIVE, 0, plain.id}, plain), link);
  EXPECT_EQ(folder_refusal(plain, plain, wine_target),
            std::string("Was swapped for another folder after it was listed"));
  // IDs that a file system does not have tell nothing.
  for (const std::uint64_t none : {std::uint64_t{0}, ~std::uint64_t{0}}) {
    EXPECT_EQ(folder_refusal({k_folder, 0, none}, {k_folder, 0, none}, wine_target), nullptr);
  }
}

// The kind comes from the enumeration's attributes; hidden, system and read-only entries are listed as any other.
TEST(WindowsWalk, HiddenSystemAndReadOnlyEntriesAreListedByTheirKind) {
  TempDir dir;
  const DWORD attributes[] = {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_READONLY};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string folder = dir / ("folder" + std::to_string(i));
    make_dir(folder);
    write_file(folder + "\\file" + std::to_string(i), "contents " + std::to_string(i));
    ASSERT_TRUE(SetFileAttributesW(wide(folder + "\\file" + std::to_string(i)).c_str(), attributes[i]));
    ASSERT_TRUE(SetFileAttributesW(wide(folder).c_str(), attributes[i] | FILE_ATTRIBUTE_DIRECTORY));
  }
  expect_clean_run(run_treeinv(dir.path()));
  expect_lists_match_model(dir.path());
}

// The helper on the Linux side (tests/linux_side.sh), for what no Windows program can do under Wine. Its folder,
// which it removes at the end, holds the trees of the tests; without it they are skipped, as on Windows.
class LinuxSide {
public:
  LinuxSide() {
    const char* folder = std::getenv("TREEINV_TEST_LINUX_SIDE");
    m_folder = folder != nullptr ? "Z:" + std::string(folder) : "";
    std::replace(m_folder.begin(), m_folder.end(), '/', '\\');
  }

  bool available() const { return !m_folder.empty(); }

  // The Windows path of `name` in the helper's folder.
  std::string operator/(const std::string& name) const { return m_folder + "\\" + name; }

  // Runs `script` with sh in the helper's folder; its exit status, or -1 after five minutes without one.
  int run(const std::string& script) const {
    write_file(*this / "request.part", script);
    MoveFileExW(wide(*this / "request.part").c_str(), wide(*this / "request").c_str(), 0);
    const std::wstring done = wide(*this / "done");
    for (int wait = 0; wait < 30000 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++wait) {
      Sleep(10);
    }
    const std::string status = GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES ? "" : read_file(done);
    DeleteFileW(done.c_str());
    return status.empty() ? -1 : std::stoi(status);
  }

private:
  std::string m_folder;
};

#define REQUIRE_LINUX_SIDE(side)                                                                                       \
  if (!(side).available()) {                                                                                           \
    GTEST_SKIP() << "needs Wine and the helper on the Linux side (tests/linux_side.sh)";                               \
  }

TEST(UnderWine, ALinuxLinkToAFolderIsListedButNotEntered) {
  const LinuxSide side;
  REQUIRE_LINUX_SIDE(side);
  ASSERT_EQ(side.run("mkdir -p tree/real && printf inside >tree/real/inside.txt && ln -s real tree/link"), 0);
  expect_clean_run(run_treeinv(side / "tree"));
  const std::string folders = read_file(side / "tree\\folders.txt");
  EXPECT_TRUE(folders == "real\\\r\nlink\\\r\n" || folders == "link\\\r\nreal\\\r\n") << folders;
  const std::string patchlist = read_file(side / "tree\\patchlist.txt");
  EXPECT_NE(patchlist.find("real/inside.txt " + reference_sha256("inside") + "\r\n"), std::string::npos);
  EXPECT_EQ(patchlist.find("link/"), std::string::npos);
}

// The walk lists the folder X3 and stops there, as at a big file before it, while the Linux side puts something
// else in its place. Whatever Wine's handle says of what it opens, nothing from outside the tree is listed.
TEST(UnderWine, AFolderSwappedAfterItWasListedIsNeverEntered) {
  const LinuxSide side;
  REQUIRE_LINUX_SIDE(side);
  const std::string link = "Was swapped for a link after it was listed";
  const std::string other = "Was swapped for another folder after it was listed";
  // X3 is moved out of the tree and replaced: by a link to a folder outside, which has another ID; by a link to
  // itself, which only a new listing tells; by the folder outside, which only its ID tells.
  const std::pair<const char*, std::string> swaps[] = {
      {"ln -s ../out/secret X3", link}, {"ln -s ../out/X3 X3", link}, {"mv ../out/secret X3", other}};
  for (const auto& [swap, reason] : swaps) {
    SCOPED_TRACE(swap);
    ASSERT_EQ(side.run("rm -rf tree out && mkdir -p tree/X3 out/secret && echo >tree/X3/inner.txt && "
                       "echo >out/secret/secret.txt"),
              0);
    const ScopedChdir in_tree(side / "tree");
    platform::Walk walk(platform::start_prefix());
    ASSERT_EQ(walk.relative_path(), "X3");
    ASSERT_EQ(walk.kind(), platform::Kind::directory);
    ASSERT_EQ(side.run(std::string("cd tree && mv X3 ../out && ") + swap), 0);
    std::string error;
    try {
      for (walk.advance(); !walk.at_end(); walk.advance()) {
        ADD_FAILURE() << walk.relative_path();
      }
    } catch (const std::system_error& failure) {
      error = failure.what();
    }
    EXPECT_EQ(error, "recursive_directory_iterator::operator++: " + reason + " [" + (side / "tree\\X3") + "]");
  }
}

// Wine turns SIGINT into Ctrl+C, as a console gives it to a program. The program is this one's child, so that its
// status is the one Windows gives: Wine may report a process that ends with threads running to its Linux parent as
// killed by SIGKILL.
TEST(UnderWine, CtrlCStopsTheRunAfterALineAndEndsItAsStopped) {
  const LinuxSide side;
  REQUIRE_LINUX_SIDE(side);
  // A terabyte of zeros takes minutes to hash: the run cannot end before it is stopped, once it made its lists. The
  // Linux side finds the program by the folder of its copy.
  ASSERT_EQ(side.run("mkdir stopped && echo >stopped/small.txt && truncate -s 1T stopped/huge.bin"), 0);
  ASSERT_TRUE(CopyFileW(program_path().c_str(), wide(side / "stopped.exe").c_str(), TRUE));
  ASSERT_EQ(
      side.run(
          "(while [ ! -e stopped/patchlist.txt ]; do sleep 0.01; done\n"
          "for process in /proc/[0-9]*; do\n"
          "  case $(tr '\\0' ' ' <$process/cmdline) in *${PWD##*/}?stopped.exe*) kill -INT ${process#/proc/};; esac\n"
          "done) >/dev/null 2>&1 &"),
      0);
  const RunResult run = run_program(wide(side / "stopped.exe"), wide(side / "stopped"));
  EXPECT_EQ(static_cast<DWORD>(run.exit_status), STATUS_CONTROL_C_EXIT);
  EXPECT_EQ(run.err, "treeinv: Stopped by SIGINT\r\n");
  for (const char* list : {"folders.txt", "patchlist.txt"}) {
    const std::string lines = read_file(side / "stopped\\" + list);
    EXPECT_TRUE(lines.empty() || lines.substr(lines.size() - 2) == "\r\n") << list;
    EXPECT_EQ(lines.find("huge.bin"), std::string::npos) << list;
  }
}

// 3,000 levels of names of 11 characters make a path of 36,000, more than a full path on Windows can hold and more
// than Linux's 4,096 bytes: Perl builds the tree folder by folder. The exe runs under GNU time, whose status Wine
// may make SIGKILL (see above); the lists tell that the run was whole.
TEST(UnderWine, ATreeDeeperThanAnyPathIsListedInLittleMemory) {
  const LinuxSide side;
  REQUIRE_LINUX_SIDE(side);
  if (side.run("test -x /usr/bin/time") != 0) {
    GTEST_SKIP() << "needs GNU time (the Debian package time)";
  }
  constexpr int k_levels = 3000;
  const std::string name = "abcdefghijk";
  const std::string program = "\"$TREEINV_WINE\" '" + ansi(program_path()) + "'";
  ASSERT_EQ(side.run("mkdir deep empty && cd deep && perl -e 'for (1.." + std::to_string(k_levels) + ") { mkdir \"" +
                     name + "\" and chdir \"" + name +
                     "\" or die }' && cd ../empty && /usr/bin/time -f %M -o ../empty.kib " + program +
                     "; cd ../deep && /usr/bin/time -f %M -o ../deep.kib " + program + "; true"),
            0);
  std::string folders;
  std::string path;
  for (int level = 0; level < k_levels; ++level) {
    path += name + "\\";
    folders += path + "\r\n";
  }
  EXPECT_TRUE(read_file(side / "deep\\folders.txt") == folders);
  const std::string patchlist = read_file(side / "deep\\patchlist.txt");
  EXPECT_EQ(std::count(patchlist.begin(), patchlist.end(), '\n'), 2) << patchlist;
  // Peak resident memory in KiB. Wine itself keeps about 5.6 KiB for every folder a process has listed.
  const long growth = std::stol(read_file(side / "deep.kib")) - std::stol(read_file(side / "empty.kib"));
  EXPECT_LT(growth, 16 * 1024 + 6 * k_levels);
}

// Opens `name` in the working directory as the walk hands it out.
int open_as_walked(const std::string& name, platform::FileState& opened) {
  platform::Walk walk(platform::start_prefix());
  while (!walk.at_end() && walk.relative_path() != name) {
    walk.advance();
  }
  return walk.at_end() ? -1 : platform::open_file(walk.file(), opened);
}

template <typename Digest> std::string digest_or_error(Digest digest) {
  try {
    return digest();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
}

TEST(WindowsFiles, AFileRewrittenWithItsTimePutBackIsNoDigest) {
  TempDir dir;
  write_file(dir / "rewritten.bin", std::string(100000, 'a'));
  ScopedChdir in_dir(dir.path());
  platform::FileState opened;
  const OpenFile file(open_as_walked("rewritten.bin", opened));
  ASSERT_GE(file.fd(), 0);
  const HANDLE writer = CreateFileW(L"rewritten.bin", GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  FILETIME written;
  DWORD count = 0;
  const bool rewritten = GetFileTime(writer, nullptr, nullptr, &written) &&
                         WriteFile(writer, "b", 1, &count, nullptr) && SetFileTime(writer, nullptr, nullptr, &written);
  CloseHandle(writer);
  ASSERT_TRUE(rewritten);
  // Only the change time tells.
  platform::FileState now;
  ASSERT_TRUE(platform::file_state(file.fd(), now));
  EXPECT_TRUE(now.size == opened.size && now.modified == opened.modified && now.changed != opened.changed);
  EXPECT_EQ(digest_or_error([&] { return FileDigester().digest_open(file.fd(), opened, "rewritten.bin"); }),
            "Cannot read \"rewritten.bin\": File changed while it was read.");
}

TEST(WindowsFiles, AnotherProgramMayRenameAFileWhileItIsRead) {
  TempDir dir;
  write_file(dir / "moved.bin", "moved");
  ScopedChdir in_dir(dir.path());
  platform::FileState opened;
  const OpenFile file(open_as_walked("moved.bin", opened));
  RunOptions options;
  options.arguments = {"moved.bin", "elsewhere.bin"};
  const std::wstring helper = fs::path(program_path()).replace_filename(L"rename_twice.exe").wstring();
  EXPECT_EQ(run_program(helper, wide(dir.path()), options).exit_status, 0);
  // A rename is a change on some file systems (Linux's, under Wine) and not on others: either way no wrong digest.
  const std::string digest =
      digest_or_error([&] { return FileDigester().digest_open(file.fd(), opened, "moved.bin"); });
  EXPECT_TRUE(digest == reference_sha256("moved") ||
              digest == "Cannot read \"moved.bin\": File changed while it was read.")
      << digest;
}

TEST(WindowsFiles, AFileRemovedSinceTheEnumerationFailsAtItsOpen) {
  TempDir dir;
  write_file(dir / "gone.txt", "gone");
  ScopedChdir in_dir(dir.path());
  platform::Walk walk(platform::start_prefix());
  ASSERT_TRUE(DeleteFileW(L"gone.txt"));
  EXPECT_EQ(walk.kind(), platform::Kind::other);
  EXPECT_EQ(digest_or_error([&] { return FileDigester().digest(walk.file(), walk.relative_path()); }),
            "Cannot open \"gone.txt\": No such file or directory.");
}

TEST(WindowsFiles, AFileLockedAgainstReadingEndsTheRun) {
  // Standard error is a file here, which gets the message in the bytes of the code page: 0xE9 for the "é" of 1252.
  for (const std::string name : {"locked.bin", "caf\xe9.bin"}) {
    if (name != "locked.bin" && GetACP() != 1252) {
      continue;
    }
    TempDir dir;
    write_file(dir / name, "locked");
    const HANDLE lock = CreateFileW(wide(dir / name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    const RunResult run = run_treeinv(dir.path());
    CloseHandle(lock);
    expect_failure(run, "Cannot open \"" + name + "\": Permission denied.");
    expect_no_line_for(dir, name);
  }
}

TEST(WindowsFiles, TheListsAreReadableWhileTheRunHoldsThemOpen) {
  TempDir dir;
  ScopedChdir in_dir(dir.path());
  ListFiles lists;
  lists.append_folder("data\\video");
  lists.append_file("data\\video\\intro.bin", std::string(64, 'a'));
  // Read by another opener, by name, while still open for writing.
  EXPECT_EQ(read_file("folders.txt"), "data\\video\\\r\n");
  EXPECT_EQ(FileDigester().digest(entry_named("patchlist.txt"), "patchlist.txt"),
            reference_sha256("data/video/intro.bin " + std::string(64, 'a') + "\r\n"));
  lists.close();
}

TEST(WindowsLists, ASecondRunIsRefusedAndLeavesTheListsOfTheFirstAlone) {
  TempDir dir;
  const ScopedChdir in_dir(dir.path());
  {
    ListFiles lists;
    lists.append_folder("data");
    expect_failure(run_treeinv(dir.path()), "Cannot create \"patchlist.txt\": In use by another run.");
    EXPECT_EQ(read_file("folders.txt"), "data\\\r\n");
    EXPECT_EQ(read_file("patchlist.txt"), "");
    // Nor can a check read a list half written.
    platform::FileIdentity identity;
    EXPECT_EQ(digest_or_error([&] {
                return std::to_string(platform::open_list("folders.txt", platform::ListUse::read, identity));
              }),
              "Cannot open \"folders.txt\": In use by another run.");
    lists.close();
  }
  // And while a check reads one, no run writes it.
  platform::FileIdentity identity;
  const OpenFile read(platform::open_list("patchlist.txt", platform::ListUse::read, identity));
  expect_failure(run_treeinv(dir.path()), "Cannot create \"patchlist.txt\": In use by another run.");
  EXPECT_EQ(read_file("folders.txt"), "data\\\r\n");
}

TEST(WindowsExe, CarriesItsVersionForTheFileProperties) {
  const std::wstring program = program_path();
  DWORD handle = 0;
  std::vector<char> data(GetFileVersionInfoSizeW(program.c_str(), &handle));
  ASSERT_FALSE(data.empty());
  ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
  for (const wchar_t* name : {L"ProductVersion", L"FileVersion"}) {
    void* value = nullptr;
    UINT size = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    ASSERT_TRUE(VerQueryValueW(data.data(), key.c_str(), &value, &size)) << ansi(name);
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), wide(TREEINV_VERSION));
  }
}

// Wine shows no Windows link or junction to a program, so that refusal is checked on its own.
TEST(WindowsLists, ListsThatAreNotPlainFilesOfTheirOwnAreRefusedAndLeftAsTheyWere) {
  EXPECT_EQ(list_refusal(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN, 0, FILE_TYPE_DISK, 1), nullptr);
  for (const DWORD link : {0xA0000003ul, 0xA000000Cul, 0ul}) {
    EXPECT_STREQ(list_refusal(FILE_ATTRIBUTE_REPARSE_POINT, link, FILE_TYPE_DISK, 1), "Is a symbolic link or junction");
  }
  // A list in a folder that OneDrive keeps, or deduplicated, is a list like any other.
  for (const DWORD own : {0x9000001Aul, 0x80000013ul}) {
    EXPECT_EQ(list_refusal(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE, own, FILE_TYPE_DISK, 1), nullptr);
  }
  EXPECT_STREQ(list_refusal(FILE_ATTRIBUTE_NORMAL, 0, FILE_TYPE_CHAR, 1), "Is not a regular file");
  TempDir elsewhere;
  write_file(elsewhere / "victim", "precious");
  TempDir dir;
  ASSERT_TRUE(CreateHardLinkW(wide(dir / "folders.txt").c_str(), wide(elsewhere / "victim").c_str(), nullptr));
  expect_failure(run_treeinv(dir.path()), "Cannot create \"folders.txt\": Has other hard links.");
  EXPECT_EQ(read_file(elsewhere / "victim"), "precious");
  TempDir with_folder;
  make_dir(with_folder / "patchlist.txt");
  expect_failure(run_treeinv(with_folder.path()), "Cannot create \"patchlist.txt\": Is a directory.");
}

// A tree with `c` in the name of a file at the top, folders two deep, and a file below them, also last in its name.
void make_tree(const std::wstring& root, const std::vector<std::wstring>& c) {
  write_file(root + L"\\" + c[0] + L".dat", "top");
  ASSERT_TRUE(CreateDirectoryW((root + L"\\" + c[1]).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((root + L"\\" + c[1] + L"\\x " + c[2]).c_str(), nullptr));
  write_file(root + L"\\" + c[1] + L"\\x " + c[2] + L"\\" + c[3] + c[0], "deep");
}

// Double-byte code pages come from the locale Wine runs in: separate runs of the tests ask for them (in
// CMakeLists.txt), and the tests that need one are skipped elsewhere.
TEST(DoubleByte, NamesWhoseSecondByteIsABackslashAreListedWhole) {
  const char* asked = std::getenv("TREEINV_TEST_CODE_PAGE");
  // Else every test here would be skipped, and the run pass without having checked anything.
  EXPECT_TRUE(asked == nullptr || std::to_string(GetACP()) == asked) << GetACP();
  const std::vector<std::wstring> c = backslash_characters(GetACP());
  if (c.empty()) {
    GTEST_SKIP() << "expects a double-byte ANSI code page, not " << GetACP();
  }
  TempDir dir;
  // The starting folder too: its name may end in such a character.
  for (const std::string& start : {dir.path(), dir / ansi(c[3])}) {
    if (start != dir.path()) {
      make_dir(start);
    }
    make_tree(wide(start), c);
    expect_clean_run(run_treeinv(start));
    const std::string line = ansi(c[1]) + "/x " + ansi(c[2]) + "/" + ansi(c[3] + c[0]) + " " + reference_sha256("deep");
    EXPECT_NE(read_file(start + "\\patchlist.txt").find(line + "\r\n"), std::string::npos);
    expect_lists_match_model(start);
  }
  // Hangul is in none of these code pages.
  write_file(wide(dir / ansi(c[1])) + L"\\\ud55c" + c[0], "hangul");
  expect_failure(run_treeinv(dir.path()),
                 "Cannot list \"" + (dir / ansi(c[1])) + "\\?" + ansi(c[0]) + "\": " + no_mapping_text());
}

TEST(WindowsUtf8, ACopyWhoseCodePageIsUtf8ListsEveryNameAsItsUtf8Bytes) {
  // The manifest does for this copy what the Windows setting for UTF-8 worldwide does for every program.
  TempDir copy;
  ASSERT_TRUE(CopyFileW(program_path().c_str(), wide(copy / "treeinv.exe").c_str(), TRUE));
  write_file(copy / "treeinv.exe.manifest",
             "<assembly manifestVersion=\"1.0\" xmlns=\"urn:schemas-microsoft-com:asm.v1\"><application>"
             "<windowsSettings><activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">"
             "UTF-8</activeCodePage></windowsSettings></application></assembly>");
  TempDir dir;
  make_tree(wide(dir.path()), {L"\u80fd", L"\u4e57\u529f", L"\ud55c", L"caf\u00e9 \u0100\U0001f600"});
  expect_clean_run(run_program(wide(copy / "treeinv.exe"), wide(dir.path())));
  EXPECT_NE(read_file(dir / "patchlist.txt").find("\xe8\x83\xbd.dat " + reference_sha256("top")), std::string::npos);
  const Lists expected = model_inventory(dir.path(), CP_UTF8);
  EXPECT_EQ(read_file(dir / "folders.txt"), expected.folders);
  EXPECT_EQ(read_file(dir / "patchlist.txt"), expected.patchlist);
}

} // namespace
} // namespace treeinv::test
