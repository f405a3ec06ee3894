#include "support.hpp"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace testing_support {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTreePrefix = "gpio-cycle-test-";

// Removes the trees of test processes that are gone: a test killed on its
// timeout gets no chance to remove its own. Each tree's name carries the
// process that made it.
void removeOrphanedTrees() {
  std::error_code error;
  for (fs::directory_iterator it(fs::temp_directory_path(), error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(kTreePrefix, 0) != 0) {
      continue;
    }
    const long owner = std::strtol(name.c_str() + kTreePrefix.size(), nullptr, 10);
    if (owner > 0 && ::kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }
}

}  // namespace

TempDir::TempDir() {
  static const bool swept = (removeOrphanedTrees(), true);
  (void)swept;
  std::string pattern =
      (fs::temp_directory_path() / (std::string(kTreePrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  root_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void TempDir::makeDir(std::string_view relative) const { fs::create_directories(root_ / relative); }

void TempDir::write(std::string_view relative, std::string_view bytes) const {
  writingFixture = true;
  std::ofstream out(root_ / relative, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const bool written = static_cast<bool>(out.flush());
  writingFixture = false;
  if (!written) {
    throw std::runtime_error("cannot write " + path(relative));
  }
}

void TempDir::replace(std::string_view relative, std::string_view bytes) const {
  const std::string staging = std::string(relative) + ".new";
  write(staging, bytes);
  fs::rename(root_ / staging, root_ / relative);
}

std::string TempDir::read(std::string_view relative) const {
  std::ifstream in(root_ / relative, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path(relative));
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool TempDir::exists(std::string_view relative) const {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(root_ / relative, ignored));
}

StdoutCapture::StdoutCapture() {
  char name[] = "/tmp/gpio-cycle-stdout-XXXXXX";
  file_ = ::mkstemp(name);
  if (file_ < 0) {
    throw std::system_error(errno, std::generic_category(), "mkstemp");
  }
  ::unlink(name);
  std::fflush(stdout);
  saved_ = ::dup(STDOUT_FILENO);
  ::dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  std::fflush(stdout);
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
  ::close(file_);
}

std::string StdoutCapture::text() const {
  std::string bytes;
  char chunk[256];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(file_, chunk, sizeof chunk, offset);
    if (got <= 0) {
      return bytes;
    }
    bytes.append(chunk, static_cast<std::size_t>(got));
    offset += got;
  }
}

int openDescriptors(const std::string& process) {
  std::error_code error;
  int count = 0;
  for (fs::directory_iterator it("/proc/" + process + "/fd", error), end; !error && it != end; it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

}  // namespace testing_support
