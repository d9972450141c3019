#include "platform_win32.hpp"

#include "file_error.hpp"
#include "platform.hpp"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <locale.h>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <windows.h>
#include <winternl.h>

extern "C" {
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                    FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
}

namespace treeinv::platform {

// Windows names cannot hold a line end, but a broken file system could still hand one over, and it would split a
// line of either list. A backslash cannot be refused here: it is the separator, and in a double-byte code page it
// is also the second byte of some characters.
const char* const k_unlistable_bytes = "\r\n";

namespace win32 {
namespace {

// The system's text for an error code, without the full stop and line end it comes with.
std::string system_message(DWORD code) {
  char text[1024];
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                              sizeof text, nullptr);
  while (size > 0 && std::string_view(". \r\n").find(text[size - 1]) != std::string_view::npos) {
    --size;
  }
  return size > 0 ? std::string(text, size) : "error " + std::to_string(code);
}

// The narrow form of `wide` in `code_page`, without best fit. Where a character has no exact form: nothing when
// `substitute` is false, "?" in its place when it is true.
std::optional<std::string> convert(std::wstring_view wide, UINT code_page, bool substitute) {
  // UTF-8 takes neither WC_NO_BEST_FIT_CHARS nor a default character: all it cannot hold is a lone surrogate, which
  // it would write as U+FFFD unless told to fail.
  const bool utf8 = code_page == CP_UTF8;
  std::wstring replaced;
  if (utf8 && substitute) {
    replaced.assign(wide);
    for (std::size_t i = 0; i < replaced.size(); ++i) {
      if (IS_HIGH_SURROGATE(replaced[i]) && i + 1 < replaced.size() && IS_LOW_SURROGATE(replaced[i + 1])) {
        ++i;
      } else if (IS_HIGH_SURROGATE(replaced[i]) || IS_LOW_SURROGATE(replaced[i])) {
        replaced[i] = L'?';
      }
    }
    wide = replaced;
  }
  // Three bytes a code unit hold every character of UTF-8 and of the code pages Windows takes for ANSI or OEM, none
  // of which has characters of more than two bytes.
  std::string text(wide.size() * 3, '\0');
  BOOL used_default = FALSE;
  const int size = WideCharToMultiByte(code_page, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wide.data(),
                                       static_cast<int>(wide.size()), text.data(), static_cast<int>(text.size()),
                                       utf8 ? nullptr : "?", utf8 ? nullptr : &used_default);
  if ((size <= 0 && !wide.empty()) || (used_default && !substitute)) {
    return std::nullopt;
  }
  text.resize(static_cast<std::size_t>(std::max(size, 0)));
  return text;
}

// A failure of the system, worded as on every platform: "WHAT: REASON", and " [PATH]" when a path is concerned.
class SystemError : public std::system_error {
public:
  SystemError(const std::string& what, DWORD code, const std::string* path = nullptr, const char* reason = nullptr)
      : std::system_error(static_cast<int>(code), std::system_category()),
        m_what(what + ": " + (reason != nullptr ? reason : system_message(code)) +
               (path != nullptr ? " [" + *path + "]" : "")) {}
  const char* what() const noexcept override { return m_what.c_str(); }

private:
  std::string m_what;
};

} // namespace

unsigned narrow_code_page() {
  if (___lc_codepage_func() == CP_UTF8) {
    return CP_UTF8;
  }
  // Named by number, so that a system whose ANSI code page is UTF-8 is recognised as such.
  return AreFileApisANSI() ? GetACP() : GetOEMCP();
}

std::optional<std::string> to_narrow(std::wstring_view wide, unsigned code_page) {
  return convert(wide, code_page, false);
}

std::string shown(std::wstring_view wide, unsigned code_page) {
  // Only a code page the system does not have leaves nothing to show.
  return convert(wide, code_page, true).value_or(std::string(wide.size(), '?'));
}

std::optional<std::wstring> to_wide(std::string_view narrow, unsigned code_page) {
  std::wstring wide(narrow.size(), L'\0');
  const int size = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, narrow.data(), static_cast<int>(narrow.size()),
                                       wide.data(), static_cast<int>(wide.size()));
  if (size <= 0 && !narrow.empty()) {
    return std::nullopt;
  }
  wide.resize(static_cast<std::size_t>(std::max(size, 0)));
  return wide;
}

