#include "platform_win32.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <locale.h>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <windows.h>
#include <winternl.h>

namespace treeinv::platform {

const char k_separator = '\\';

// Windows names cannot hold a line end, but a broken file system could still hand one over, and it would split a
// line of either list. A backslash cannot be refused here: it is the separator, and in a double-byte code page it
// is also the second byte of some characters.
const char* const k_unlistable_bytes = "\r\n";

namespace win32 {
namespace {

// The system's text for an error code, without the full stop and line end it comes with.
std::string system_message(DWORD code) {
  char* buffer = nullptr;
  const DWORD size =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text(buffer != nullptr ? buffer : "", size);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == '.' || text.back() == ' ' || text.back() == '\r' || text.back() == '\n')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(code) : text;
}

// A path for a message: as close to its narrow form as the code page allows.
std::string shown(std::wstring_view wide) {
  if (wide.empty()) {
    return {};
  }
  const UINT code_page = narrow_code_page();
  const int length = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(code_page, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), length, text.data(), size, nullptr, nullptr);
  return text;
}

// A failure of the system, worded as on every platform: "WHAT: REASON", and " [PATH]" when a path is concerned.
class SystemError : public std::system_error {
public:
  SystemError(const std::string& what, DWORD code, const std::wstring* path = nullptr)
      : std::system_error(static_cast<int>(code), std::system_category()),
        m_what(what + ": " + system_message(code) + (path != nullptr ? " [" + shown(*path) + "]" : "")) {}
  const char* what() const noexcept override { return m_what.c_str(); }

private:
  std::string m_what;
};

[[noreturn]] void throw_no_mapping(std::wstring_view wide) {
  throw SystemError("Cannot list \"" + shown(wide) + "\"", ERROR_NO_UNICODE_TRANSLATION);
}

bool starts_with(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

} // namespace

unsigned narrow_code_page() {
  if (___lc_codepage_func() == CP_UTF8) {
    return CP_UTF8;
  }
  // Named by number, so that a system whose ANSI code page is UTF-8 is recognised below.
  return AreFileApisANSI() ? GetACP() : GetOEMCP();
}

std::string to_narrow(std::wstring_view wide) {
  if (wide.empty()) {
    return {};
  }
  const UINT code_page = narrow_code_page();
  const bool utf8 = code_page == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  const int length = static_cast<int>(wide.size());
  BOOL used_default = FALSE;
  BOOL* const used_default_out = utf8 ? nullptr : &used_default;
  // Room for three bytes per code unit is enough for every code page but the rare four-byte ones, so that one call
  // usually does.
  std::string text(wide.size() * 3, '\0');
  int size = WideCharToMultiByte(code_page, flags, wide.data(), length, text.data(), static_cast<int>(text.size()),
                                 nullptr, used_default_out);
  if (size <= 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    size = WideCharToMultiByte(code_page, flags, wide.data(), length, nullptr, 0, nullptr, used_default_out);
    text.resize(static_cast<std::size_t>(std::max(size, 0)));
    size = WideCharToMultiByte(code_page, flags, wide.data(), length, text.data(), size, nullptr, used_default_out);
  }
  if (size <= 0 || used_default) {
    throw_no_mapping(wide);
  }
  text.resize(static_cast<std::size_t>(size));
  return text;
}

std::wstring to_wide(std::string_view narrow) {
  if (narrow.empty()) {
    return {};
  }
  const int length = static_cast<int>(narrow.size());
  std::wstring wide(narrow.size(), L'\0');
  const int size = MultiByteToWideChar(narrow_code_page(), MB_ERR_INVALID_CHARS, narrow.data(), length, wide.data(),
                                       static_cast<int>(wide.size()));
  if (size <= 0) {
    throw SystemError("Cannot use \"" + std::string(narrow) + "\"", ERROR_NO_UNICODE_TRANSLATION);
  }
  wide.resize(static_cast<std::size_t>(size));
  return wide;
}

std::wstring long_form(const std::wstring& full_path) {
  if (starts_with(full_path, L"\\\\?\\") || starts_with(full_path, L"\\\\.\\")) {
    return full_path;
  }
  if (starts_with(full_path, L"\\\\")) {
    return L"\\\\?\\UNC\\" + full_path.substr(2);
  }
  return L"\\\\?\\" + full_path;
}

std::wstring full_path(const std::wstring& directory, const std::wstring& path) {
  std::wstring full;
  const bool has_drive = path.size() >= 3 && path[1] == L':' && is_separator(path[2]);
  if (has_drive || (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]))) {
    full = path;
  } else if (!path.empty() && is_separator(path[0])) {
    // Below the root of the directory's drive.
    full = directory.substr(0, 2) + path;
  } else {
    full = directory;
    if (full.empty() || !is_separator(full.back())) {
      full += L'\\';
    }
    full += path;
  }
  // The long form is taken literally: a "/" there would be part of a name, not a separator.
  for (wchar_t& c : full) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  return full;
}

