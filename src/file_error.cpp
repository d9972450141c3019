#include "file_error.hpp"

#include <cstring>

namespace treeinv {

FileError::FileError(const char* what, const std::string& path, int error)
    : FileError(what, path, std::strerror(error), error) {}

FileError::FileError(const char* what, const std::string& path, const char* reason, int error)
    : std::runtime_error(std::string(what) + " \"" + path + "\": " + reason + "."), m_error(error) {}

} // namespace treeinv
