#include "list_files.hpp"

#include "file_error.hpp"
#include "platform.hpp"

#include <atomic>
#include <cerrno>

namespace treeinv {

namespace {

std::atomic<bool> g_standard_error_is_a_list{false};

} // namespace

bool standard_error_is_a_list() {
  return g_standard_error_is_a_list;
}

ListFile::ListFile(const char* name) : m_name(name), m_fd(platform::create_list(name, m_identity)) {
  if (platform::is_standard_error(m_identity)) {
    g_standard_error_is_a_list = true;
  }
}

ListFile::~ListFile() {
  if (m_fd >= 0) {
    platform::close_file(m_fd);
  }
}

void ListFile::append_line(std::string& text) {
  text += "\r\n";
  if (!platform::write_all(m_fd, text.data(), text.size())) {
    const int error = errno;
    // Leave no partial line behind for a reader of the list to take as a whole one.
    platform::truncate_file(m_fd, m_size);
    throw FileError("Cannot write", m_name, error);
  }
  m_size += text.size();
}

void ListFile::close() {
  const int fd = m_fd;
  m_fd = -1;
  if (!platform::close_file(fd)) {
    throw FileError("Cannot close", m_name, errno);
  }
}

ListFiles::ListFiles() : m_patchlist(k_patchlist_name), m_folders(k_folders_name) {
  // Two names for one file would make the lines of both lists overwrite each other.
  if (m_patchlist.identity() == m_folders.identity()) {
    throw FileError("Cannot create", k_folders_name, "Is the same file as \"patchlist.txt\"", EEXIST);
  }
}

void ListFiles::append_folder(const std::string& relative_path) {
  // Assigned, not copied, so that one buffer serves every line.
  m_text.assign(relative_path);
  platform::use_separators(m_text, '\\');
  m_text += '\\';
  m_folders.append_line(m_text);
}

void ListFiles::append_file(const std::string& relative_path, const std::string& digest) {
  m_text.assign(relative_path);
  platform::use_separators(m_text, '/');
  m_text += ' ';
  m_text += digest;
  m_patchlist.append_line(m_text);
}

std::vector<platform::FileIdentity> ListFiles::identities() const {
  return {m_patchlist.identity(), m_folders.identity()};
}

void ListFiles::close() {
  m_patchlist.close();
  m_folders.close();
}

} // namespace treeinv
