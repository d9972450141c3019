#pragma once

#include "inventory.hpp"
#include "platform.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace treeinv {

inline constexpr const char* k_folders_name = "folders.txt";
inline constexpr const char* k_patchlist_name = "patchlist.txt";

// One list file in the working directory, written line by line by this run alone. Each line reaches the file as a
// whole with one write as soon as it is appended, so the file holds exactly the complete lines appended so far; if
// a write fails, the file is cut back to those lines.
class ListFile {
public:
  // Opens the file, or creates it, which must be a regular file of its own that no other run uses, and keeps other
  // runs from it. Its contents stay until empty().
  // Throws FileError `Cannot create "NAME": REASON.`.
  explicit ListFile(const char* name);
  ~ListFile();
  ListFile(const ListFile&) = delete;
  ListFile& operator=(const ListFile&) = delete;

  // Throws FileError `Cannot create "NAME": REASON.`.
  void empty();

  // Appends `text` followed by CR LF, which it adds to `text`. Throws FileError `Cannot write "NAME": REASON.`.
  void append_line(std::string& text);

  // Throws FileError `Cannot close "NAME": REASON.`, also when the file does not hold exactly what was appended.
  void close();

  const char* name() const { return m_name; }
  const platform::FileIdentity& identity() const { return m_identity; }
  int fd() const { return m_fd; }

private:
  const char* m_name;
  platform::FileIdentity m_identity;
  int m_fd;
  std::uint64_t m_size = 0;
};

// How a relative path in native form is written in the lists: with "\" between components and after the last one
// for a folder, with "/" between them for a file. Into `text`, which it replaces.
void listed_path(const std::string& relative_path, platform::Kind kind, std::string& text);

// The two lists of an inventory: folders.txt with one line per folder, patchlist.txt with one line per other
// entry and its digest.
class ListFiles : public LineSink {
public:
  // Opens patchlist.txt, then folders.txt, and only once both are this run's own empties them.
  ListFiles();

  // Writes the path as listed_path() does, and for a file one space and the digest.
  void append_folder(const std::string& relative_path) override;
  void append_file(const std::string& relative_path, const std::string& digest) override;

  // Closes patchlist.txt, then folders.txt.
  void close();

  // Which files the two lists are, since other entries may lead to them too.
  std::vector<platform::FileIdentity> identities() const;

  // The descriptor that writes the list named `relative_path` (an entry at the top of the tree), with `state` made
  // the list's; -1 when it names no list. A list is read through it, never opened again: it may be unreadable for
  // its mode (a umask of 0777), or locked against other readers (CIFS).
  int descriptor_of(const std::string& relative_path, platform::FileState& state) const;

private:
  ListFile m_patchlist;
  ListFile m_folders;
  std::string m_text;
};

} // namespace treeinv
