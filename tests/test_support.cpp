#include "test_support.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace treeinv::test {
namespace {

std::runtime_error system_failure(const std::string &what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void force_remove(const std::string &path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return;
  }
  if (!S_ISDIR(info.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  // Tests take permissions away; give them back so the tree can be removed without privileges.
  ::chmod(path.c_str(), 0700);
  for (const std::string &name : enumeration_order(path)) {
    force_remove(path + "/" + name);
  }
  ::rmdir(path.c_str());
}

} // namespace

TempDir::TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/treeinv-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw system_failure("mkdtemp");
  }
  // mkdtemp leaves a symlinked TMPDIR unresolved; the program sees the resolved path.
  char resolved[PATH_MAX];
  if (::realpath(pattern.c_str(), resolved) == nullptr) {
    throw system_failure("realpath");
  }
  m_path = resolved;
  ::chmod(m_path.c_str(), 0777);
}

TempDir::~TempDir() {
  force_remove(m_path);
}

ScopedChdir::ScopedChdir(const std::string &path) {
  char previous[PATH_MAX];
  if (::getcwd(previous, sizeof previous) == nullptr || ::chdir(path.c_str()) != 0) {
    throw system_failure("chdir " + path);
  }
  m_previous = previous;
}

ScopedChdir::~ScopedChdir() {
  if (::chdir(m_previous.c_str()) != 0) {
    std::perror("chdir back");
  }
}

std::string reference_sha256(const std::string &data) {
  static const std::array<std::uint32_t, 64> k = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };

  std::string message = data;
  const std::uint64_t bit_length = static_cast<std::uint64_t>(data.size()) * 8;
  message += '\x80';
  while (message.size() % 64 != 56) {
    message += '\0';
  }
  for (int shift = 56; shift >= 0; shift -= 8) {
    message += static_cast<char>((bit_length >> shift) & 0xff);
  }

  for (std::size_t block = 0; block < message.size(); block += 64) {
    std::array<std::uint32_t, 64> w{};
    for (int i = 0; i < 16; ++i) {
      for (int j = 0; j < 4; ++j) {
        w[i] = (w[i] << 8) | static_cast<unsigned char>(message[block + 4 * i + j]);
      }
    }
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::array<std::uint32_t, 8> v = h;
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
      const std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
      const std::uint32_t t1 = v[7] + s1 + choice + k[i] + w[i];
      const std::uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
      const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
      const std::uint32_t t2 = s0 + majority;
      v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
    }
    for (int i = 0; i < 8; ++i) {
      h[i] += v[i];
    }
  }

  std::string hex;
  char digits[9];
  for (const std::uint32_t word : h) {
    std::snprintf(digits, sizeof digits, "%08x", word);
    hex += digits;
  }
  return hex;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw system_failure("read " + path);
  }
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void write_file(const std::string &path, const std::string &contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out.flush()) {
    throw system_failure("write " + path);
  }
}

void make_dir(const std::string &path) {
  if (::mkdir(path.c_str(), 0755) != 0) {
    throw system_failure("mkdir " + path);
  }
}

void make_symlink(const std::string &target, const std::string &link) {
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    throw system_failure("symlink " + link);
  }
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char &byte : bytes) {
    byte = static_cast<char>(generator() & 0xff);
  }
  return bytes;
}

bool dropping_privileges() {
  return ::geteuid() == 0;
}