std::string prefix_of(std::wstring_view folder, unsigned code_page) {
  std::string prefix = shown(folder, code_page);
  // Decided on the wide path: the last byte of the narrow one may be the second half of a character.
  if (folder.empty() || folder.back() != L'\\') {
    prefix += '\\';
  }
  return prefix;
}

std::string with_separators(std::string path, char separator, unsigned code_page) {
  // In UTF-8 and the single-byte code pages every byte 0x5C is a "\"; in a double-byte one, a lead byte takes the
  // next byte with it, whatever its value.
  CPINFO info;
  const bool double_byte = code_page != CP_UTF8 && GetCPInfo(code_page, &info) != 0 && info.MaxCharSize > 1;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (double_byte && IsDBCSLeadByteEx(code_page, static_cast<BYTE>(path[i]))) {
      ++i;
    } else if (path[i] == '\\') {
      path[i] = separator;
    }
  }
  return path;
}

bool is_link(std::uint32_t attributes, std::uint32_t reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (reparse_tag == 0 || IsReparseTagNameSurrogate(reparse_tag));
}

bool usable_id(std::uint64_t id) {
  return id != 0 && id != UINT64_MAX;
}

const char* folder_refusal(const Sighting& listed, const Sighting& looked_again, const Sighting& opened) {
  // Windows' handle tells a link put in the folder's place; Wine's follows it even when asked not to, and only a
  // listing still shows it there.
  for (const Sighting* seen : {&looked_again, &opened}) {
    if ((seen->attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || is_link(seen->attributes, seen->reparse_tag)) {
      return "Was swapped for a link after it was listed";
    }
  }
  for (const Sighting* seen : {&looked_again, &opened}) {
    if (usable_id(listed.id) && usable_id(seen->id) && seen->id != listed.id) {
      return "Was swapped for another folder after it was listed";
    }
  }
  return nullptr;
}

const char* list_refusal(std::uint32_t attributes, std::uint32_t reparse_tag, std::uint32_t file_type,
                         std::uint32_t links) {
  if (is_link(attributes, reparse_tag)) {
    return "Is a symbolic link or junction";
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "Is a directory";
  }
  if (file_type != FILE_TYPE_DISK) {
    return "Is not a regular file";
  }
  if (links > 1) {
    return "Has other hard links";
  }
  return nullptr;
}

} // namespace win32

using win32::SystemError;

// A folder of the tree, open for listing and for opening what is in it. Nothing is ever opened by its full path:
// the depth of a tree is limited by memory alone, and a folder renamed or swapped meanwhile cannot redirect an open.
struct Folder {
  Folder() = default;
  ~Folder() {
    if (handle != nullptr) {
      CloseHandle(handle);
    }
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  HANDLE handle = nullptr;
};

namespace {

constexpr NTSTATUS k_oplock_break_in_progress = 0x00000108;
constexpr auto k_buffer_overflow = static_cast<NTSTATUS>(0x80000005);
constexpr auto k_no_more_files = static_cast<NTSTATUS>(0x80000006);
constexpr auto k_no_such_file = static_cast<NTSTATUS>(0xC000000F);
constexpr auto k_file_is_a_directory = static_cast<NTSTATUS>(0xC00000BA);
constexpr auto k_file_id_information = static_cast<FILE_INFORMATION_CLASS>(59);
constexpr ULONG k_share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const char* const k_walk_start = "recursive_directory_iterator::recursive_directory_iterator";
const char* const k_walk_on = "recursive_directory_iterator::operator++";

// The C runtime's error number for a system error it did not translate itself, as it would have translated it.
int errno_of(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_NAME:
  case ERROR_BAD_PATHNAME:
    return ENOENT;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
  case ERROR_WRITE_PROTECT:
    return EACCES;
  case ERROR_NOT_ENOUGH_MEMORY:
  case ERROR_OUTOFMEMORY:
    return ENOMEM;
  case ERROR_TOO_MANY_OPEN_FILES:
    return EMFILE;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return ENOSPC;
  case ERROR_INVALID_HANDLE:
    return EBADF;
  case ERROR_NO_UNICODE_TRANSLATION:
    return EILSEQ;
  case ERROR_OPERATION_ABORTED:
    return EINTR;
  // What a socket or an application's alias gives, which no filter turns into contents.
  case ERROR_CANT_ACCESS_FILE:
    return ENXIO;
  default:
    return EIO;
  }
}

int errno_of(NTSTATUS status) {
  return status == k_file_is_a_directory ? EISDIR : errno_of(RtlNtStatusToDosError(status));
}

bool is_not_found(NTSTATUS status) {
  const DWORD error = RtlNtStatusToDosError(status);
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
         error == ERROR_INVALID_NAME;
}

// The working directory's full path. Throws `what` when there is none to be had.
std::wstring working_directory(const char* what) {
  // Asked for its size first, which counts the terminating null. Nothing in this program changes it meanwhile.
  std::wstring directory(GetCurrentDirectoryW(0, nullptr), L'\0');
  const DWORD size = GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data());
  if (size == 0 || size >= directory.size()) {
    throw SystemError(what, GetLastError());
  }
  directory.resize(size);
  return directory;
}

