#pragma once

#include <string>

namespace treeinv {

// Both print each difference on standard output as a line of a word, one space and a path, files as patchlist.txt
// writes them and folders as folders.txt does: `changed PATH` (a file whose digest differs), `new PATH`, `missing
// PATH`, and a move as `moved OLD` followed by `to NEW` (a missing file whose digest exactly one new file holds and
// no other missing file). Changed files, and new entries whose digest no list holds, come as they are met; then
// moves, the other new files and the missing entries. Each returns whether something differs, after one summary line
// on standard error. The lists are read whole first, and one that cannot be read or is malformed throws
// std::runtime_error `NAME:LINE: REASON.` before anything is printed.

// Compares the tree below the working directory with the lists in it, walking and hashing it as an inventory does
// (the same errors end it) with up to `workers` threads, and writes nothing. The lists at its top are left out.
bool check_tree(unsigned workers);

// Compares the inventory in the folder `old_folder` with the one in `new_folder`, reading nothing but their lists.
bool compare_inventories(const std::string& old_folder, const std::string& new_folder);

} // namespace treeinv