namespace {

[[noreturn]] void child_fail(const char *what) {
  const std::string text = std::string("test child: ") + what + ": " + std::strerror(errno) + "\n";
  [[maybe_unused]] const ssize_t ignored = ::write(2, text.data(), text.size());
  ::_exit(127);
}

[[noreturn]] void exec_child(const std::string &directory, const RunOptions &options, int out_fd, int err_fd) {
  if (::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0) {
    child_fail("dup2");
  }
  if (::chdir(directory.c_str()) != 0) {
    child_fail("chdir");
  }
  if (options.remove_directory_first && ::rmdir(directory.c_str()) != 0) {
    child_fail("rmdir");
  }
  if (options.file_size_limit != 0) {
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      child_fail("setrlimit");
    }
    // Ignored, the signal turns into an EFBIG write error, as a full disk turns into ENOSPC.
    ::signal(SIGXFSZ, SIG_IGN);
  }
  if (options.user == User::unprivileged && dropping_privileges()) {
    constexpr uid_t k_nobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(k_nobody, k_nobody, k_nobody) != 0 ||
        ::setresuid(k_nobody, k_nobody, k_nobody) != 0) {
      child_fail("dropping privileges");
    }
  }
  std::vector<char *> argv;
  std::string program = TREEINV_EXE;
  argv.push_back(program.data());
  std::vector<std::string> arguments = options.arguments;
  for (std::string &argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  child_fail("exec " TREEINV_EXE);
}

} // namespace

RunResult run_treeinv(const std::string &directory, const RunOptions &options) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw system_failure("pipe");
  }
  const pid_t child = ::fork();
  if (child < 0) {
    throw system_failure("fork");
  }
  if (child == 0) {
    exec_child(directory, options, out_pipe[1], err_pipe[1]);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::array<pollfd, 2> fds = {pollfd{out_pipe[0], POLLIN, 0}, pollfd{err_pipe[0], POLLIN, 0}};
  std::array<std::string *, 2> sinks = {&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(child, SIGKILL);
      break;
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
      throw system_failure("poll");
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(count));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (const pollfd &fd : fds) {
    if (fd.fd >= 0) {
      ::close(fd.fd);
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  }
  return result;
}

std::vector<std::string> enumeration_order(const std::string &directory) {
  std::vector<std::string> names;
  DIR *dir = ::opendir(directory.c_str());
  if (dir == nullptr) {
    throw system_failure("opendir " + directory);
  }
  while (const dirent *entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  ::closedir(dir);
  return names;
}

namespace {

struct ModelState {
  std::string root;
  ino_t folders_inode = 0;
  ino_t patchlist_inode = 0;
  Lists lists;
};

void model_directory(ModelState &state, const std::string &relative) {
  const std::string directory = relative.empty() ? state.root : state.root + "/" + relative;
  for (const std::string &name : enumeration_order(directory)) {
    const std::string entry_relative = relative.empty() ? name : relative + "/" + name;
    const std::string full = state.root + "/" + entry_relative;
    struct stat followed {};
    const bool found = ::stat(full.c_str(), &followed) == 0;
    if (found && S_ISDIR(followed.st_mode)) {
      std::string line = entry_relative;
      for (char &c : line) {
        c = c == '/' ? '\\' : c;
      }
      state.lists.folders += line + "\\\r\n";
    } else {
      // A list, under its own name or through a link, holds the lines written before it is read.
      std::string digest;
      if (found && followed.st_ino == state.folders_inode) {
        digest = reference_sha256(state.lists.folders);
      } else if (found && followed.st_ino == state.patchlist_inode) {
        digest = reference_sha256(state.lists.patchlist);
      } else {
        digest = reference_sha256(read_file(full));
      }
      state.lists.patchlist += entry_relative + " " + digest + "\r\n";
    }
    struct stat own {};
    if (::lstat(full.c_str(), &own) == 0 && S_ISDIR(own.st_mode)) {
      model_directory(state, entry_relative);
    }
  }
}

} // namespace

Lists model_inventory(const std::string &directory) {
  ModelState state;
  state.root = directory;
  struct stat info {};
  if (::stat((directory + "/folders.txt").c_str(), &info) != 0) {
    throw system_failure("stat folders.txt");
  }
  state.folders_inode = info.st_ino;
  if (::stat((directory + "/patchlist.txt").c_str(), &info) != 0) {
    throw system_failure("stat patchlist.txt");
  }
  state.patchlist_inode = info.st_ino;
  model_directory(state, "");
  return state.lists;
}

} // namespace treeinv::test