// The name `name` for the system's functions that take it in a UNICODE_STRING, which they do not change.
UNICODE_STRING unicode_string(const std::wstring& name) {
  const auto size = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  return {size, size, const_cast<wchar_t*>(name.data())};
}

// Opens `name` in `folder` for synchronous use.
NTSTATUS open_in(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG options, HANDLE& handle) {
  UNICODE_STRING text = unicode_string(name);
  OBJECT_ATTRIBUTES object;
  // Without regard to case, as every other program opens names, and as Wine needs for the short names it makes up
  // for Linux names that Windows cannot hold.
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status;
  return NtCreateFile(&handle, access | SYNCHRONIZE, &object, &status, nullptr, 0, k_share_all, FILE_OPEN,
                      options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

template <typename Information> NTSTATUS query(HANDLE handle, Information& information, FILE_INFORMATION_CLASS kind) {
  IO_STATUS_BLOCK status;
  return NtQueryInformationFile(handle, &status, &information, sizeof information, kind);
}

win32::Sighting sighting_of(const FILE_ID_BOTH_DIR_INFORMATION& entry) {
  // The tag stands where the size of the extended attributes would, which a reparse point cannot have.
  const bool reparse = (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return {entry.FileAttributes, reparse ? entry.EaSize : 0, static_cast<std::uint64_t>(entry.FileId.QuadPart)};
}

// How the entry `name` of the folder `folder` is listed now, by a listing of that name alone through a handle of
// its own, which leaves the folder's listing where it is.
NTSTATUS look_again(HANDLE folder, const std::wstring& name, win32::Sighting& seen) {
  HANDLE copy = nullptr;
  NTSTATUS result = open_in(folder, L"", FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, copy);
  if (result < 0) {
    return result;
  }
  struct {
    FILE_ID_BOTH_DIR_INFORMATION info;
    WCHAR name[MAX_PATH];
  } entry{};
  UNICODE_STRING mask = unicode_string(name);
  IO_STATUS_BLOCK status;
  result = NtQueryDirectoryFile(copy, nullptr, nullptr, nullptr, &status, &entry, sizeof entry,
                                FileIdBothDirectoryInformation, TRUE, &mask, TRUE);
  CloseHandle(copy);
  seen = sighting_of(entry.info);
  return result;
}

// Nanoseconds since 1970 of a time counted in 100 ns since 1601, in unsigned arithmetic, which wraps for times
// past the year 2262 rather than overflow: only equality counts.
std::int64_t nanoseconds(const LARGE_INTEGER& time) {
  constexpr std::uint64_t k_1601_to_1970 = 116444736000000000;
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.QuadPart) - k_1601_to_1970) * 100);
}

// The lists this process writes: their volume's serial number and their IDs. A file has its ID alone for identity,
// since asking every file for its volume would cost a question per open and another at the end of its read; only
// one whose ID is a list's is asked, so that a file on another volume, behind a link, is not taken for a list.
std::atomic<std::uint64_t> g_list_volume{0};
std::atomic<std::uint64_t> g_list_ids[2];
std::atomic<unsigned> g_lists_opened{0};

