#pragma once

#include "platform.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace treeinv {

inline constexpr const char* k_folders_name = "folders.txt";
inline constexpr const char* k_patchlist_name = "patchlist.txt";

// One list file in the working directory, written line by line. Each line reaches the file as a whole with one
// write as soon as it is appended, so the file holds exactly the complete lines appended so far; if a write
// fails, the file is cut back to those lines.
class ListFile {
public:
  // Creates the file or empties the existing one, which must be a regular file of its own.
  // Throws FileError `Cannot create "NAME": REASON.`.
  explicit ListFile(const char* name);
  ~ListFile();
  ListFile(const ListFile&) = delete;
  ListFile& operator=(const ListFile&) = delete;

  // Appends `text` followed by CR LF, which it adds to `text`. Throws FileError `Cannot write "NAME": REASON.`.
  void append_line(std::string& text);

  // Throws FileError `Cannot close "NAME": REASON.`.
  void close();

  const platform::FileIdentity& identity() const { return m_identity; }

private:
  const char* m_name;
  platform::FileIdentity m_identity;
  int m_fd;
  std::uint64_t m_size = 0;
};

// Whether standard error was found to be one of the lists created: a message written to it would become a line of
// the list.
bool standard_error_is_a_list();

// The two lists of an inventory: folders.txt with one line per folder, patchlist.txt with one line per other
// entry and its digest. Paths come in native form, relative to the starting directory.
class ListFiles {
public:
  // Opens patchlist.txt, then folders.txt, which must be two different files.
  ListFiles();

  // Writes the path with "\" between components and after the last one.
  void append_folder(const std::string& relative_path);

  // Writes the path with "/" between components, one space and the digest.
  void append_file(const std::string& relative_path, const std::string& digest);

  // Closes patchlist.txt, then folders.txt.
  void close();

  // Which files the two lists are, since other entries may lead to them too.
  std::vector<platform::FileIdentity> identities() const;

private:
  ListFile m_patchlist;
  ListFile m_folders;
  std::string m_text;
};

} // namespace treeinv
