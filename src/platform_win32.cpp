#include "platform_win32.hpp"

#include "file_error.hpp"
#include "platform.hpp"

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <iterator>
#include <locale.h>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <windows.h>
#include <winternl.h>

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
  SystemError(const std::string& what, DWORD code, const std::string* path = nullptr)
      : std::system_error(static_cast<int>(code), std::system_category()),
        m_what(what + ": " + system_message(code) + (path != nullptr ? " [" + *path + "]" : "")) {}
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

std::wstring long_form(const std::wstring& full_path) {
  const std::wstring_view head = std::wstring_view(full_path).substr(0, 4);
  if (head == L"\\\\?\\" || head == L"\\\\.\\") {
    return full_path;
  }
  if (head.substr(0, 2) == L"\\\\") {
    return L"\\\\?\\UNC\\" + full_path.substr(2);
  }
  return L"\\\\?\\" + full_path;
}

bool descends_into(std::uint32_t attributes, std::uint32_t reparse_tag) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  // A name surrogate (a symbolic link, a junction) stands for another folder; the tag 0 is how Wine shows a Linux
  // symbolic link. Other reparse points (cloud placeholders, deduplicated folders) hold their own contents.
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
         (reparse_tag != 0 && !IsReparseTagNameSurrogate(reparse_tag));
}

const char* list_refusal(std::uint32_t attributes, std::uint32_t file_type, std::uint32_t links) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
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

// Folders are reached by their full paths: FindFirstFileExW and CreateFileW take no folder to start from, so a
// handle held per folder would gain nothing here. A tree renamed during the walk is therefore not noticed on
// Windows; the names listed stay those below the starting folder's path.
struct Folder {
  std::wstring path;
};

namespace {

const char* const k_walk_start = "recursive_directory_iterator::recursive_directory_iterator";
const char* const k_walk_on = "recursive_directory_iterator::operator++";

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

std::wstring join(const std::wstring& folder, const wchar_t* name) {
  std::wstring path = folder;
  if (path.empty() || path.back() != L'\\') {
    path += L'\\';
  }
  path += name;
  return path;
}

bool is_dot_or_dot_dot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

struct FindCloser {
  void operator()(HANDLE find) const { FindClose(find); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

// Moves an enumeration on from `entry` (or from before it, when `have_entry` is false) to the next entry that is
// neither "." nor "..". Returns 0 when there is one, ERROR_NO_MORE_FILES at the end, or the error that stopped it.
DWORD find_next(HANDLE find, WIN32_FIND_DATAW& entry, bool have_entry) {
  for (;;) {
    if (have_entry && !is_dot_or_dot_dot(entry.cFileName)) {
      return 0;
    }
    if (!FindNextFileW(find, &entry)) {
      return GetLastError();
    }
    have_entry = true;
  }
}

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
  default:
    return EIO;
  }
}

// Nanoseconds since 1970 of a time counted in 100 ns since 1601, in unsigned arithmetic, which wraps for times
// past the year 2262 rather than overflow: only equality counts.
std::int64_t nanoseconds(const LARGE_INTEGER& time) {
  constexpr std::uint64_t k_1601_to_1970 = 116444736000000000;
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.QuadPart) - k_1601_to_1970) * 100);
}

// A file is known by its index alone, taken to be on the working directory's volume, where the lists are: asking
// every file for its volume would cost a question per open, and a file on another volume (behind a link) can at
// worst be taken for a list and read at its turn.
FileIdentity identity_of(std::uint64_t index) {
  return {0, index};
}

// One question gives the whole state: FileAllInformation holds the size, the file index and the times, among
// them the change time, which moves when the contents are rewritten and the last-write time is put back. The
// name at its end seldom fits; the system then says so with a warning, having filled in everything before it.
bool state_of(HANDLE handle, FileState& state) {
  constexpr auto k_buffer_overflow = static_cast<NTSTATUS>(0x80000005);
  struct {
    FILE_ALL_INFORMATION info;
    WCHAR name[MAX_PATH];
  } all;
  IO_STATUS_BLOCK status;
  const NTSTATUS result = NtQueryInformationFile(handle, &status, &all, sizeof all, FileAllInformation);
  if (result < 0 && result != k_buffer_overflow) {
    errno = errno_of(RtlNtStatusToDosError(result));
    return false;
  }
  state.identity = identity_of(static_cast<std::uint64_t>(all.info.InternalInformation.IndexNumber.QuadPart));
  state.size = static_cast<std::uint64_t>(all.info.StandardInformation.EndOfFile.QuadPart);
  state.modified = nanoseconds(all.info.BasicInformation.LastWriteTime);
  state.changed = nanoseconds(all.info.BasicInformation.ChangeTime);
  return true;
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

} // namespace