// The identity of the open file `handle`, whose 64-bit ID is `id`.
NTSTATUS identify(HANDLE handle, std::uint64_t id, FileIdentity& identity) {
  identity = {0, id, 0};
  NTSTATUS result = 0;
  if (!win32::usable_id(id)) {
    // ReFS gives all ones where the ID takes 128 bits; file systems without IDs give 0 for both forms, and their
    // files are then known by their full path on the volume, as a list by its two names.
    struct {
      std::uint64_t volume;
      std::uint64_t id[2];
    } full{};
    result = query(handle, full, k_file_id_information);
    if (result >= 0 && (win32::usable_id(full.id[0]) || win32::usable_id(full.id[1]))) {
      identity = {0, full.id[0], full.id[1]};
    } else {
      std::vector<wchar_t> name(32 * 1024 + 2);
      IO_STATUS_BLOCK status;
      result = NtQueryInformationFile(handle, &status, name.data(), static_cast<ULONG>(name.size() * sizeof(wchar_t)),
                                      FileNameInformation);
      if (result < 0) {
        return result;
      }
      // FNV-1a over the name's upper case, since names differ by case alone only in how they were opened.
      const auto length = static_cast<DWORD>(reinterpret_cast<const ULONG*>(name.data())[0] / sizeof(wchar_t));
      CharUpperBuffW(name.data() + 2, length);
      std::uint64_t hash = 14695981039346656037u;
      for (DWORD i = 0; i < length; ++i) {
        hash = (hash ^ name[2 + i]) * 1099511628211u;
      }
      identity = {0, hash, UINT64_MAX};
    }
  }
  if (identity.file == g_list_ids[0] || identity.file == g_list_ids[1]) {
    FILE_FS_VOLUME_INFORMATION volume{};
    IO_STATUS_BLOCK status;
    result = NtQueryVolumeInformationFile(handle, &status, &volume, sizeof volume, FileFsVolumeInformation);
    if (result >= 0 && result != k_buffer_overflow && volume.VolumeSerialNumber != g_list_volume) {
      identity.volume = std::uint64_t{volume.VolumeSerialNumber} | std::uint64_t{1} << 32;
    }
  }
  return result < 0 && result != k_buffer_overflow ? result : 0;
}

// What tells whether a file changed: FileAllInformation holds the size, the ID and the times, among them the change
// time, which moves when the contents are rewritten and the last-write time is put back. The name at its end seldom
// fits; the system then says so with a warning, having filled in everything before it. Gives the attributes too.
NTSTATUS state_of(HANDLE handle, FileState& state, std::uint32_t* attributes = nullptr) {
  struct {
    FILE_ALL_INFORMATION info;
    WCHAR name[MAX_PATH];
  } all;
  NTSTATUS result = query(handle, all, FileAllInformation);
  if (result < 0 && result != k_buffer_overflow) {
    return result;
  }
  state.size = static_cast<std::uint64_t>(all.info.StandardInformation.EndOfFile.QuadPart);
  state.modified = nanoseconds(all.info.BasicInformation.LastWriteTime);
  state.changed = nanoseconds(all.info.BasicInformation.ChangeTime);
  if (attributes != nullptr) {
    *attributes = all.info.BasicInformation.FileAttributes;
  }
  return identify(handle, static_cast<std::uint64_t>(all.info.InternalInformation.IndexNumber.QuadPart),
                  state.identity);
}

// The descriptors of this layer are the system's handles themselves: the C runtime's own would cost a GetFileType
// per file to make, and hold nothing this layer uses. A handle fits in an int, which Windows promises so that
// 32-bit and 64-bit programs can share them, and a valid one is never -1.
HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

int descriptor_of(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

// The console event that asked the run to stop, named as the C runtime names the signals it raises for them.
std::atomic<const char*> g_stop_request{nullptr};
// The thread that takes the inventory, whose waits for a file server a stop request cuts short.
HANDLE g_main_thread = nullptr;

BOOL WINAPI note_stop_request(DWORD event) {
  const char* name = event == CTRL_C_EVENT       ? "INT"
                     : event == CTRL_BREAK_EVENT ? "BREAK"
                     : event == CTRL_CLOSE_EVENT ? "HUP"
                                                 : "TERM";
  const char* none = nullptr;
  g_stop_request.compare_exchange_strong(none, name);
  CancelSynchronousIo(g_main_thread);
  // When the console closes, or the user logs off, Windows ends the process once this returns, and after a few
  // seconds anyway: those seconds are left to the run to finish its line and end as stopped.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
    Sleep(INFINITE);
  }
  return TRUE;
}

} // namespace

void prepare_process() {
  // A drive without a disk in it must fail like any other unreadable folder, not wait for someone to answer a
  // dialog box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  // A process started with Ctrl+C ignored (in a new process group) is not called for it, and stays so.
  SetConsoleCtrlHandler(note_stop_request, TRUE);
}

const char* stop_request() {
  return g_stop_request.load(std::memory_order_relaxed);
}

