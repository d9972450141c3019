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

// NOLINTNEXTLINE(readability-identifier-naming): ntdll's, which winternl.h does not declare.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);

namespace treeinv::platform {

// A line end would split a line of either list; a backslash is the separator, and a byte of some DBCS characters.
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
  for (const Sighting* seen : {&looked_again, &opened}) {
    if ((seen->attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || is_link(seen->attributes, seen->reparse_tag)) {
      return "Was swapped for a link after it was listed";
    }
    if (usable_id(listed.id) && usable_id(seen->id) && seen->id != listed.id) {
      return "Was swapped for another folder after it was listed";
    }
  }
  return nullptr;
}

const char* list_refusal(std::uint32_t attributes, std::uint32_t reparse_tag, std::uint32_t file_type,
                         std::uint32_t links) {
  return is_link(attributes, reparse_tag)               ? "Is a symbolic link or junction"
         : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "Is a directory"
         : file_type != FILE_TYPE_DISK                  ? "Is not a regular file"
         : links > 1                                    ? "Has other hard links"
                                                        : nullptr;
}

} // namespace win32

using win32::SystemError;

// A folder of the tree, held open to list it and to open what is in it, as nothing is opened by its full path.
struct Folder {
  std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> handle{nullptr, CloseHandle};
};

namespace {

constexpr NTSTATUS k_oplock_break_in_progress = 0x00000108;
constexpr auto k_buffer_overflow = static_cast<NTSTATUS>(0x80000005);
constexpr auto k_no_more_files = static_cast<NTSTATUS>(0x80000006);
constexpr auto k_no_such_file = static_cast<NTSTATUS>(0xC000000F);
constexpr auto k_is_a_directory = static_cast<NTSTATUS>(0xC00000BA);
constexpr auto k_not_a_disk_file = static_cast<NTSTATUS>(0xC0000024);    // STATUS_OBJECT_TYPE_MISMATCH
constexpr auto k_oplock_not_granted = static_cast<NTSTATUS>(0xC00000E2); // STATUS_OPLOCK_NOT_GRANTED
constexpr auto k_file_id_information = static_cast<FILE_INFORMATION_CLASS>(59);
constexpr ULONG k_share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const char* const k_walk_start = "recursive_directory_iterator::recursive_directory_iterator";
const char* const k_walk_on = "recursive_directory_iterator::operator++";

// The C runtime's error number for a system error it did not translate itself, as it would have translated it;
// besides, a read cut short by a stop request, and a reparse point that no filter reads (a socket's, an alias's).
int errno_of(DWORD error) {
  static const std::pair<DWORD, int> k_errnos[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},    {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_INVALID_NAME, ENOENT},      {ERROR_BAD_PATHNAME, ENOENT},
      {ERROR_BAD_NETPATH, ENOENT},       {ERROR_ACCESS_DENIED, EACCES},
      {ERROR_SHARING_VIOLATION, EACCES}, {ERROR_LOCK_VIOLATION, EACCES},
      {ERROR_WRITE_PROTECT, EACCES},     {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
      {ERROR_OUTOFMEMORY, ENOMEM},       {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
      {ERROR_DISK_FULL, ENOSPC},         {ERROR_HANDLE_DISK_FULL, ENOSPC},
      {ERROR_INVALID_HANDLE, EBADF},     {ERROR_NO_UNICODE_TRANSLATION, EILSEQ},
      {ERROR_OPERATION_ABORTED, EINTR},  {ERROR_CANT_ACCESS_FILE, ENXIO}};
  const auto* found =
      std::find_if(std::begin(k_errnos), std::end(k_errnos), [error](const auto& pair) { return pair.first == error; });
  return found != std::end(k_errnos) ? found->second : EIO;
}

int errno_of(NTSTATUS status) {
  return status == k_is_a_directory ? EISDIR : errno_of(RtlNtStatusToDosError(status));
}

// Returns `done`, having set errno from the last error when it is false.
bool done_or_errno(BOOL done) {
  errno = done ? errno : errno_of(GetLastError());
  return done != 0;
}

// The working directory's full path, asked for its size first. Throws `what` when there is none to be had.
std::wstring working_directory(const char* what) {
  std::wstring directory(GetCurrentDirectoryW(0, nullptr), L'\0');
  const DWORD size = GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data());
  if (size == 0 || size >= directory.size()) {
    throw SystemError(what, GetLastError());
  }
  directory.resize(size);
  return directory;
}

// Opens `name` in `folder` for synchronous use, shared with everyone, deleting and renaming included.
NTSTATUS open_in(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG options, HANDLE& handle) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name.c_str());
  OBJECT_ATTRIBUTES object;
  // Regardless of case, as programs open names, and as Wine needs for the short names it makes up for Linux names.
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