bool descends_into(std::uint32_t attributes, std::uint32_t reparse_tag) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return true;
  }
  return reparse_tag != IO_REPARSE_TAG_SYMLINK && reparse_tag != IO_REPARSE_TAG_MOUNT_POINT;
}

} // namespace win32

using win32::SystemError;

namespace {

std::wstring working_directory() {
  std::wstring directory(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data());
    if (size == 0) {
      throw SystemError("current_path()", GetLastError());
    }
    if (size < directory.size()) {
      directory.resize(size);
      return directory;
    }
    // Too small: `size` is what it takes, the terminating null included.
    directory.resize(size);
  }
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

// Starts the enumeration of a folder, with its first entry in `entry`.
HANDLE find_first(const std::wstring& folder, WIN32_FIND_DATAW& entry) {
  const std::wstring pattern = win32::long_form(join(folder, L"*"));
  return FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                          FIND_FIRST_EX_LARGE_FETCH);
}

bool is_not_found(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
         error == ERROR_INVALID_NAME;
}

// The C runtime's error number for a system error it did not translate itself.
int errno_of(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
    return ENOENT;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
    return EACCES;
  case ERROR_NOT_ENOUGH_MEMORY:
  case ERROR_OUTOFMEMORY:
    return ENOMEM;
  default:
    return EIO;
  }
}

bool identity_of(HANDLE handle, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    errno = errno_of(GetLastError());
    return false;
  }
  identity.volume = info.dwVolumeSerialNumber;
  identity.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

} // namespace

std::string current_directory() {
  return win32::to_narrow(working_directory());
}

struct Walk::State {
  struct Folder {
    HANDLE find;
    std::wstring path;
  };
  // The folders the walk is in, outermost first, each with its enumeration standing at the entry it gave last.
  std::vector<Folder> folders;
  // The current entry as the innermost enumeration gave it, and its full path.
  WIN32_FIND_DATAW entry{};
  std::wstring path;

  ~State() {
    for (const Folder& folder : folders) {
      FindClose(folder.find);
    }
  }

  // Moves on from what `entry` holds (when `have_entry`, an entry still to be looked at) to the next entry that is
  // neither "." nor "..", leaving every folder whose enumeration is exhausted. The walk is over when no folder
  // is left.
  void settle(bool have_entry) {
    while (!folders.empty()) {
      if (have_entry && !is_dot_or_dot_dot(entry.cFileName)) {
        path = join(folders.back().path, entry.cFileName);
        return;
      }
      have_entry = FindNextFileW(folders.back().find, &entry) != 0;
      if (!have_entry) {
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES) {
          throw SystemError("recursive_directory_iterator::operator++", error, &folders.back().path);
        }
        FindClose(folders.back().find);
        folders.pop_back();
      }
    }
  }
};

Walk::Walk() : m_state(std::make_unique<State>()) {
  const std::wstring root = working_directory();
  const HANDLE find = find_first(root, m_state->entry);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // What a drive root with nothing on it answers: it has no "." entry either.
    if (error == ERROR_FILE_NOT_FOUND) {
      return;
    }
    throw SystemError("recursive_directory_iterator::recursive_directory_iterator", error, &root);
  }
  m_state->folders.push_back({find, root});
  m_state->settle(true);
}

