// The tests' helpers on Windows: temporary folders, runs of the program, and the independent walk. Narrow paths
// here are in the ANSI code page, as the program's own are; wide names are converted with the system's functions
// directly, not with the program's layer.
#include "test_support.hpp"

#include <atomic>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

#include <windows.h>
#include <winioctl.h>

namespace fs = std::filesystem;

namespace treeinv::test {
namespace {

constexpr DWORD k_run_timeout_milliseconds = 60 * 1000;

std::runtime_error windows_failure(const std::string& what) {
  return std::runtime_error(what + ": Windows error " + std::to_string(GetLastError()));
}

} // namespace

std::wstring wide(const std::string& narrow) {
  const int length = static_cast<int>(narrow.size());
  std::wstring text(narrow.size(), L'\0');
  text.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::string narrow_in(unsigned code_page, const std::wstring& wide_text) {
  const int length = static_cast<int>(wide_text.size());
  std::string text(wide_text.size() * 3, '\0');
  const bool utf8 = code_page == CP_UTF8;
  BOOL used_default = FALSE;
  const int size =
      WideCharToMultiByte(code_page, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wide_text.data(), length,
                          text.data(), static_cast<int>(text.size()), nullptr, utf8 ? nullptr : &used_default);
  if (used_default || (size == 0 && length != 0)) {
    throw std::runtime_error("a name outside code page " + std::to_string(code_page));
  }
  text.resize(static_cast<std::size_t>(size));
  return text;
}

std::string ansi(const std::wstring& wide_text) {
  return narrow_in(GetACP(), wide_text);
}

void write_file(const std::wstring& path, const std::string& contents) {
  std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + std::to_string(path.size()) + "-character path");
  }
}

namespace {

// The entries of a folder, "." and ".." left out, in the order the enumeration gives them.
std::vector<WIN32_FIND_DATAW> entries_of(const std::wstring& folder) {
  std::vector<WIN32_FIND_DATAW> entries;
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) {
    throw windows_failure("FindFirstFileW");
  }
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") {
      entries.push_back(entry);
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return entries;
}

// `path` must be in the long form, to reach what tests put beyond 260 characters.
void force_remove(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
    return;
  }
  try {
    for (const WIN32_FIND_DATAW& entry : entries_of(path)) {
      force_remove(path + L"\\" + entry.cFileName);
    }
  } catch (const std::runtime_error&) {
    // Removed as far as it goes.
  }
  RemoveDirectoryW(path.c_str());
}

} // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  wchar_t base[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, base) == 0) {
    throw windows_failure("GetTempPathW");
  }
  // Wine hands out the same few process ids run after run, so a name may be taken by a run that crashed.
  std::wstring path;
  do {
    path = std::wstring(base) + L"treeinv-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter++);
  } while (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    throw windows_failure("CreateDirectoryW");
  }
  m_path = ansi(path);
}

TempDir::~TempDir() {
  // The long form reaches what tests put beyond 260 characters.
  force_remove(L"\\\\?\\" + wide(m_path));
}

std::string TempDir::operator/(const std::string& name) const {
  return m_path + "\\" + name;
}

ScopedChdir::ScopedChdir(const std::string& path) {
  wchar_t previous[MAX_PATH + 1];
  if (GetCurrentDirectoryW(MAX_PATH + 1, previous) == 0 || !SetCurrentDirectoryW(wide(path).c_str())) {
    throw windows_failure("chdir " + path);
  }
  m_previous = ansi(previous);
}

ScopedChdir::~ScopedChdir() {
  SetCurrentDirectoryW(wide(m_previous).c_str());
}

void make_dir(const std::string& path) {
  if (!CreateDirectoryW(wide(path).c_str(), nullptr)) {
    throw windows_failure("CreateDirectoryW " + path);
  }
}

void make_symlink(const std::string& target, const std::string& link) {
  throw std::runtime_error("symbolic links are not made in the Windows tests: " + target + " " + link);
}

void make_sparse_file(const std::string& path, std::uint64_t size) {
  const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw windows_failure("CreateFileW " + path);
  }
  DWORD returned = 0;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool made = DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr) &&
                    SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  if (!made) {
    throw windows_failure("sparse file " + path);
  }
}

// The program sits beside the test executable.
std::wstring program_path() {
  wchar_t self[MAX_PATH + 1];
  const DWORD size = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  if (size == 0 || size > MAX_PATH) {
    throw windows_failure("GetModuleFileNameW");
  }
  return fs::path(self).replace_filename(L"treeinv.exe").wstring();
}

namespace {

// One argument of a command line, quoted so that the C runtime's parser gives it back unchanged.
std::wstring quoted(const std::wstring& argument) {
  std::wstring text = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    text.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    text += c;
  }
  text.append(2 * backslashes, L'\\');
  return text + L"\"";
}

