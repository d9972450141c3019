#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

// Everything that differs between operating systems: the narrow form of paths, the working directory, the walk
// over the tree, and raw file access; one implementation file per platform, the contracts here alone. A failure of
// the file system is thrown as a std::system_error whose message reads "OPERATION: REASON [PATH]".
namespace treeinv::platform {

// Bytes that a listed relative path may not hold on this platform: the lists could not carry them unambiguously.
extern const char* const k_unlistable_bytes;

// Readies the process for a run, before anything else: a write that fails must come back as an error, not as a
// signal, a deep tree needs more open folders than the usual default allows, and a request to stop (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT; Ctrl+C and the like on Windows) must end the run between two lines, not in the middle
// of one.
void prepare_process();

// The name of the signal that asked the run to stop, such as "INT"; null while none came. Safe from any thread.
const char* stop_request();

// Ends the process by the signal that asked it to stop, as whoever sent it expects. Returns if none came.
void end_by_stop_request();

// Starts a thread that leaves the stop requests to the thread that writes the lists, which they must interrupt.
// The caller's own signal mask is as it was afterwards.
std::thread start_thread(std::function<void()> body);

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
// `name` is in narrow form; `through_link` when it is a link, whose target counts; `refusal`, when the walk already
// knows the entry for a FIFO, socket or device, is the error number opening it reports, without opening it.
struct FileEntry {
  std::shared_ptr<const Folder> folder;
  std::string name;
  bool through_link = false;
  int refusal = 0;
};

// A depth-first, pre-order walk over everything below the current working directory, in the order the directory
// enumeration returns the entries. A directory is yielded before its contents and its whole subtree comes before
// its next sibling. Links to directories are yielded but not entered. Every folder is opened through its parent,
// never by its full path, and checked to be a folder once opened, so the walk stays inside the tree it started in
// even if the tree is moved or a folder swapped for a link meanwhile.
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

  // Moves to the next entry, entering the current one first if it is a directory to descend into.
  // Throws "recursive_directory_iterator::operator++".
  void advance();

  // How many folders the walk holds open.
  std::size_t depth() const;

private:
  struct State;
  std::unique_ptr<State> m_state;
};

// The number of processors this process may run on.
unsigned processor_count();

// How many more files the process may open now; 0 when that cannot be known.
std::size_t open_file_limit();

// What tells one file apart from every other on the machine, whatever names lead to it. Where file IDs take 128
// bits (ReFS), `file_high` holds the upper half.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  std::uint64_t file_high = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && file == other.file && file_high == other.file_high;
  }
};

// What changes when a file's contents change. Times in nanoseconds; no change time is 0.
struct FileState {
  FileIdentity identity;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  std::int64_t changed = 0;
  bool operator==(const FileState& other) const {
    return identity == other.identity && size == other.size && modified == other.modified && changed == other.changed;
  }
};

enum class Lease { wait, give_up };

// Opens a file entry for reading, sharing it with other readers and writers, and tells its state. An entry whose
// refusal is set is not opened. Never blocks on a FIFO and never accepts anything but a regular file, also when
// the entry was swapped since the walk looked at it: a folder fails with EISDIR, anything else with ENXIO. A lease
// on the file (held by a file server for a client) is waited for until its holder gives it up or a stop request
// comes, as any reader waits, or given up on at once (EWOULDBLOCK). Returns -1 with errno set on failure.
int open_file(const FileEntry& entry, FileState& state, Lease lease = Lease::wait);

// These fail with errno set: false, or -1 for read_at. read_at reads up to `size` bytes without waiting for more to
// come, and returns 0 at the end of the file; write_at writes all of them. A read or write interrupted by a stop
// request fails.
bool file_state(int fd, FileState& state);
std::ptrdiff_t read_at(int fd, char* buffer, std::size_t size, std::uint64_t offset);
bool write_at(int fd, const char* data, std::size_t size, std::uint64_t offset);
bool truncate_file(int fd, std::uint64_t size);
bool close_file(int fd);

// A buffer of `size` bytes, left unfilled, to read a list into whole. Megabytes of them go in large pages where the
// system has them: taken page by page, each 4 KiB costs a fault, which on some virtual machines takes longer than
// reading it (7 MiB took 30 ms, and 2 ms in large pages). Throws std::bad_alloc.
std::shared_ptr<char> list_buffer(std::size_t size);

enum class ListUse { write, read };

// Opens the list file at `path` for an inventory to write (read-write, created when missing, its contents left as
// they are) or for a check to read, and gives its identity. Refuses a file that is in use by another inventory, or
// by a check when it is to be written, where the file system can tell. For writing it refuses a name that leads
// elsewhere (a symbolic link or junction), anything but a regular file, a file that has other names too, and one
// that another user could rewrite afterwards; for reading, anything but a regular file. Never blocks on a FIFO.
// Throws FileError `Cannot create "PATH": REASON.` (for writing) or `Cannot open "PATH": REASON.`.
int open_list(const char* path, ListUse use, FileIdentity& identity);

// Writes the whole line (message and line end) to standard error when that is a console that shows text in a form
// of its own (Windows'), so that every character shows as it is. Returns false when the bytes of the line are what
// standard error takes: the caller writes them then.
bool write_message(std::string_view line);

} // namespace treeinv::platform