void end_by_stop_request() {
  if (stop_request() != nullptr) {
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
}

std::thread start_thread(std::function<void()> body) {
  // Console events come on a thread of their own, whatever the others do.
  return std::thread(std::move(body));
}

std::string start_prefix() {
  return win32::prefix_of(working_directory("current_path()"));
}

void use_separators(std::string& path, char separator) {
  path = win32::with_separators(std::move(path), separator, win32::narrow_code_page());
}

// The walk reads each folder's entries in batches of 4 KiB through its handle, with their attributes, reparse tags
// and IDs, and keeps per level only the batch it is in and the length of the folder's relative path, so that
// memory grows with the depth, not its square.
//
// The cost model, in calls of the system: per plain file, none here (its kind comes with the listing) and, for its
// digest, an open, a question at the open, a read, a question at the end and a close. Per folder, a question by
// its name, an open, two questions, and a listing per batch; per link one open and one question, to learn its
// target's kind.
struct Walk::State {
  struct Level {
    std::shared_ptr<const Folder> folder;
    // The length of the relative path of the folder's entries before their names, and whether every name on the
    // way has an exact narrow form: otherwise the path is only fit to be shown.
    std::size_t prefix_length = 0;
    bool exact = true;
    // The raw records of the batch being visited, the offset of the next one and the end of the last.
    std::vector<std::uint64_t> batch;
    std::size_t next = 0;
    std::size_t end = 0;
    bool exhausted = false;
  };
  static constexpr std::size_t k_batch_bytes = 4096;

  std::string prefix;
  // The starting folder's narrow path as messages show it.
  std::string root_shown;
  UINT code_page = 0;
  std::vector<Level> levels;
  std::vector<std::uint64_t> buffer = std::vector<std::uint64_t>(k_batch_bytes / sizeof(std::uint64_t));

  // The current entry as its folder's listing gave it (its name aside), its narrow name and its narrow path below
  // the starting folder, exact when `exact` is.
  FILE_ID_BOTH_DIR_INFORMATION listed{};
  std::wstring wide_name;
  std::string name;
  std::string relative;
  bool exact = true;
  bool known = false; // kind, descend and through_link below are known
  Kind kind = Kind::other;
  bool descend = false;
  bool through_link = false;

  // A path below the starting folder as messages show it.
  std::string shown_path(const std::string& below) const { return below.empty() ? root_shown : prefix + below; }

  std::string folder_path() const {
    const std::size_t length = levels.back().prefix_length;
    return shown_path(relative.substr(0, length > 0 ? length - 1 : 0));
  }

  // Opens the current entry of the innermost folder, or with none the working directory, into a new level.
  // Throws `operation` on failure, leaving the levels as they were.
  void enter(const char* operation) {
    // Made before the folder is opened, so that running out of memory cannot lose the handle.
    auto folder = std::make_shared<Folder>();
    Level level;
    if (levels.empty()) {
      folder->handle = CreateFileW(L".", FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE, k_share_all, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (folder->handle == INVALID_HANDLE_VALUE) {
        folder->handle = nullptr;
        throw SystemError(operation, GetLastError(), &root_shown);
      }
    } else {
      const std::string where = shown_path(relative);
      const HANDLE parent = levels.back().folder->handle;
      win32::Sighting again;
      win32::Sighting opened;
      NTSTATUS result = look_again(parent, wide_name, again);
      if (result >= 0) {
        result = open_in(parent, wide_name, FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                         FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, folder->handle);
      }
      FILE_ATTRIBUTE_TAG_INFORMATION tag{};
      FILE_INTERNAL_INFORMATION internal{};
      if (result >= 0) {
        result = query(folder->handle, tag, FileAttributeTagInformation);
      }
      if (result >= 0) {
        result = query(folder->handle, internal, FileInternalInformation);
      }
      if (result < 0) {
        throw SystemError(operation, RtlNtStatusToDosError(result), &where);
      }
      opened = {tag.FileAttributes, tag.ReparseTag, static_cast<std::uint64_t>(internal.IndexNumber.QuadPart)};
      if (const char* refusal = win32::folder_refusal(sighting_of(listed), again, opened)) {
        throw SystemError(operation, ERROR_FILE_INVALID, &where, refusal);
      }
      level.prefix_length = relative.size() + 1;
      level.exact = exact;
    }
    level.folder = std::move(folder);
    levels.push_back(std::move(level));
    if (levels.size() > 1) {
      relative += '\\';
    }
  }

  // Reads the next batch of a folder's entries, once those of the last are visited.
  void read_batch(Level& level, const char* operation) {
    IO_STATUS_BLOCK status{};
    const NTSTATUS result =
        NtQueryDirectoryFile(level.folder->handle, nullptr, nullptr, nullptr, &status, buffer.data(), k_batch_bytes,
                             FileIdBothDirectoryInformation, FALSE, nullptr, FALSE);
    // The root of an empty drive has not even "." and "..".
    if (result == k_no_more_files || result == k_no_such_file) {
      level.exhausted = true;
      return;
    }
    if (result < 0) {
      const std::string where = folder_path();
      throw SystemError(operation, RtlNtStatusToDosError(result), &where);
    }
    level.end = status.Information;
    level.batch.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>((level.end + 7) / 8));
    level.next = 0;
  }

  // Moves to the next entry of the innermost folder, or of the folders around it once that one is done.
  void settle(const char* operation) {
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.next < level.end) {
        const char* record = reinterpret_cast<const char*>(level.batch.data()) + level.next;
        constexpr std::size_t k_name_offset = offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName);
        std::memcpy(&listed, record, k_name_offset);
        wide_name.resize(listed.FileNameLength / sizeof(wchar_t));
        std::memcpy(wide_name.data(), record + k_name_offset, wide_name.size() * sizeof(wchar_t));
        level.next = listed.NextEntryOffset == 0 ? level.end : level.next + listed.NextEntryOffset;
        if (wide_name != L"." && wide_name != L"..") {
          take(level);
          return;
        }
        continue;
      }
      if (!level.exhausted) {
        read_batch(level, operation);
        continue;
      }
      levels.pop_back();
      relative.resize(levels.empty() ? 0 : levels.back().prefix_length);
    }
  }

  void take(const Level& level) {
    std::optional<std::string> narrow = win32::to_narrow(wide_name, code_page);
    exact = narrow && level.exact;
    name = narrow ? std::move(*narrow) : win32::shown(wide_name, code_page);
    relative.resize(level.prefix_length);
    relative += name;
    known = false;
  }

  void learn_kind() {
    const win32::Sighting seen = sighting_of(listed);
    const DWORD attributes = seen.attributes;
    const DWORD tag = seen.reparse_tag;
    kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::directory : Kind::other;
    descend = kind == Kind::directory && !win32::is_link(attributes, tag);
    // A file with a reparse point of its own (a cloud file, a deduplicated or compressed one) is read through the
    // filter that gives its contents, as a link's target is; opened as it is, it would give its stub.
    through_link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !descend;
    if (win32::is_link(attributes, tag)) {
      // What counts is the link's target, which an open that follows it reaches.
      HANDLE handle = nullptr;
      NTSTATUS result = open_in(levels.back().folder->handle, wide_name, FILE_READ_ATTRIBUTES, 0, handle);
      FILE_BASIC_INFORMATION target{};
      if (result >= 0) {
        result = query(handle, target, FileBasicInformation);
        CloseHandle(handle);
      }
      // One gone since the listing, or a link to nothing, is left to its open, which will say why.
      if (result < 0 && !is_not_found(result)) {
        const std::string where = shown_path(relative);
        throw SystemError("status", RtlNtStatusToDosError(result), &where);
      }
      kind = result >= 0 && (target.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::directory : Kind::other;
    }
    known = true;
  }
};