Walk::~Walk() = default;

bool Walk::at_end() const {
  return m_state->folders.empty();
}

namespace {

Kind kind_after_failure(DWORD error, const std::wstring& path) {
  // An entry gone since the enumeration, or a link to nothing: its open will fail and say why.
  if (is_not_found(error)) {
    return Kind::other;
  }
  throw SystemError("status", error, &path);
}

} // namespace

Kind Walk::kind() const {
  const std::wstring target = win32::long_form(m_state->path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data)) {
    return kind_after_failure(GetLastError(), m_state->path);
  }
  DWORD attributes = data.dwFileAttributes;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A link or junction: what counts is its target, which opening it reaches.
    const HANDLE handle = CreateFileW(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      return kind_after_failure(GetLastError(), m_state->path);
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    const DWORD error = GetLastError();
    CloseHandle(handle);
    if (!known) {
      return kind_after_failure(error, m_state->path);
    }
    attributes = info.dwFileAttributes;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::directory : Kind::other;
}

std::string Walk::narrow_path() const {
  return win32::to_narrow(m_state->path);
}

void Walk::advance() {
  State& state = *m_state;
  if (win32::descends_into(state.entry.dwFileAttributes, state.entry.dwReserved0)) {
    const HANDLE find = find_first(state.path, state.entry);
    if (find != INVALID_HANDLE_VALUE) {
      state.folders.push_back({find, state.path});
      state.settle(true);
      return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      throw SystemError("recursive_directory_iterator::operator++", error, &state.path);
    }
  }
  state.settle(false);
}

int open_for_reading(const std::string& path) {
  std::wstring target;
  try {
    target = win32::long_form(win32::full_path(working_directory(), win32::to_wide(path)));
  } catch (const std::system_error& error) {
    errno = error.code().value() == ERROR_NO_UNICODE_TRANSLATION ? EILSEQ : errno_of(error.code().value());
    return -1;
  }
  int fd = -1;
  const errno_t error =
      _wsopen_s(&fd, target.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT | _O_SEQUENTIAL, _SH_DENYNO, 0);
  if (error != 0) {
    errno = error;
    return -1;
  }
  if (GetFileType(handle_of(fd)) != FILE_TYPE_DISK) {
    _close(fd);
    errno = ENXIO;
    return -1;
  }
  return fd;
}

int is_one_of(int fd, const std::vector<FileIdentity>& files) {
  const HANDLE handle = handle_of(fd);
  // The volume's serial number takes the file system several questions (and Wine a look through its mounts);
  // the file's index alone, one question, already tells it apart from the few files asked about.
  IO_STATUS_BLOCK status;
  FILE_INTERNAL_INFORMATION internal;
  // A status below zero is an error.
  if (NtQueryInformationFile(handle, &status, &internal, sizeof internal, FileInternalInformation) < 0) {
    errno = EIO;
    return -1;
  }
  const auto index = static_cast<std::uint64_t>(internal.IndexNumber.QuadPart);
  if (std::none_of(files.begin(), files.end(), [index](const FileIdentity& file) { return file.file == index; })) {
    return 0;
  }
  FileIdentity identity;
  if (!identity_of(handle, identity)) {
    return -1;
  }
  return std::find(files.begin(), files.end(), identity) != files.end() ? 1 : 0;
}

std::ptrdiff_t read_some(int fd, char* buffer, std::size_t size) {
  return _read(fd, buffer, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

void close_file(int fd) {
  _close(fd);
}

bool identify(std::FILE* file, FileIdentity& identity) {
  return identity_of(handle_of(_fileno(file)), identity);
}

bool truncate_file(std::FILE* file, std::uint64_t size) {
  const errno_t error = _chsize_s(_fileno(file), static_cast<long long>(size));
  if (error != 0) {
    errno = error;
    return false;
  }
  return true;
}

} // namespace treeinv::platform