void prepare_process() {
  // A drive without a disk in it must fail like any other unreadable folder, not wait for someone to answer a
  // dialog box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

const char* stop_request() {
  return nullptr;
}

void end_by_stop_request() {}

void block_stop_requests() {}

void unblock_stop_requests() {}

std::string start_prefix() {
  return win32::prefix_of(working_directory("current_path()"));
}

void use_separators(std::string& path, char separator) {
  path = win32::with_separators(std::move(path), separator, win32::narrow_code_page());
}

struct Walk::State {
  // A folder the walk is in, with its enumeration standing at the entry it gave last.
  struct Level {
    FindHandle find;
    std::shared_ptr<const Folder> folder;
    // Its narrow path below the starting folder, empty for the starting folder itself. When `exact` is false, some
    // name on the way has no narrow form, and this is only fit to be shown.
    std::string relative;
    bool exact = true;
  };

  std::string prefix;
  // The starting folder's narrow path as messages show it.
  std::string root_shown;
  UINT code_page = 0;
  // Outermost first.
  std::vector<Level> levels;

  // The current entry as the innermost enumeration gave it, its full path, its narrow name and its narrow path
  // below the starting folder, built from the narrow names on the way down (as exact as `levels`).
  WIN32_FIND_DATAW entry{};
  std::wstring path;
  std::string name;
  std::string relative;
  bool exact = true;

  // Makes `found`, an entry of the innermost folder, the current entry.
  void take(const WIN32_FIND_DATAW& found) {
    const Level& level = levels.back();
    entry = found;
    path = join(level.folder->path, entry.cFileName);
    std::optional<std::string> narrow = win32::to_narrow(entry.cFileName, code_page);
    exact = narrow && level.exact;
    name = narrow ? std::move(*narrow) : win32::shown(entry.cFileName, code_page);
    relative = level.relative;
    if (!relative.empty()) {
      relative += '\\';
    }
    relative += name;
  }

  // Enters `folder`, whose narrow path below the starting folder is `below`, and makes its first entry the current
  // one. Returns false, changing nothing, when it is empty. Throws `what` when it cannot be read.
  bool enter(std::wstring folder, std::string below, bool below_exact, const char* what) {
    WIN32_FIND_DATAW found;
    const std::wstring pattern = win32::long_form(join(folder, L"*"));
    const HANDLE handle = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH);
    FindHandle find(handle != INVALID_HANDLE_VALUE ? handle : nullptr);
    const DWORD error = find ? find_next(find.get(), found, true) : GetLastError();
    // A folder's enumeration gives "." and ".." at least; the root of an empty drive gives nothing.
    if (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND) {
      return false;
    }
    if (error != 0) {
      const std::string where = shown_path(below);
      throw SystemError(what, error, &where);
    }
    levels.push_back(
        {std::move(find), std::make_shared<const Folder>(Folder{std::move(folder)}), std::move(below), below_exact});
    take(found);
    return true;
  }

  // The path of `below`, a narrow path below the starting folder, as messages show it.
  std::string shown_path(const std::string& below) const { return below.empty() ? root_shown : prefix + below; }
};

Walk::Walk(std::string start_prefix) : m_state(std::make_unique<State>()) {
  State& state = *m_state;
  state.prefix = std::move(start_prefix);
  state.code_page = win32::narrow_code_page();
  const std::wstring root = working_directory(k_walk_start);
  state.root_shown = win32::shown(root, state.code_page);
  state.enter(root, {}, true, k_walk_start);
}

Walk::~Walk() = default;

bool Walk::at_end() const {
  return m_state->levels.empty();
}

std::size_t Walk::depth() const {
  return m_state->levels.size();
}