Walk::Walk(std::string start_prefix) : m_state(std::make_unique<State>()) {
  State& state = *m_state;
  state.prefix = std::move(start_prefix);
  state.code_page = win32::narrow_code_page();
  state.root_shown = win32::shown(working_directory(k_walk_start), state.code_page);
  state.enter(k_walk_start);
  state.settle(k_walk_start);
}

Walk::~Walk() = default;

bool Walk::at_end() const {
  return m_state->levels.empty();
}

std::size_t Walk::depth() const {
  return m_state->levels.size();
}

Kind Walk::kind() {
  if (!m_state->known) {
    m_state->learn_kind();
  }
  return m_state->kind;
}

const std::string& Walk::relative_path() const {
  const State& state = *m_state;
  if (!state.exact) {
    throw SystemError("Cannot list \"" + state.shown_path(state.relative) + "\"", ERROR_NO_UNICODE_TRANSLATION);
  }
  return state.relative;
}

FileEntry Walk::file() const {
  const State& state = *m_state;
  return {state.levels.back().folder, state.name, state.through_link, 0};
}

void Walk::advance() {
  State& state = *m_state;
  if (state.levels.empty()) {
    return;
  }
  kind();
  if (state.descend) {
    state.enter(k_walk_on);
    // Entered: taken again after a failure below, the step goes on from here.
    state.descend = false;
  }
  state.settle(k_walk_on);
}