// The identity of the open file `handle` of 64-bit ID `id`, without the volume, which would cost two calls per file:
// only a file behind a link, on another volume, could have a list's ID.
NTSTATUS identify(HANDLE handle, std::uint64_t id, FileIdentity& identity) {
  std::uint64_t volume_and_id[3] = {};
  identity = {0, id, 0};
  // ReFS gives all ones where an ID takes 128 bits. Where there are no IDs at all, a file is known by its path on
  // the volume, in upper case (a name may show the case it was opened in), and a list by its own name.
  if (win32::usable_id(id) || (query(handle, volume_and_id, k_file_id_information) >= 0 &&
                               (win32::usable_id(volume_and_id[1]) || win32::usable_id(volume_and_id[2])))) {
    identity = win32::usable_id(id) ? identity : FileIdentity{0, volume_and_id[1], volume_and_id[2]};
    return 0;
  }
  std::vector<wchar_t> name(2 + 32768);
  IO_STATUS_BLOCK status;
  const NTSTATUS result = NtQueryInformationFile(
      handle, &status, name.data(), static_cast<ULONG>(name.size() * sizeof(wchar_t)), FileNameInformation);
  ULONG bytes = 0;
  std::memcpy(&bytes, name.data(), sizeof bytes);
  const std::size_t length = std::min<std::size_t>(bytes / sizeof(wchar_t), name.size() - 2);
  CharUpperBuffW(name.data() + 2, static_cast<DWORD>(length));
  identity = {0, std::hash<std::wstring_view>()(std::wstring_view(name.data() + 2, length)), UINT64_MAX};
  return result;
}

// FileAllInformation tells in one call the size, the ID and the times, among them the change time, which moves when
// the contents are rewritten and the last-write time put back. The name at its end seldom fits, which only warns.
struct AllInformation {
  FILE_ALL_INFORMATION info;
  WCHAR name[MAX_PATH];
};

NTSTATUS state_of(HANDLE handle, FileState& state, AllInformation& all) {
  const NTSTATUS result = query(handle, all, FileAllInformation);
  if (result < 0 && result != k_buffer_overflow) {
    return result;
  }
  // Nanoseconds since 1970 of a time in 100 ns since 1601, wrapping past the year 2262: only equality counts.
  const auto nanoseconds = [](const LARGE_INTEGER& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.QuadPart) - 116444736000000000u) * 100);
  };
  state.size = static_cast<std::uint64_t>(all.info.StandardInformation.EndOfFile.QuadPart);
  state.modified = nanoseconds(all.info.BasicInformation.LastWriteTime);
  state.changed = nanoseconds(all.info.BasicInformation.ChangeTime);
  return identify(handle, static_cast<std::uint64_t>(all.info.InternalInformation.IndexNumber.QuadPart),
                  state.identity);
}

// Descriptors are the system's handles, which fit in an int and are never -1; the C runtime's cost a GetFileType.
HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

int descriptor_of(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

OVERLAPPED at(std::uint64_t offset) {
  return {0, 0, {{static_cast<DWORD>(offset), static_cast<DWORD>(offset >> 32)}}, nullptr};
}

// The console event that asked the run to stop, named as the C runtime names its signal (Ctrl+C INT, Ctrl+Break
// BREAK), a closed console as a hung-up terminal (HUP), the end of a session TERM; and the thread that takes the
// inventory, whose wait for a file server a stop request cuts short.
std::atomic<const char*> g_stop_request{nullptr};
HANDLE g_main_thread = nullptr;

BOOL WINAPI note_stop_request(DWORD event) {
  const char* none = nullptr;
  const bool key = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  g_stop_request.compare_exchange_strong(none, key ? (event == CTRL_C_EVENT ? "INT" : "BREAK")
                                                   : (event == CTRL_CLOSE_EVENT ? "HUP" : "TERM"));
  CancelSynchronousIo(g_main_thread);
  // When the console closes or the session ends, Windows ends the process once this returns, or a few seconds later:
  // those seconds are the run's, to finish its line and end as stopped.
  Sleep(key ? 0 : INFINITE);
  return TRUE;
}

} // namespace