Kind Walk::kind() {
  const State& state = *m_state;
  // The enumeration's attributes tell all but the kind of a link's target: no question per entry.
  DWORD attributes = state.entry.dwFileAttributes;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A link or junction: what counts is its target, which opening it reaches.
    const std::wstring target = win32::long_form(state.path);
    const HANDLE handle = CreateFileW(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
    // An entry gone since the enumeration, or a link to nothing, is left to its open, which will say why.
    if (!known && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_BAD_NETPATH &&
        error != ERROR_INVALID_NAME) {
      const std::string where = state.shown_path(state.relative);
      throw SystemError("status", error, &where);
    }
    attributes = known ? info.dwFileAttributes : 0;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::directory : Kind::other;
}

const std::string& Walk::relative_path() const {
  const State& state = *m_state;
  if (!state.exact) {
    throw SystemError("Cannot list \"" + state.shown_path(state.relative) + "\"", ERROR_NO_UNICODE_TRANSLATION);
  }
  return state.relative;
}

FileEntry Walk::file() const {
  FileEntry entry;
  entry.folder = m_state->levels.back().folder;
  entry.name = m_state->name;
  return entry;
}

void Walk::advance() {
  State& state = *m_state;
  if (state.levels.empty()) {
    return;
  }
  // Nothing of the walk changes until the next entry is found, so that a failure leaves it where it was.
  if (win32::descends_into(state.entry.dwFileAttributes, state.entry.dwReserved0) &&
      state.enter(state.path, state.relative, state.exact, k_walk_on)) {
    return;
  }
  WIN32_FIND_DATAW found;
  for (std::size_t depth = state.levels.size(); depth-- > 0;) {
    const DWORD error = find_next(state.levels[depth].find.get(), found, false);
    if (error == 0) {
      state.levels.resize(depth + 1);
      state.take(found);
      return;
    }
    if (error != ERROR_NO_MORE_FILES) {
      const std::string where = state.shown_path(state.levels[depth].relative);
      throw SystemError(k_walk_on, error, &where);
    }
  }
  state.levels.clear();
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

int open_file(const FileEntry& entry, FileState& state, Lease /*lease*/) {
  if (entry.refusal != 0) {
    errno = entry.refusal;
    return -1;
  }
  const std::optional<std::wstring> name = win32::to_wide(entry.name);
  if (!name) {
    errno = EILSEQ;
    return -1;
  }
  // Shared with everyone, deleting and renaming included: reading a file must not lock it against others.
  const std::wstring target = win32::long_form(join(entry.folder->path, name->c_str()));
  const HANDLE handle =
      CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errno_of(GetLastError());
    return -1;
  }
  // The handle tells what was opened, whatever the name led to by now.
  const bool disk_file = GetFileType(handle) == FILE_TYPE_DISK;
  if (!disk_file || !state_of(handle, state)) {
    const int error = disk_file ? errno : ENXIO;
    CloseHandle(handle);
    errno = error;
    return -1;
  }
  return descriptor_of(handle);
}

bool file_state(int fd, FileState& state) {
  return state_of(handle_of(fd), state);
}

std::ptrdiff_t read_some(int fd, char* buffer, std::size_t size) {
  DWORD count = 0;
  if (!ReadFile(handle_of(fd), buffer, static_cast<DWORD>(std::min<std::size_t>(size, INT_MAX)), &count, nullptr)) {
    errno = errno_of(GetLastError());
    return -1;
  }
  return count;
}

bool close_file(int fd) {
  if (!CloseHandle(handle_of(fd))) {
    errno = errno_of(GetLastError());
    return false;
  }
  return true;
}

int create_list(const char* name, FileIdentity& identity) {
  const std::optional<std::wstring> wide_name = win32::to_wide(name);
  if (!wide_name) {
    throw FileError("Cannot create", name, EILSEQ);
  }
  // Opened as it is, without following a link or junction, and without emptying it: a file that is refused must be
  // left as it was.
  const HANDLE handle =
      CreateFileW(wide_name->c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A folder, or a link or junction to one, cannot be opened as a file at all; say which it is.
    const DWORD attributes = GetFileAttributesW(wide_name->c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES) {
      if (const char* refusal = win32::list_refusal(attributes, FILE_TYPE_DISK, 1)) {
        throw FileError("Cannot create", name, refusal, EACCES);
      }
    }
    throw FileError("Cannot create", name, errno_of(error));
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  const char* refusal =
      known ? win32::list_refusal(info.dwFileAttributes, GetFileType(handle), info.nNumberOfLinks) : nullptr;
  if (!known || refusal != nullptr || !SetEndOfFile(handle)) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    throw refusal != nullptr ? FileError("Cannot create", name, refusal, EINVAL)
                             : FileError("Cannot create", name, errno_of(error));
  }
  identity = identity_of((std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
  return descriptor_of(handle);
}

bool is_standard_error(const FileIdentity& file) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  // A console or pipe is no list. Standard error is usually open for writing only, which GetFileInformationByHandle
  // refuses; this question needs no access at all.
  IO_STATUS_BLOCK status;
  FILE_INTERNAL_INFORMATION internal;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetFileType(handle) == FILE_TYPE_DISK &&
         NtQueryInformationFile(handle, &status, &internal, sizeof internal, FileInternalInformation) >= 0 &&
         identity_of(static_cast<std::uint64_t>(internal.IndexNumber.QuadPart)) == file;
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

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD count = 0;
    if (!WriteFile(handle_of(fd), data, static_cast<DWORD>(std::min<std::size_t>(size, INT_MAX)), &count, nullptr)) {
      errno = errno_of(GetLastError());
      return false;
    }
    if (count == 0) {
      errno = ENOSPC;
      return false;
    }
    data += count;
    size -= static_cast<std::size_t>(count);
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

} // namespace treeinv::platform
