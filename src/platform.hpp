#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Everything that differs between operating systems: the narrow form of paths, the working directory, the walk
// over the tree, the status of an entry, and raw file access. One implementation file per platform is compiled.
//
// A failure of the file system is thrown as a std::system_error (a std::filesystem::filesystem_error where the
// standard library does the work) whose message reads "OPERATION: REASON [PATH]", named by the operation texts
// below.
namespace treeinv::platform {

// Bytes that a listed relative path may not hold on this platform: the lists could not carry them unambiguously.
extern const char* const k_unlistable_bytes;

// Readies the process for a run, before anything else: a write that fails must come back as an error, not as a
// signal, and a deep tree needs more open folders than the usual default allows.
void prepare_process();

// The narrow form of the current working directory followed by the one separator that comes before the name of
// each entry below it (a root such as "/" or "C:\" ends in it already). Paths in messages begin with it.
// Throws "current_path()" when the directory cannot be obtained, and std::system_error when it has no exact narrow
// form.
std::string start_prefix();

// Replaces each separator between the components of `path` (a relative path in native form) with `separator`, in
// place. Judged per character: a byte of a multi-byte character that happens to equal the separator stays.
void use_separators(std::string& path, char separator);

enum class Kind { directory, other };

// A folder of the tree, held open as long as an entry in it may still be opened.
struct Folder;

// A file the walk has passed: enough to open it later, from any thread, even once the walk has left its folder.
struct FileEntry {
  std::shared_ptr<const Folder> folder;
  // Its name in the folder, as the folder's enumeration gave it, in narrow form.
  std::string name;
  // Non-zero when what the walk learned of the entry already refuses it (a FIFO, socket or device): the error
  // number that opening it reports, without opening it.
  int refusal = 0;
};

// The entry at `path`, relative to the current working directory. For reading single files outside a walk.
FileEntry entry_in_working_directory(const std::string& path);

// A depth-first, pre-order walk over everything below the current working directory, in the order the directory
// enumeration returns the entries. A directory is yielded before its contents and its whole subtree comes before
// its next sibling. Links to directories are yielded but not entered. Every folder is reached through its parent,
// never by its full path, so the walk stays inside the tree it started in even if the tree is moved meanwhile.
class Walk {
public:
  // Opens the current working directory; `start_prefix` is what start_prefix() gave, for the paths of messages.
  // Throws "recursive_directory_iterator::recursive_directory_iterator".
  explicit Walk(std::string start_prefix);
  ~Walk();
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  bool at_end() const;

  // The current entry's kind by its status with links followed; an entry that is not found is of kind other.
  // Throws "status" for any other failure of the status query.
  Kind kind();

  // The current entry's path relative to the starting directory, in native form.
  // Throws std::system_error when a name has no exact narrow form.
  const std::string& relative_path() const;

  // The current entry, of kind other, for its digest.
  FileEntry file() const;

  // Moves to the next entry, entering the current one first if it is a directory to descend into. A failure leaves
  // the walk where it was.
  // Throws "recursive_directory_iterator::operator++".
  void advance();

  // Closes the outermost folder the walk holds open that nothing else needs; the walk opens it again when it comes
  // back to it, through its subfolder, and fails if it is not the same folder. For when the process runs out of
  // open files. Returns false when there is no such folder.
  bool release_folder();

private:
  struct State;
  std::unique_ptr<State> m_state;
};

// The number of processors this process may run on.
unsigned processor_count();

// The number of files the process may open beyond those it had open when it started, and how many are folders
// that walks and the entries they handed out hold open.
std::size_t open_file_limit();
std::size_t open_folders();

// What tells one file apart from every other on the machine, whatever names lead to it.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool operator==(const FileIdentity& other) const { return volume == other.volume && file == other.file; }
};

// What changes when a file's contents change.
struct FileState {
  FileIdentity identity;
  std::uint64_t size = 0;
  std::int64_t modified = 0; // nanoseconds
  std::int64_t changed = 0;  // nanoseconds; 0 where the platform has no change time
  bool operator==(const FileState& other) const {
    return identity == other.identity && size == other.size && modified == other.modified && changed == other.changed;
  }
};

// Opens a file entry for reading, sharing it with other readers and writers, and tells its state. An entry whose
// refusal is set is not opened. Never blocks on a FIFO and never accepts anything but a regular file, also when
// the entry was swapped since the walk looked at it; waits for a lease on the file to be given up, as any reader
// does. Returns -1 with errno set on failure.
int open_file(const FileEntry& entry, FileState& state);

// The state of an open file. Returns false with errno set on failure.
bool file_state(int fd, FileState& state);

// Reads up to `size` bytes. Returns the number read, 0 at end of file, or -1 with errno set.
std::ptrdiff_t read_some(int fd, char* buffer, std::size_t size);

// Returns false with errno set on failure.
bool close_file(int fd);

// Creates the list file `name` in the working directory or empties the one there, and gives its identity. Refuses
// a name that leads elsewhere (a symbolic link or junction), anything but a regular file, and a file that has other
// names too; never blocks.
// Throws std::runtime_error `Cannot create "NAME": REASON.`.
int create_list(const char* name, FileIdentity& identity);

// Whether standard error is the file `file`.
bool is_standard_error(const FileIdentity& file);

// Writes all of `size` bytes. Returns false with errno set on failure.
bool write_all(int fd, const char* data, std::size_t size);

// Cuts an open file back to `size` bytes. Returns false with errno set on failure.
bool truncate_file(int fd, std::uint64_t size);

} // namespace treeinv::platform
