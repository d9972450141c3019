#include "compare.hpp"

#include "file_digest.hpp"
#include "file_error.hpp"
#include "inventory.hpp"
#include "list_files.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace treeinv {
namespace {

// Far more than any path takes (32,767 UTF-16 units on Windows), and a bound on what a hostile list may hold.
constexpr std::size_t k_longest_line = 128 * 1024;
constexpr std::size_t k_digest_size = 64;

// A line of a list read back: where its path is in the list's text, and whether the tree (or the newer inventory)
// has it. A folder's path keeps its last "\"; a file's digest follows its path after one space.
struct Line {
  std::size_t offset = 0;
  std::uint32_t length = 0;
  bool seen = false;
};

// A list read back whole: its lines in the order of the list, and by path for lookups.
struct List {
  std::string name;
  std::shared_ptr<char> bytes;
  std::string_view text;
  std::vector<Line> lines;
  std::vector<std::uint32_t> by_path;
  // The line after the last one found.
  std::size_t next = 0;

  std::string_view path(const Line& line) const { return {text.data() + line.offset, line.length}; }
  std::string_view path(std::uint32_t line) const { return path(lines[line]); }
  std::string_view digest(const Line& line) const {
    return {text.data() + line.offset + line.length + 1, k_digest_size};
  }
  Line* find(std::string_view wanted) {
    // A tree that did not change is walked in the order its list was written, so the next line is the likely one.
    if (next >= lines.size() || path(lines[next]) != wanted) {
      const auto at = std::lower_bound(by_path.begin(), by_path.end(), wanted,
                                       [&](std::uint32_t line, std::string_view key) { return path(line) < key; });
      if (at == by_path.end() || path(*at) != wanted) {
        return nullptr;
      }
      next = *at;
    }
    return &lines[next++];
  }
  [[noreturn]] void fail(std::size_t offset, const std::string& reason) const {
    const auto number = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n') + 1;
    throw std::runtime_error(name + ":" + std::to_string(number) + ": " + reason + ".");
  }
};

bool is_digest(std::string_view text) {
  return text.size() == k_digest_size &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Reads the list `name` in `folder` (the working directory when empty), checking every line by its bytes alone: a
// name's second byte may be "\" in a double-byte code page. A list's own lines, at the top, are left out.
List read_list(const std::string& folder, const char* name) {
  List list;
  list.name = folder.empty() ? name : folder + "/" + name;
  const bool files = std::strcmp(name, k_patchlist_name) == 0;
  platform::FileIdentity identity;
  const OpenFile input(platform::open_list(list.name.c_str(), platform::ListUse::read, identity));
  platform::FileState state;
  if (!platform::file_state(input.fd(), state)) {
    throw FileError("Cannot read", list.name, errno);
  }
  list.bytes = platform::list_buffer(state.size);
  std::size_t size = 0;
  for (std::ptrdiff_t count = 1; size < state.size && count > 0; size += static_cast<std::size_t>(count)) {
    count = platform::read_at(input.fd(), list.bytes.get() + size, state.size - size, size);
    if (count < 0) {
      throw FileError("Cannot read", list.name, errno);
    }
  }
  list.text = std::string_view(list.bytes.get(), size);
  for (std::size_t start = 0; start < size;) {
    const std::size_t end = list.text.find('\n', start);
    if (std::min(end, size) - start > k_longest_line) {
      list.fail(start, "Line is longer than " + std::to_string(k_longest_line) + " bytes");
    }
    if (end == std::string_view::npos || end == start || list.text[end - 1] != '\r') {
      list.fail(start, "Line does not end in CR LF");
    }
    std::string_view line(list.text.data() + start, end - 1 - start);
    if (files) {
      const std::size_t space = line.rfind(' ');
      if (space == std::string_view::npos || !is_digest(line.substr(space + 1))) {
        list.fail(start, "No space and 64 lowercase hexadecimal digits at the end of the line");
      }
      line = line.substr(0, space);
    } else if (line.empty() || line.back() != '\\') {
      list.fail(start, "No \"\\\" at the end of the folder");
    }
    if (line.empty() || (!files && line == "\\")) {
      list.fail(start, "Empty path");
    }
    if (line != k_folders_name && line != k_patchlist_name) {
      list.lines.push_back({start, static_cast<std::uint32_t>(line.size())});
    }
    start = end + 1;
  }
  list.by_path.resize(list.lines.size());
  std::iota(list.by_path.begin(), list.by_path.end(), std::uint32_t{0});
  std::sort(list.by_path.begin(), list.by_path.end(),
            [&](std::uint32_t a, std::uint32_t b) { return list.path(a) < list.path(b); });
  const auto twice = std::adjacent_find(list.by_path.begin(), list.by_path.end(),
                                        [&](std::uint32_t a, std::uint32_t b) { return list.path(a) == list.path(b); });
  if (twice != list.by_path.end()) {
    list.fail(list.lines[std::max(twice[0], twice[1])].offset, "The same path as an earlier line");
  }
  return list;
}

// A new file whose digest a list holds: it may be the new place of a missing file.
struct Kept {
  std::string path;
  std::string digest;
  std::size_t place = 0;
  bool moved = false;
};

// Orders by digest kept files, and file lines by their index in a list sorted by path, against digests.
struct ByDigest {
  const List* files = nullptr;
  std::string_view of(std::uint32_t line) const { return files->digest(files->lines[line]); }
  std::string_view of(const Kept& kept) const { return kept.digest; }
  std::string_view of(std::string_view digest) const { return digest; }
  template <typename A, typename B> bool operator()(const A& a, const B& b) const { return of(a) < of(b); }
};

// The lists of an inventory (the older one), and what a walk or a newer inventory finds different.
class Comparison : public LineSink {
public:
  explicit Comparison(const std::string& folder)
      : m_folders(read_list(folder, k_folders_name)), m_files(read_list(folder, k_patchlist_name)),
        m_by_digest(m_files.lines.size()) {
    std::iota(m_by_digest.begin(), m_by_digest.end(), std::uint32_t{0});
    std::sort(m_by_digest.begin(), m_by_digest.end(), ByDigest{&m_files});
  }

  void append_folder(const std::string& relative_path) override {
    listed_path(relative_path, platform::Kind::directory, m_path);
    folder(m_path);
  }

  void append_file(const std::string& relative_path, const std::string& digest) override {
    listed_path(relative_path, platform::Kind::other, m_path);
    file(m_path, digest);
  }

  void folder(std::string_view path) {
    if (Line* line = m_folders.find(path)) {
      line->seen = true;
    } else {
      report("new", path, m_new);
    }
  }

  void file(std::string_view path, std::string_view digest) {
    if (Line* line = m_files.find(path)) {
      line->seen = true;
      if (m_files.digest(*line) != digest) {
        report("changed", path, m_changed);
      }
    } else if (std::binary_search(m_by_digest.begin(), m_by_digest.end(), digest, ByDigest{&m_files})) {
      // Kept only while it may be where a missing file went: a huge tree against a small list costs no memory.
      m_kept.push_back({std::string(path), std::string(digest), m_kept.size()});
    } else {
      report("new", path, m_new);
    }
  }

  // Prints the moves, the other new files kept and the missing entries, each in the order of its list, and the
  // summary. Returns whether anything differs.
  bool finish() {
    // A missing file moved when exactly one new file holds its digest, and no other missing file does.
    std::vector<std::string_view> gone;
    for (const Line& line : m_files.lines) {
      if (!line.seen) {
        gone.push_back(m_files.digest(line));
      }
    }
    std::sort(gone.begin(), gone.end());
    std::stable_sort(m_kept.begin(), m_kept.end(), ByDigest{});
    for (Line& line : m_files.lines) {
      const std::string_view digest = m_files.digest(line);
      if (line.seen) {
        continue;
      }
      const auto came = std::equal_range(m_kept.begin(), m_kept.end(), digest, ByDigest{});
      const auto went = std::equal_range(gone.begin(), gone.end(), digest);
      if (came.second - came.first == 1 && went.second - went.first == 1) {
        report("moved", m_files.path(line), m_moved);
        write("to", came.first->path);
        line.seen = came.first->moved = true;
      }
    }
    std::sort(m_kept.begin(), m_kept.end(), [](const Kept& a, const Kept& b) { return a.place < b.place; });
    for (const Kept& kept : m_kept) {
      if (!kept.moved) {
        report("new", kept.path, m_new);
      }
    }
    for (const List* list : {&m_folders, &m_files}) {
      for (const Line& line : list->lines) {
        if (!line.seen) {
          report("missing", list->path(line), m_missing);
        }
      }
    }
    if (std::fflush(stdout) != 0) {
      throw_output_error();
    }
    const bool differs = m_changed + m_new + m_missing + m_moved > 0;
    if (differs) {
      std::fprintf(stderr, "treeinv: %zu changed, %zu new, %zu missing, %zu moved\n", m_changed, m_new, m_missing,
                   m_moved);
    }
    return differs;
  }

private:
  [[noreturn]] static void throw_output_error() {
    throw std::runtime_error(std::string("Cannot write to standard output: ") + std::strerror(errno));
  }

  static void write(const char* word, std::string_view path) {
    if (std::fputs(word, stdout) < 0 || std::fputc(' ', stdout) < 0 ||
        std::fwrite(path.data(), 1, path.size(), stdout) != path.size() || std::fputc('\n', stdout) < 0) {
      throw_output_error();
    }
  }

  static void report(const char* word, std::string_view path, std::size_t& count) {
    ++count;
    write(word, path);
  }

  List m_folders;
  List m_files;
  std::vector<std::uint32_t> m_by_digest;
  std::vector<Kept> m_kept;
  std::string m_path;
  std::size_t m_changed = 0;
  std::size_t m_new = 0;
  std::size_t m_missing = 0;
  std::size_t m_moved = 0;
};

} // namespace

bool check_tree(unsigned workers) {
  Comparison comparison("");
  walk_tree(platform::start_prefix(), comparison, nullptr, workers);
  return comparison.finish();
}

bool compare_inventories(const std::string& old_folder, const std::string& new_folder) {
  Comparison comparison(old_folder);
  for (const char* name : {k_folders_name, k_patchlist_name}) {
    const List list = read_list(new_folder, name);
    for (const Line& line : list.lines) {
      name == k_folders_name ? comparison.folder(list.path(line)) : comparison.file(list.path(line), list.digest(line));
    }
  }
  return comparison.finish();
}

} // namespace treeinv
