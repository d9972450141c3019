#include "inventory.hpp"

#include "digest_queue.hpp"
#include "list_files.hpp"
#include "platform.hpp"

#include <cstdio>
#include <deque>
#include <exception>
#include <stdexcept>
#include <system_error>

namespace treeinv {

std::string base_prefix(const std::string& start_directory) {
  std::string prefix = start_directory;
  // A root such as "/" or "C:\" already ends in its separator.
  if (prefix.empty() || prefix.back() != platform::k_separator) {
    prefix += platform::k_separator;
  }
  return prefix;
}

std::string relative_path(const std::string& full_path, const std::string& base_prefix) {
  if (full_path.size() <= base_prefix.size() || full_path.compare(0, base_prefix.size(), base_prefix) != 0) {
    // Only possible if the starting directory changed its name while the walk started.
    throw std::runtime_error("\"" + full_path + "\" is not below \"" + base_prefix + "\".");
  }
  std::string relative = full_path.substr(base_prefix.size());
  if (relative.find_first_of(platform::k_unlistable_bytes) != std::string::npos) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence), "Cannot list \"" + relative + "\"");
  }
  return relative;
}

namespace {

// How many entries the walk may run ahead of the lines written, so that the workers always have files to hash.
constexpr std::size_t k_look_ahead = 256;

// An entry the walk has passed whose line is not written yet.
struct Pending {
  platform::Kind kind = platform::Kind::other;
  std::string relative;
  DigestQueue::Ticket digest;
  // A failure of the walk at this point. It ends the run once every line before it is written.
  std::exception_ptr error;
};

// Takes the walk one entry further and queues that entry, with its digest under way. Returns false once the walk
// is over, at its end or at a failure, which is queued in place of an entry.
bool walk_on(platform::Walk& walk, const std::string& base, DigestQueue& digests, std::deque<Pending>& pending) {
  try {
    if (walk.at_end()) {
      return false;
    }
    Pending entry;
    entry.kind = walk.kind();
    entry.relative = relative_path(walk.narrow_path(), base);
    if (entry.kind == platform::Kind::other) {
      entry.digest = digests.submit(entry.relative);
    }
    pending.push_back(std::move(entry));
    walk.advance();
    return true;
  } catch (...) {
    Pending failure;
    failure.error = std::current_exception();
    pending.push_back(std::move(failure));
    return false;
  }
}

} // namespace

void take_inventory() {
  const std::string base = base_prefix(platform::current_directory());
  ListFiles lists;
  DigestQueue digests(lists.identities(), DigestQueue::default_workers());
  platform::Walk walk;
  std::deque<Pending> pending;
  bool walking = true;
  for (;;) {
    while (walking && pending.size() < k_look_ahead) {
      walking = walk_on(walk, base, digests, pending);
    }
    if (pending.empty()) {
      break;
    }
    const Pending& next = pending.front();
    if (next.error) {
      std::rethrow_exception(next.error);
    }
    if (next.kind == platform::Kind::directory) {
      lists.append_folder(next.relative);
    } else {
      // The digest comes first: a file that cannot be read leaves no partial line.
      lists.append_file(next.relative, digests.take(next.digest));
    }
    pending.pop_front();
  }
  lists.close();
}

std::string printable(std::string_view text) {
  static const char k_hex_digits[] = "0123456789abcdef";
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      result += c;
    } else if (c == '\n') {
      result += "\\n";
    } else if (c == '\r') {
      result += "\\r";
    } else if (c == '\t') {
      result += "\\t";
    } else {
      result += "\\x";
      result += k_hex_digits[byte >> 4];
      result += k_hex_digits[byte & 0x0f];
    }
  }
  return result;
}

namespace {

void report(std::string_view message) {
  // The library's filesystem_error text starts with a label of its own; the program's name says enough.
  constexpr std::string_view k_label = "filesystem error: ";
  if (message.substr(0, k_label.size()) == k_label) {
    message.remove_prefix(k_label.size());
  }
  const std::string line = "treeinv: " + printable(message) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

} // namespace

int run() {
  try {
    take_inventory();
    return 0;
  } catch (const std::exception& error) {
    report(error.what());
  } catch (...) {
    report("unknown error");
  }
  return 1;
}

} // namespace treeinv
