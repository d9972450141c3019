#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Everything that differs between operating systems: the narrow form of paths, the working directory, the walk
// over the tree, the status of an entry, and raw file access. One implementation file per platform is compiled.
//
// A failure of the file system is thrown as a std::system_error (a std::filesystem::filesystem_error where the
// standard library does the work) whose message reads "OPERATION: REASON [PATH]", named by the operation texts
// below.
namespace treeinv::platform {

// The separator between the components of a native path.
extern const char k_separator;

// Bytes that a listed relative path may not hold on this platform: the lists could not carry them unambiguously.
extern const char* const k_unlistable_bytes;

// The narrow form of the current working directory.
// Throws "current_path()" when it cannot be obtained, and std::system_error when it has no exact narrow form.
std::string current_directory();

enum class Kind { directory, other };

// A depth-first, pre-order walk over everything below the current working directory, in the order the directory
// enumeration returns the entries. A directory is yielded before its contents and its whole subtree comes before
// its next sibling. Links to directories are yielded but not entered.
class Walk {
public:
  // Asks for the current working directory again and opens it.
  // Throws "current_path()" or "recursive_directory_iterator::recursive_directory_iterator".
  Walk();
  ~Walk();
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  bool at_end() const;

  // The current entry's kind by its status with links followed; an entry that is not found is of kind other.
  // Throws "status" for any other failure of the status query.
  Kind kind() const;

  // The narrow form of the current entry's full path.
  // Throws std::system_error when a name has no exact narrow form.
  std::string narrow_path() const;

  // Moves to the next entry, entering the current one first if it is a directory to descend into.
  // Throws "recursive_directory_iterator::operator++".
  void advance();

private:
  struct State;
  std::unique_ptr<State> m_state;
};

// What tells one file apart from every other on the machine, whatever names lead to it.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool operator==(const FileIdentity& other) const { return volume == other.volume && file == other.file; }
};

// Opens a regular file for reading, sharing it with other readers and writers. Never blocks and never accepts
// anything but a regular file (a FIFO, socket or device is refused). Returns -1 with errno set on failure.
int open_for_reading(const std::string& path);

// Whether the file open for reading as `fd` is one of `files`: 1 if it is, 0 if not, -1 with errno set when that
// cannot be told. Quick when it is none of them, which is the common case.
int is_one_of(int fd, const std::vector<FileIdentity>& files);

// Reads up to `size` bytes. Returns the number read, 0 at end of file, or -1 with errno set.
std::ptrdiff_t read_some(int fd, char* buffer, std::size_t size);

void close_file(int fd);

// Which file an open output file is. Returns false with errno set on failure.
bool identify(std::FILE* file, FileIdentity& identity);

// Cuts an open output file back to `size` bytes. Returns false with errno set on failure.
bool truncate_file(std::FILE* file, std::uint64_t size);

} // namespace treeinv::platform