unsigned processor_count() {
  // Those of the affinity mask, which start /affinity or a job may narrow to fewer than the machine has.
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    return static_cast<unsigned>(std::bitset<sizeof process * CHAR_BIT>(process).count());
  }
  return std::max(std::thread::hardware_concurrency(), 1u);
}

std::size_t open_file_limit() {
  // Folders and files are handles of the system, which has room for millions; no table of the C runtime is used.
  return SIZE_MAX;
}

int open_file(const FileEntry& entry, FileState& state, Lease lease) {
  if (entry.refusal != 0) {
    errno = entry.refusal;
    return -1;
  }
  const std::optional<std::wstring> name = win32::to_wide(entry.name);
  if (!name) {
    errno = EILSEQ;
    return -1;
  }
  // Shared with everyone, deleting and renaming included: reading a file must not lock it against others. A file
  // under an oplock of another client may be left at once instead of waiting for its holder to give it up.
  const ULONG options =
      FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | (lease == Lease::give_up ? FILE_COMPLETE_IF_OPLOCKED : 0);
  const HANDLE folder = entry.folder->handle;
  HANDLE handle = nullptr;
  NTSTATUS result = 0;
  std::uint32_t attributes = FILE_ATTRIBUTE_REPARSE_POINT;
  if (!entry.through_link) {
    // What the walk saw as a plain file is opened as it is. A reparse point found on it then (a link put in its
    // place, a file since moved to the cloud) is opened again through it, as links are.
    result = open_in(folder, *name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, options | FILE_OPEN_REPARSE_POINT, handle);
    if (result >= 0 && result != k_oplock_break_in_progress) {
      result = state_of(handle, state, &attributes);
    }
    if (result >= 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      CloseHandle(std::exchange(handle, nullptr));
    }
  }
  if (handle == nullptr && result >= 0) {
    // Where a link leads, and only there, a device may be: the handle says what was opened.
    result = open_in(folder, *name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, options, handle);
    if (result >= 0 && result != k_oplock_break_in_progress) {
      result = GetFileType(handle) == FILE_TYPE_DISK ? state_of(handle, state) : k_buffer_overflow;
    }
  }
  if (result >= 0 && result != k_oplock_break_in_progress && result != k_buffer_overflow) {
    return descriptor_of(handle);
  }
  // Wine opens a FIFO or a device that a Linux link leads to as a file, and only fails to say what it holds.
  const bool disk_file = handle == nullptr || GetFileType(handle) == FILE_TYPE_DISK;
  errno = result == k_oplock_break_in_progress ? EWOULDBLOCK : disk_file ? errno_of(result) : ENXIO;
  if (handle != nullptr) {
    CloseHandle(handle);
  }
  return -1;
}

bool file_state(int fd, FileState& state) {
  const NTSTATUS result = state_of(handle_of(fd), state);
  errno = result < 0 ? errno_of(result) : errno;
  return result >= 0;
}

std::ptrdiff_t read_at(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD count = 0;
  if (!ReadFile(handle_of(fd), buffer, static_cast<DWORD>(std::min<std::size_t>(size, INT_MAX)), &count, &at)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) {
      return 0;
    }
    errno = errno_of(error);
    return -1;
  }
  return count;
}

bool write_at(int fd, const char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    if (!WriteFile(handle_of(fd), data, static_cast<DWORD>(std::min<std::size_t>(size, INT_MAX)), &count, &at)) {
      errno = errno_of(GetLastError());
      return false;
    }
    if (count == 0) {
      errno = ENOSPC;
      return false;
    }
    data += count;
    size -= count;
    offset += count;
  }
  return true;
}

bool truncate_file(int fd, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(handle_of(fd), FileEndOfFileInfo, &end, sizeof end)) {
    errno = errno_of(GetLastError());
    return false;
  }
  return true;
}

bool close_file(int fd) {
  if (!CloseHandle(handle_of(fd))) {
    errno = errno_of(GetLastError());
    return false;
  }
  return true;
}

