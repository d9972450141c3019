#include "list_files.hpp"

#include "file_error.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cerrno>

namespace treeinv {

ListFile::ListFile(const char* name) : m_name(name), m_file(std::fopen(name, "wb")) {
  if (m_file == nullptr) {
    throw file_error("Cannot create", m_name, errno);
  }
  // Every line is written out whole the moment it is complete, so a stream buffer would only add a copy, and a
  // buffer left holding part of a failed line could reach the file later, on close.
  std::setvbuf(m_file, nullptr, _IONBF, 0);
  if (!platform::identify(m_file, m_identity)) {
    const int error = errno;
    std::fclose(m_file);
    throw file_error("Cannot create", m_name, error);
  }
}

ListFile::~ListFile() {
  if (m_file != nullptr) {
    std::fclose(m_file);
  }
}

void ListFile::append_line(const std::string& text) {
  m_line.assign(text);
  m_line += "\r\n";
  if (std::fwrite(m_line.data(), 1, m_line.size(), m_file) != m_line.size()) {
    const int error = errno;
    // Leave no partial line behind for a reader of the list to take as a whole one.
    platform::truncate_file(m_file, m_size);
    throw file_error("Cannot write", m_name, error);
  }
  m_size += m_line.size();
}

void ListFile::close() {
  std::FILE* file = m_file;
  m_file = nullptr;
  if (std::fclose(file) != 0) {
    throw file_error("Cannot close", m_name, errno);
  }
}

ListFiles::ListFiles() : m_patchlist(k_patchlist_name), m_folders(k_folders_name) {}

void ListFiles::append_folder(const std::string& relative_path) {
  m_text.assign(relative_path);
  std::replace(m_text.begin(), m_text.end(), platform::k_separator, '\\');
  m_text += '\\';
  m_folders.append_line(m_text);
}

void ListFiles::append_file(const std::string& relative_path, const std::string& digest) {
  m_text.assign(relative_path);
  std::replace(m_text.begin(), m_text.end(), platform::k_separator, '/');
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