HANDLE output_file(const std::wstring& path) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  // Shared for writing too: a test may make it one of the lists.
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw windows_failure("CreateFileW output");
  }
  return file;
}

} // namespace

RunResult run_treeinv(const std::string& directory, const RunOptions& options) {
  return run_program(program_path(), wide(directory), options);
}

RunResult run_program(const std::wstring& program, const std::wstring& directory, const RunOptions& options) {
  if (options.user != User::current || options.file_size_limit != 0 || options.open_files_soft != 0 ||
      options.open_files_hard != 0 || options.address_space_limit != 0 || options.broken_stderr ||
      options.closed_stderr || options.measure_memory || options.remove_directory_first) {
    throw std::runtime_error("run option not available on Windows");
  }
  // The output goes to files beside the tree, never into it.
  const TempDir output;
  std::wstring command_line = quoted(program);
  for (const std::string& argument : options.arguments) {
    command_line += L" " + quoted(wide(argument));
  }
  const HANDLE out = output_file(wide(output / "out"));
  const std::string err_path = options.stderr_file.empty() ? output / "err" : options.stderr_file;
  const HANDLE err = output_file(wide(err_path));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      directory.c_str(), &startup, &process);
  CloseHandle(out);
  CloseHandle(err);
  if (!started) {
    throw windows_failure("CreateProcessW");
  }
  RunResult result;
  if (WaitForSingleObject(process.hProcess, k_run_timeout_milliseconds) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 255);
    WaitForSingleObject(process.hProcess, INFINITE);
    result.timed_out = true;
  } else {
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    result.exit_status = static_cast<int>(status);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.out = read_file(output / "out");
  result.err = read_file(err_path);
  return result;
}

std::vector<std::string> enumeration_order(const std::string& directory) {
  std::vector<std::string> names;
  for (const WIN32_FIND_DATAW& entry : entries_of(L"\\\\?\\" + wide(directory))) {
    // Only the order matters here: a name outside the code page may come out with "?" in it.
    const int length = static_cast<int>(std::wcslen(entry.cFileName));
    std::string text(static_cast<std::size_t>(length) * 2, '\0');
    text.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, entry.cFileName, length, text.data(),
                                                             static_cast<int>(text.size()), nullptr, nullptr)));
    names.push_back(text);
  }
  return names;
}
namespace {

// The model works on wide names and makes them narrow only as whole lines, in the code page asked for, so that
// no byte of a character is ever taken for a separator.
struct ModelState {
  unsigned code_page = 0;
  Lists lists;
  std::pair<DWORD, std::uint64_t> folders_id;
  std::pair<DWORD, std::uint64_t> patchlist_id;
};

HANDLE open_existing(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw windows_failure("CreateFileW " + std::to_string(path.size()) + "-character path");
  }
  return file;
}

std::pair<DWORD, std::uint64_t> id_of(const std::wstring& path) {
  const HANDLE file = open_existing(path);
  BY_HANDLE_FILE_INFORMATION info{};
  GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  return {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

} // namespace

std::string read_file(const std::wstring& path) {
  const HANDLE file = open_existing(path);
  std::string contents;
  char buffer[65536];
  DWORD count = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    contents.append(buffer, count);
  }
  CloseHandle(file);
  return contents;
}

namespace {

void model_directory(ModelState& state, const std::wstring& directory, const std::wstring& relative) {
  for (const WIN32_FIND_DATAW& entry : entries_of(directory)) {
    const std::wstring path = directory + L"\\" + entry.cFileName;
    const std::wstring entry_relative = relative.empty() ? entry.cFileName : relative + L"\\" + entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      state.lists.folders += narrow_in(state.code_page, entry_relative + L"\\") + "\r\n";
      model_directory(state, path, entry_relative);
      continue;
    }
    // A list holds the lines written before it is read.
    const auto id = id_of(path);
    const std::string digest = id == state.folders_id     ? reference_sha256(state.lists.folders)
                               : id == state.patchlist_id ? reference_sha256(state.lists.patchlist)
                                                          : reference_sha256(read_file(path));
    std::wstring line = entry_relative;
    for (wchar_t& c : line) {
      c = c == L'\\' ? L'/' : c;
    }
    state.lists.patchlist += narrow_in(state.code_page, line) + " " + digest + "\r\n";
  }
}

} // namespace

Lists model_inventory(const std::string& directory) {
  return model_inventory(directory, GetACP());
}

Lists model_inventory(const std::string& directory, unsigned code_page) {
  return model_inventory(wide(directory), code_page);
}

Lists model_inventory(const std::wstring& directory, unsigned code_page) {
  ModelState state;
  state.code_page = code_page;
  // The long form, so that paths beyond 260 characters can be followed.
  const std::wstring root = L"\\\\?\\" + directory;
  state.folders_id = id_of(root + L"\\folders.txt");
  state.patchlist_id = id_of(root + L"\\patchlist.txt");
  model_directory(state, root, L"");
  return state.lists;
}

} // namespace treeinv::test
