// The file probes: a presence check and a bounded read of a file's first line.

#include <algorithm>
#include <array>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "gpio/gpio.hpp"
#include "gpio/sys.hpp"

namespace gpio {

namespace {
constexpr std::string_view kReadFailed = "Kan bestand niet vinden of foutieve argumenten";
}  // namespace

bool checkFile(const char* path) {
  if (path == nullptr) {
    return false;
  }
  const int fd = sys::openFile(path, O_RDONLY);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
}

void readFile(const char* path, char* buffer, std::int32_t size) {
  if (path == nullptr || buffer == nullptr || size <= 1) {
    sys::printLine(kReadFailed);
    return;
  }
  const int fd = sys::openFile(path, O_RDONLY);
  if (fd < 0) {
    sys::printLine(kReadFailed);
    return;
  }

  // Read as fgets(3) does: at most size - 1 characters, up to and including
  // the first newline. The data comes through a scratch chunk so that bytes
  // after the newline never land in the caller's buffer. A sysfs attribute
  // hands over its whole value in the first read, so a poll costs one read.
  const auto limit = static_cast<std::size_t>(size) - 1;
  // Filled by read(2) before any byte of it is used: clearing it on every
  // poll would be wasted work.
  std::array<char, 64> chunk;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  std::size_t count = 0;
  bool sawNewline = false;
  while (count < limit && !sawNewline) {
    const ssize_t got = sys::readOnce(fd, chunk.data(), std::min(limit - count, chunk.size()));
    if (got < 0 && count == 0) {
      // Unreadable before any byte arrived (a directory, or a pin
      // unexported between the open and the read): a failure like a failed
      // open, and the buffer stays as it was.
      ::close(fd);
      sys::printLine(kReadFailed);
      return;
    }
    if (got <= 0) {
      break;  // end of file, or a read error after some bytes: keep them
    }
    const char* const begin = chunk.data();
    const auto* const end = begin + got;
    const auto* const newline = std::find(begin, end, '\n');
    sawNewline = newline != end;
    const auto taken = static_cast<std::size_t>((sawNewline ? newline + 1 : end) - begin);
    std::memcpy(buffer + count, begin, taken);
    count += taken;
  }
  if (count > 0) {
    buffer[count] = '\0';
  }
  buffer[limit] = '\0';
  ::close(fd);
}

}  // namespace gpio