void prepare_process() {
  // A drive without a disk must fail like any unreadable folder, not wait for someone to answer a dialog box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  // Not called for Ctrl+C when whoever started the program had it ignored (in a new process group), as elsewhere.
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
  return std::thread(std::move(body));
}

std::string start_prefix() {
  return win32::prefix_of(working_directory("current_path()"));
}

void use_separators(std::string& path, char separator) {
  path = win32::with_separators(std::move(path), separator, win32::narrow_code_page());
}

// The walk lists each folder through its handle in batches of 4 KiB, with each entry's attributes, reparse tag and
// ID, and keeps per level only the batch it is in and where the folder's path ends: memory grows with the depth.
// The cost in calls of the system: per plain file none here and, for its digest, an open, a question, a read, a
// question at the end and a close. Per folder, an open, a listing and a close for a listing of its name alone, an
// open, two questions, and a listing per batch; per link an open, a question and a close for its target's kind.
struct Walk::State {
  struct Level {
    std::shared_ptr<const Folder> folder;
    // Where the folder's path ends in `relative`, whether every name on the way has an exact narrow form, the
    // records of the batch being visited, the offset of the next one, and whether none are left to read.
    std::size_t prefix_length = 0;
    bool exact = true;
    std::string batch;
    std::size_t next = 0;
    bool exhausted = false;
  };

  std::string prefix;
  std::string root_shown;
  UINT code_page = 0;
  std::vector<Level> levels;

  // The current entry: what the listing gave, its names, and its path, only fit to be shown unless `exact`.
  FILE_ID_BOTH_DIR_INFORMATION listed{};
  std::wstring wide_name;
  std::string name;
  std::string relative;
  bool exact = true;
  bool known = false; // kind, descend and through_link are known
  Kind kind = Kind::other;
  bool descend = false;
  bool through_link = false;

  std::string shown_path(std::size_t length) const {
    return length == 0 ? root_shown : prefix + relative.substr(0, length);
  }

  // Opens the current entry, or first the working directory, into a new level. Throws `operation`, changing nothing.
  void enter(const char* operation) {
    // Made before the folder is opened, so that running out of memory cannot lose the handle.
    auto folder = std::make_shared<Folder>();
    Level level;
    HANDLE handle = nullptr;
    if (levels.empty()) {
      handle = CreateFileW(L".", FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE, k_share_all, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        throw SystemError(operation, GetLastError(), &root_shown);
      }
      folder->handle.reset(handle);
    } else {
      // Listed again just before the open, alone, through a handle that leaves the parent's listing be: Windows'
      // handle tells a link put in its place, but Wine's follows it, and only a listing still shows it there.
      const HANDLE parent = levels.back().folder->handle.get();
      HANDLE copy = nullptr;
      struct {
        FILE_ID_BOTH_DIR_INFORMATION info;
        WCHAR name[MAX_PATH];
      } again{};
      FILE_ATTRIBUTE_TAG_INFORMATION tag{};
      FILE_INTERNAL_INFORMATION internal{};
      NTSTATUS result = open_in(parent, L"", FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, copy);
      if (result >= 0) {
        UNICODE_STRING mask;
        RtlInitUnicodeString(&mask, wide_name.c_str());
        IO_STATUS_BLOCK status;
        result = NtQueryDirectoryFile(copy, nullptr, nullptr, nullptr, &status, &again, sizeof again,
                                      FileIdBothDirectoryInformation, TRUE, &mask, TRUE);
        CloseHandle(copy);
      }
      if (result >= 0 && (result = open_in(parent, wide_name, FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                           FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, handle)) >= 0) {
        folder->handle.reset(handle);
        if ((result = query(handle, tag, FileAttributeTagInformation)) >= 0) {
          result = query(handle, internal, FileInternalInformation);
        }
      }
      const std::string where = shown_path(relative.size());
      if (result < 0) {
        throw SystemError(operation, RtlNtStatusToDosError(result), &where);
      }
      const win32::Sighting opened{tag.FileAttributes, tag.ReparseTag,
                                   static_cast<std::uint64_t>(internal.IndexNumber.QuadPart)};
      if (const char* refusal = win32::folder_refusal(sighting_of(listed), sighting_of(again.info), opened)) {
        throw SystemError(operation, ERROR_FILE_INVALID, &where, refusal);
      }
      level.prefix_length = relative.size() + 1;
      level.exact = exact;
      relative += '\\';
    }
    level.folder = std::move(folder);
    levels.push_back(std::move(level));
  }

