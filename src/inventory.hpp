#pragma once

#include <string>

namespace treeinv {

class ListFiles;

// Where the lines of a walk go, in the order of the walk: into the lists, or into a comparison with them. Paths are
// in native form, relative to the starting directory.
class LineSink {
public:
  virtual ~LineSink() = default;
  virtual void append_folder(const std::string& relative_path) = 0;
  virtual void append_file(const std::string& relative_path, const std::string& digest) = 0;
};

// Walks everything below the current working directory, whose start_prefix() is `prefix`, and gives `sink` a line
// for each entry, with digests computed ahead on up to `workers` threads besides the caller's once the files hashed
// add up to enough for them to pay. The lists at the top of the tree are those of `own`, read through the
// descriptors that write them; without `own` they are left out. The first failure ends the walk and propagates as
// std::filesystem::filesystem_error, std::system_error or std::runtime_error (FileError among them), after every
// line before it.
void walk_tree(std::string prefix, LineSink& sink, const ListFiles* own, unsigned workers);

// Writes folders.txt and patchlist.txt into the working directory, walking it as walk_tree() does; the lines written
// before a failure stay in both lists.
void take_inventory(unsigned workers);

// Throws std::system_error (illegal_byte_sequence) `Cannot list "PATH"` when a relative path holds a byte the
// lists cannot carry.
void check_listable(const std::string& relative_path);

} // namespace treeinv
