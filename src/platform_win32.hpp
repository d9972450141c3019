#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Pieces of the Windows layer worth checking on their own: decisions that Wine cannot show through a whole run
// (junctions, cloud files, file systems without IDs), and conversions whose code page a test can name here.
namespace treeinv::platform::win32 {

// The code page of narrow paths: UTF-8 when the C runtime's locale uses it, else that of the file functions.
unsigned narrow_code_page();

// The exact narrow form of a wide name: no best-fit substitute, no default character. Nothing when there is none.
std::optional<std::string> to_narrow(std::wstring_view wide, unsigned code_page = narrow_code_page());

// A wide name for a message: its exact narrow form, with "?" for each character that has none, never a look-alike.
std::string shown(std::wstring_view wide, unsigned code_page = narrow_code_page());

// The wide form of a narrow path; nothing when it holds bytes that are not valid in the narrow code page.
std::optional<std::wstring> to_wide(std::string_view narrow, unsigned code_page = narrow_code_page());

// A folder's full path as messages show it (see shown()), followed by the separator before the names in it unless
// it ends in one (a drive root). Only names below the folder need an exact narrow form.
std::string prefix_of(std::wstring_view folder, unsigned code_page = narrow_code_page());

// `path` in narrow form with each "\" between its components replaced by `separator`; the second byte 0x5C of a
// character of a double-byte code page stays.
std::string with_separators(std::string path, char separator, unsigned code_page);

// Whether an entry of these attributes and reparse tag stands for another: a name surrogate (symbolic link,
// junction) or the tag 0 of Wine's Linux links. Other reparse points (cloud, deduplicated, compressed) are not.
bool is_link(std::uint32_t attributes, std::uint32_t reparse_tag);

// Whether an ID tells a file apart: file systems without IDs give 0, and ReFS all ones where an ID takes 128 bits.
bool usable_id(std::uint64_t id);

// What a listing or a handle says of an entry.
struct Sighting {
  std::uint32_t attributes = 0;
  std::uint32_t reparse_tag = 0;
  std::uint64_t id = 0;
};

// Why a folder about to be entered is not the one its parent's listing gave (`listed`), judged by a listing of its
// name alone just before the open and by the handle opened: a link put in its place, or another folder; or null.
const char* folder_refusal(const Sighting& listed, const Sighting& looked_again, const Sighting& opened);

// Why a file at a list's name cannot serve as that list, judged by what its handle says; null when it can.
const char* list_refusal(std::uint32_t attributes, std::uint32_t reparse_tag, std::uint32_t file_type,
                         std::uint32_t links);

} // namespace treeinv::platform::win32