namespace {

// Opens a list by its path as `use` asks, with `flags` for CreateFileW besides, and tells what it found there:
// its attributes, reparse tag, number of names and identity. Throws `what`.
HANDLE open_list_as(const char* path, const std::wstring& wide, ListUse use, DWORD flags, const char* what,
                    std::uint32_t& attributes, std::uint32_t& tag, std::uint32_t& links, FileIdentity& identity) {
  const bool write = use == ListUse::write;
  // Shared for reading alone: while a run writes a list, no other run or check may open it to write or to read
  // it whole, and while a check reads it, no run may write it.
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ | (write ? GENERIC_WRITE : 0), FILE_SHARE_READ, nullptr,
                                    write ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
      throw FileError(what, path, "In use by another run", EBUSY);
    }
    // A folder cannot be opened as a file at all; say that it is one.
    const DWORD found = GetFileAttributesW(wide.c_str());
    if (error == ERROR_ACCESS_DENIED && found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      throw FileError(what, path, "Is a directory", EISDIR);
    }
    throw FileError(what, path, errno_of(error));
  }
  FILE_ATTRIBUTE_TAG_INFORMATION tag_information{};
  FILE_STANDARD_INFORMATION standard{};
  FILE_INTERNAL_INFORMATION internal{};
  NTSTATUS result = query(handle, tag_information, FileAttributeTagInformation);
  if (result >= 0) {
    result = query(handle, standard, FileStandardInformation);
  }
  if (result >= 0) {
    result = query(handle, internal, FileInternalInformation);
  }
  if (result >= 0) {
    result = identify(handle, static_cast<std::uint64_t>(internal.IndexNumber.QuadPart), identity);
  }
  if (result < 0) {
    CloseHandle(handle);
    throw FileError(what, path, errno_of(result));
  }
  attributes = tag_information.FileAttributes;
  tag = tag_information.ReparseTag;
  links = standard.NumberOfLinks;
  return handle;
}

} // namespace

int open_list(const char* path, ListUse use, FileIdentity& identity) {
  const bool write = use == ListUse::write;
  const char* what = write ? "Cannot create" : "Cannot open";
  const std::optional<std::wstring> wide = win32::to_wide(path);
  if (!wide) {
    throw FileError(what, path, EILSEQ);
  }
  std::uint32_t attributes = 0;
  std::uint32_t tag = 0;
  std::uint32_t links = 0;
  // To be written, a list is looked at as it is, not through a link; read, it is what its name leads to.
  HANDLE handle =
      open_list_as(path, *wide, use, write ? FILE_FLAG_OPEN_REPARSE_POINT : 0, what, attributes, tag, links, identity);
  if (write && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !win32::is_link(attributes, tag)) {
    // A list in a cloud folder or a deduplicated one is written through its filter, as any program writes it:
    // opened again so, which must find the very file looked at.
    CloseHandle(handle);
    const FileIdentity looked_at = identity;
    handle = open_list_as(path, *wide, use, 0, what, attributes, tag, links, identity);
    attributes &= ~FILE_ATTRIBUTE_REPARSE_POINT;
    if (!(identity == looked_at)) {
      CloseHandle(handle);
      throw FileError(what, path, "Was replaced while it was opened", EBUSY);
    }
  }
  const char* refusal = win32::list_refusal(attributes, tag, GetFileType(handle), write ? links : 1);
  if (refusal != nullptr) {
    CloseHandle(handle);
    throw FileError(what, path, refusal, EINVAL);
  }
  if (write) {
    FILE_FS_VOLUME_INFORMATION volume{};
    IO_STATUS_BLOCK status;
    const NTSTATUS result =
        NtQueryVolumeInformationFile(handle, &status, &volume, sizeof volume, FileFsVolumeInformation);
    g_list_volume = result >= 0 ? volume.VolumeSerialNumber : 0;
    g_list_ids[g_lists_opened++ % 2] = identity.file;
  }
  return descriptor_of(handle);
}

bool write_message(std::string_view line) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  // Only a console has a mode; a file, a pipe or the NUL device takes the bytes as they are.
  if (GetConsoleMode(handle, &mode) == 0) {
    return false;
  }
  // On the stack: running out of memory may be what the line says. A byte never gives more than one code unit.
  wchar_t wide[32768];
  if (line.size() > std::size(wide)) {
    return false;
  }
  const int size = MultiByteToWideChar(win32::narrow_code_page(), 0, line.data(), static_cast<int>(line.size()), wide,
                                       static_cast<int>(std::size(wide)));
  DWORD written = 0;
  return size > 0 && WriteConsoleW(handle, wide, static_cast<DWORD>(size), &written, nullptr) != 0;
}

} // namespace treeinv::platform