  void settle(const char* operation) {
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.next < level.batch.size()) {
        constexpr std::size_t k_name_offset = offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName);
        std::memcpy(&listed, level.batch.data() + level.next, k_name_offset);
        wide_name.resize(listed.FileNameLength / sizeof(wchar_t));
        std::memcpy(wide_name.data(), level.batch.data() + level.next + k_name_offset, listed.FileNameLength);
        level.next = listed.NextEntryOffset == 0 ? level.batch.size() : level.next + listed.NextEntryOffset;
        if (wide_name != L"." && wide_name != L"..") {
          std::optional<std::string> narrow = win32::to_narrow(wide_name, code_page);
          exact = narrow && level.exact;
          name = narrow ? std::move(*narrow) : win32::shown(wide_name, code_page);
          relative.resize(level.prefix_length);
          relative += name;
          known = false;
          return;
        }
      } else if (!level.exhausted) {
        alignas(8) char buffer[4096];
        IO_STATUS_BLOCK status{};
        const NTSTATUS result =
            NtQueryDirectoryFile(level.folder->handle.get(), nullptr, nullptr, nullptr, &status, buffer, sizeof buffer,
                                 FileIdBothDirectoryInformation, FALSE, nullptr, FALSE);
        // The root of an empty drive has not even "." and "..".
        level.exhausted = result == k_no_more_files || result == k_no_such_file;
        if (result < 0 && !level.exhausted) {
          const std::string where = shown_path(level.prefix_length == 0 ? 0 : level.prefix_length - 1);
          throw SystemError(operation, RtlNtStatusToDosError(result), &where);
        }
        level.batch.assign(buffer, level.exhausted ? 0 : status.Information);
        level.next = 0;
      } else {
        levels.pop_back();
      }
    }
  }

  void learn_kind() {
    const win32::Sighting seen = sighting_of(listed);
    const bool link = win32::is_link(seen.attributes, seen.reparse_tag);
    kind = (seen.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::directory : Kind::other;
    descend = kind == Kind::directory && !link;
    // A file with a reparse point of its own (cloud, deduplicated, compressed) is read through the filter that gives
    // its contents, as a link's target is: opened as it is, it gives its stub.
    through_link = (seen.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !descend;
    if (link) {
      // What counts is the target, which an open that follows the link reaches.
      HANDLE handle = nullptr;
      FILE_BASIC_INFORMATION target{};
      NTSTATUS result = open_in(levels.back().folder->handle.get(), wide_name, FILE_READ_ATTRIBUTES, 0, handle);
      if (result >= 0) {
        result = query(handle, target, FileBasicInformation);
        CloseHandle(handle);
      }
      // One gone since the listing, or leading nowhere, is left to its open, which will say why.
      if (result < 0 && errno_of(result) != ENOENT) {
        const std::string where = shown_path(relative.size());
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
  if (!m_state->exact) {
    throw SystemError("Cannot list \"" + m_state->shown_path(m_state->relative.size()) + "\"",
                      ERROR_NO_UNICODE_TRANSLATION);
  }
  return m_state->relative;
}

FileEntry Walk::file() const {
  return {m_state->levels.back().folder, m_state->name, m_state->through_link, 0};
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
  const std::optional<std::wstring> name = win32::to_wide(entry.name);
  if (entry.refusal != 0 || !name) {
    errno = entry.refusal != 0 ? entry.refusal : EILSEQ;
    return -1;
  }
  // One that another client holds under an oplock is left at once when its lease is to be given up.
  const ULONG options =
      FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | (lease == Lease::give_up ? FILE_COMPLETE_IF_OPLOCKED : 0);
  const auto open = [&](ULONG more, HANDLE& handle) {
    const NTSTATUS result =
        open_in(entry.folder->handle.get(), *name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, options | more, handle);
    return result == k_oplock_break_in_progress ? k_oplock_not_granted : result;
  };
  HANDLE handle = nullptr;
  AllInformation all{};
  NTSTATUS result = 0;
  // A plain file is opened as it is, and again through a reparse point put on it since (a link, a cloud placeholder).
  if (!entry.through_link && (result = open(FILE_OPEN_REPARSE_POINT, handle)) >= 0 &&
      (result = state_of(handle, state, all)) >= 0 &&
      (all.info.BasicInformation.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(std::exchange(handle, nullptr));
  }
  // Only where a link leads may a device be: the handle says what was opened.
  if (result >= 0 && handle == nullptr && (result = open(0, handle)) >= 0) {
    result = GetFileType(handle) != FILE_TYPE_DISK ? k_not_a_disk_file : state_of(handle, state, all);
  }
  if (result >= 0) {
    return descriptor_of(handle);
  }
  // Wine opens a FIFO or a device that a Linux link leads to as a file, and only fails to say what it holds.
  errno = result == k_oplock_not_granted                               ? EWOULDBLOCK
          : handle != nullptr && GetFileType(handle) != FILE_TYPE_DISK ? ENXIO
                                                                       : errno_of(result);
  if (handle != nullptr) {
    CloseHandle(handle);
  }
  return -1;
}

bool file_state(int fd, FileState& state) {
  AllInformation all{};
  const NTSTATUS result = state_of(handle_of(fd), state, all);
  errno = result < 0 ? errno_of(result) : errno;
  return result >= 0;
}

std::ptrdiff_t read_at(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  OVERLAPPED from = at(offset);
  DWORD count = 0;
  if (ReadFile(handle_of(fd), buffer, static_cast<DWORD>(std::min<std::size_t>(size, INT_MAX)), &count, &from)) {
    return count;
  }
  const DWORD error = GetLastError();
  errno = errno_of(error);
  return error == ERROR_HANDLE_EOF ? 0 : -1;
}

bool write_at(int fd, const char* data, std::size_t size, std::uint64_t offset) {
  // A synchronous write to a file writes all it is given or fails; the lines are far below 4 GiB.
  OVERLAPPED from = at(offset);
  DWORD count = 0;
  return done_or_errno(WriteFile(handle_of(fd), data, static_cast<DWORD>(size), &count, &from));
}

bool truncate_file(int fd, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return done_or_errno(SetFileInformationByHandle(handle_of(fd), FileEndOfFileInfo, &end, sizeof end));
}

bool close_file(int fd) {
  return done_or_errno(CloseHandle(handle_of(fd)));
}

int open_list(const char* path, ListUse use, FileIdentity& identity) {
  const bool write = use == ListUse::write;
  const char* what = write ? "Cannot create" : "Cannot open";
  const std::optional<std::wstring> wide = win32::to_wide(path);
  if (!wide) {
    throw FileError(what, path, EILSEQ);
  }
  // Shared for reading alone, written or read: no other run may write a list that a run writes or a check reads,
  // and no check may read one half written. To be written, a list is looked at as it is, not through a link; one
  // with a reparse point of its own (in a cloud or deduplicated folder) is then opened again through it, as any
  // program writes it, and must be the very file looked at.
  FileState state;
  for (DWORD flags = write ? FILE_FLAG_OPEN_REPARSE_POINT : 0;; flags = 0) {
    const FileIdentity looked_at = state.identity;
    const HANDLE handle =
        CreateFileW(wide->c_str(), GENERIC_READ | (write ? GENERIC_WRITE : 0), FILE_SHARE_READ, nullptr,
                    write ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      // A folder cannot be opened as a file at all.
      const DWORD found = GetFileAttributesW(wide->c_str());
      throw error == ERROR_SHARING_VIOLATION ? FileError(what, path, "In use by another run", EBUSY)
      : error == ERROR_ACCESS_DENIED && found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) != 0
          ? FileError(what, path, "Is a directory", EISDIR)
          : FileError(what, path, errno_of(error));
    }
    AllInformation all{};
    FILE_ATTRIBUTE_TAG_INFORMATION tag{};
    NTSTATUS result = state_of(handle, state, all);
    const DWORD attributes = all.info.BasicInformation.FileAttributes;
    if (result >= 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      result = query(handle, tag, FileAttributeTagInformation);
    }
    const char* refusal = flags == 0 && write && !(state.identity == looked_at)
                              ? "Was replaced while it was opened"
                              : win32::list_refusal(attributes, tag.ReparseTag, GetFileType(handle),
                                                    write ? all.info.StandardInformation.NumberOfLinks : 1);
    if (result < 0 || refusal != nullptr) {
      CloseHandle(handle);
      throw result < 0 ? FileError(what, path, errno_of(result)) : FileError(what, path, refusal, EINVAL);
    }
    if (flags == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      identity = state.identity;
      return descriptor_of(handle);
    }
    CloseHandle(handle);
  }
}

std::shared_ptr<char> list_buffer(std::size_t size) {
  return {new char[size], std::default_delete<char[]>()};
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
