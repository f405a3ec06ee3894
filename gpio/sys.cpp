#include "gpio/sys.hpp"

#include <array>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace gpio::sys {

int openFile(const char* path, int flags) {
  int fd = -1;
  do {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): open(2) is variadic
    fd = ::open(path, flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t readOnce(int fd, void* data, std::size_t size) {
  ssize_t result = -1;
  do {
    result = ::read(fd, data, size);
  } while (result < 0 && errno == EINTR);
  return result;
}

ssize_t writeOnce(int fd, const void* data, std::size_t size) {
  ssize_t result = -1;
  do {
    result = ::write(fd, data, size);
  } while (result < 0 && errno == EINTR);
  return result;
}

void printLine(std::string_view text) {
  // Text and newline go out together, so that a reader never sees half a line.
  std::array<char, 128> line{};
  const std::string_view shown = text.substr(0, line.size() - 1);
  shown.copy(line.data(), shown.size());
  line.at(shown.size()) = '\n';

  std::size_t sent = 0;
  const std::size_t length = shown.size() + 1;
  while (sent < length) {
    const ssize_t written = writeOnce(STDOUT_FILENO, line.data() + sent, length - sent);
    if (written <= 0) {
      return;
    }
    sent += static_cast<std::size_t>(written);
  }
}

}  // namespace gpio::sys
