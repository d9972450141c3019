#pragma once

#include <string>
#include <string_view>

namespace treeinv {

// Walks everything below the current working directory and writes folders.txt and patchlist.txt into it.
// The first failure ends the walk and propagates as std::filesystem::filesystem_error, std::system_error or
// std::runtime_error; the lines written until then stay in both lists.
void take_inventory();

// Runs take_inventory() and turns its outcome into the exit status: 0 after a complete walk; otherwise 1, after one
// line `treeinv: MESSAGE` on standard error.
int run();

// The starting directory's narrow path followed by the one separator that comes before each entry's name.
std::string base_prefix(const std::string& start_directory);

// The part of an entry's narrow full path below the starting directory.
// Throws std::system_error (illegal_byte_sequence) when the part holds a byte the lists cannot carry, and
// std::runtime_error when the entry does not lie below the starting directory at all.
std::string relative_path(const std::string& full_path, const std::string& base_prefix);

// `text` with every control character written as an escape sequence, so that it prints as one line.
std::string printable(std::string_view text);

} // namespace treeinv
