// The write(2) interposer behind WriteLog: the unit tests are linked with
// -Wl,--wrap=write, so every write() call in the GPIO library and the tests
// comes here first.

#include <array>
#include <cerrno>
#include <mutex>
#include <string>

#include <unistd.h>

#include "support.hpp"

extern "C" ssize_t __real_write(int fd, const void* data, size_t size);  // NOLINT
extern "C" ssize_t __wrap_write(int fd, const void* data, size_t size);  // NOLINT

namespace testing_support {

namespace {

std::mutex logMutex;
std::vector<WriteCall>* activeLog = nullptr;

std::string pathOf(int fd) {
  if (fd == STDOUT_FILENO) {
    return "stdout";
  }
  std::array<char, 4096> target{};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size() - 1);
  return length > 0 ? std::string(target.data(), static_cast<std::size_t>(length)) : link;
}

}  // namespace

WriteLog::WriteLog() {
  const std::lock_guard lock(logMutex);
  activeLog = new std::vector<WriteCall>();
}

WriteLog::~WriteLog() {
  const std::lock_guard lock(logMutex);
  delete activeLog;
  activeLog = nullptr;
}

std::vector<WriteCall> WriteLog::calls() const {
  const std::lock_guard lock(logMutex);
  return *activeLog;
}

std::vector<WriteCall> WriteLog::to(std::string_view suffix) const {
  std::vector<WriteCall> matching;
  for (WriteCall& call : calls()) {
    if (call.path.size() >= suffix.size() &&
        call.path.compare(call.path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      matching.push_back(std::move(call));
    }
  }
  return matching;
}

}  // namespace testing_support

extern "C" ssize_t __wrap_write(int fd, const void* data, size_t size) {  // NOLINT
  using namespace testing_support;
  const auto at = std::chrono::steady_clock::now();
  const ssize_t result = __real_write(fd, data, size);
  const int saved = errno;
  {
    const std::lock_guard lock(logMutex);
    if (activeLog != nullptr && !writingFixture) {
      activeLog->push_back({pathOf(fd), std::string(static_cast<const char*>(data), size), result, at});
    }
  }
  errno = saved;
  return result;
}
