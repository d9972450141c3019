#pragma once

#include <string>

namespace treeinv {

// Walks everything below the current working directory and writes folders.txt and patchlist.txt into it, with
// digests computed ahead on up to `workers` threads besides the caller's once the files hashed add up to enough for
// them to pay. The first failure ends the walk and propagates as std::filesystem::filesystem_error,
// std::system_error or std::runtime_error (FileError among them); the lines written until then stay in both lists.
void take_inventory(unsigned workers);

// Throws std::system_error (illegal_byte_sequence) `Cannot list "PATH"` when a relative path holds a byte the
// lists cannot carry.
void check_listable(const std::string& relative_path);

} // namespace treeinv
