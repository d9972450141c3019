#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Pieces of the Windows layer that are worth checking on their own, some of them because Wine cannot show them
// through a whole run (junctions, cloud files, file systems without file IDs), others because they depend on the
// code page, which a test can name here instead of changing the system's.
namespace treeinv::platform::win32 {

// The code page of narrow paths: UTF-8 when the C runtime's locale uses it, otherwise the code page the file
// functions use, ANSI or OEM (either of which may itself be UTF-8).
unsigned narrow_code_page();

// The exact narrow form of a wide name: no best-fit substitute, no default character. Nothing when there is none.
std::optional<std::string> to_narrow(std::wstring_view wide, unsigned code_page = narrow_code_page());

// A wide name for a message: its exact narrow form where it has one, with "?" for each character that has none,
// never a look-alike.
std::string shown(std::wstring_view wide, unsigned code_page = narrow_code_page());

// The wide form of a narrow path; nothing when it holds bytes that are not valid in the narrow code page.
std::optional<std::wstring> to_wide(std::string_view narrow, unsigned code_page = narrow_code_page());

// A folder's full path as messages show it (see shown()) followed by the separator that comes before the names in
// it, unless the path ends in one already (a drive root). Only names below the folder need an exact narrow form.
std::string prefix_of(std::wstring_view folder, unsigned code_page = narrow_code_page());

// `path` in narrow form with each "\" between its components replaced by `separator`. In a double-byte code page
// the second byte of a character may be 0x5C too; that byte stays.
std::string with_separators(std::string path, char separator, unsigned code_page);

// Whether an entry of these attributes and reparse tag stands for another one: a symbolic link, a junction or
// another name surrogate, or a reparse point of the tag 0, as Wine shows a Linux symbolic link. Other reparse
// points (cloud files, deduplicated or compressed ones) hold their own contents and are ordinary entries.
bool is_link(std::uint32_t attributes, std::uint32_t reparse_tag);

// Whether an ID tells a file apart: file systems without IDs give 0, and those whose IDs take 128 bits give all
// ones for the 64-bit form.
bool usable_id(std::uint64_t id);

// What a folder's listing or an open handle says of an entry.
struct Sighting {
  std::uint32_t attributes = 0;
  std::uint32_t reparse_tag = 0;
  std::uint64_t id = 0;
};

// Why a folder about to be entered is not the one its parent's listing gave (`listed`), judged by a listing of its
// name alone just before it was opened (`looked_again`) and by what the opened handle says (`opened`): a link put
// in its place, or another folder. Null when it may be entered.
const char* folder_refusal(const Sighting& listed, const Sighting& looked_again, const Sighting& opened);

// Why a file found at a list's name cannot serve as that list, judged by what its handle says (attributes, reparse
// tag, file type, number of names); null when it can.
const char* list_refusal(std::uint32_t attributes, std::uint32_t reparse_tag, std::uint32_t file_type,
                         std::uint32_t links);

} // namespace treeinv::platform::win32
