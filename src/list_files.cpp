#include "list_files.hpp"

#include "file_error.hpp"
#include "platform.hpp"

#include <cerrno>

namespace treeinv {

ListFile::ListFile(const char* name)
    : m_name(name), m_fd(platform::open_list(name, platform::ListUse::write, m_identity)) {}

ListFile::~ListFile() {
  if (m_fd >= 0) {
    platform::close_file(m_fd);
  }
}

void ListFile::empty() {
  if (!platform::truncate_file(m_fd, 0)) {
    throw FileError("Cannot create", m_name, errno);
  }
}

void ListFile::append_line(std::string& text) {
  text += "\r\n";
  if (!platform::write_at(m_fd, text.data(), text.size(), m_size)) {
    const int error = errno;
    // Leave no partial line behind for a reader of the list to take as a whole one.
    platform::truncate_file(m_fd, m_size);
    throw FileError("Cannot write", m_name, error);
  }
  m_size += text.size();
}

void ListFile::close() {
  // Where the file system takes no locks, another program may have written to it all the same.
  platform::FileState state;
  const bool whole = platform::file_state(m_fd, state) && state.size == m_size;
  const int fd = m_fd;
  m_fd = -1;
  if (!platform::close_file(fd) || !whole) {
    throw whole ? FileError("Cannot close", m_name, errno)
                : FileError("Cannot close", m_name, "Was written to by another program meanwhile", EBUSY);
  }
}

ListFiles::ListFiles() : m_patchlist(k_patchlist_name), m_folders(k_folders_name) {
  m_patchlist.empty();
  m_folders.empty();
}

void listed_path(const std::string& relative_path, platform::Kind kind, std::string& text) {
  // Assigned, not copied, so that one buffer serves every line.
  text.assign(relative_path);
  const bool folder = kind == platform::Kind::directory;
  platform::use_separators(text, folder ? '\\' : '/');
  if (folder) {
    text += '\\';
  }
}

void ListFiles::append_folder(const std::string& relative_path) {
  listed_path(relative_path, platform::Kind::directory, m_text);
  m_folders.append_line(m_text);
}

void ListFiles::append_file(const std::string& relative_path, const std::string& digest) {
  listed_path(relative_path, platform::Kind::other, m_text);
  m_text += ' ';
  m_text += digest;
  m_patchlist.append_line(m_text);
}

std::vector<platform::FileIdentity> ListFiles::identities() const {
  return {m_patchlist.identity(), m_folders.identity()};
}

int ListFiles::descriptor_of(const std::string& relative_path, platform::FileState& state) const {
  for (const ListFile* list : {&m_patchlist, &m_folders}) {
    if (relative_path == list->name() && platform::file_state(list->fd(), state)) {
      return list->fd();
    }
  }
  return -1;
}

void ListFiles::close() {
  m_patchlist.close();
  m_folders.close();
}

} // namespace treeinv
