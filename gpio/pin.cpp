// The pin operations over the sysfs GPIO interface: export with direction,
// value write and value read.

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "gpio/gpio.hpp"
#include "gpio/sys.hpp"

namespace gpio {

namespace {

constexpr std::string_view kExportFailed = "Export is niet gelukt!!";
constexpr std::string_view kUnknownDirection = "Dat woord ken ik niet...";
constexpr std::string_view kDirectionFailed = "Direction is niet gelukt!!";
constexpr std::string_view kNotALevel = "Het is 1 of 0....";
constexpr std::string_view kValueFailed = "Value is niet gelukt!!";

// How long the kernel gets after an export before the direction is written.
constexpr auto kExportSettleTime = std::chrono::microseconds(500000);

using PathBuffer = std::array<char, kPathSize>;

// Joins the parts into a zero-filled path buffer; nothing when the result
// would not fit with its terminating zero byte.
std::optional<PathBuffer> formPath(std::initializer_list<std::string_view> parts) {
  PathBuffer path{};
  std::size_t length = 0;
  for (const std::string_view part : parts) {
    if (part.size() > path.size() - 1 - length) {
      return std::nullopt;
    }
    part.copy(path.data() + length, part.size());
    length += part.size();
  }
  return path;
}

// A pin text names a pin only when it is 1 to kRecordSize decimal digits:
// it must fit an attribute record, and it must not be able to lead a path
// out of the GPIO tree.
bool isPinText(const char* pin) {
  if (pin == nullptr) {
    return false;
  }
  const std::size_t length = ::strnlen(pin, kRecordSize + 1);
  return length >= 1 && length <= kRecordSize &&
         std::all_of(pin, pin + length, [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// The pin's directory with `suffix` appended ("/value", say; nothing for the
// directory itself); nothing when the pin text names no pin or the path
// would not fit.
std::optional<PathBuffer> pinPath(const char* root, const char* pin, std::string_view suffix = {}) {
  if (!isPinText(pin)) {
    return std::nullopt;
  }
  return formPath({root, "gpio", pin, suffix});
}

// A text argument as a view; a missing text matches nothing.
std::string_view textOf(const char* text) { return text == nullptr ? std::string_view{} : std::string_view{text}; }

enum class RecordWrite { notOpened, refused, written };

// Writes `text` to an attribute as one record: the text, then zero bytes up
// to kRecordSize, in a single write(2). The kernel parses a sysfs write as a
// whole, so the record must not be split. A failed or short write, or a close
// that reports an error, counts as refused.
RecordWrite writeRecord(const char* path, std::string_view text) {
  std::array<char, kRecordSize> record{};
  if (text.size() > record.size()) {
    return RecordWrite::refused;
  }
  text.copy(record.data(), text.size());

  const int fd = sys::openFile(path, O_WRONLY | O_TRUNC);
  if (fd < 0) {
    return RecordWrite::notOpened;
  }
  const ssize_t written = sys::writeOnce(fd, record.data(), record.size());
  const bool closed = ::close(fd) == 0;
  const bool complete = written == static_cast<ssize_t>(record.size());
  return complete && closed ? RecordWrite::written : RecordWrite::refused;
}

}  // namespace

bool exportGPIO(const char* pin, const char* direction, const char* root) {
  const auto exportPath = formPath({root, "export"});
  const auto pinDirectory = pinPath(root, pin);
  const auto directionPath = pinPath(root, pin, "/direction");
  if (!exportPath || !pinDirectory || !directionPath) {
    return false;
  }

  // The outcome of the export write itself is not examined: the kernel
  // refuses to export a pin twice (EBUSY), and a pin left exported by an
  // earlier run is fine. Whether the pin directory is there is the real test.
  if (writeRecord(exportPath->data(), pin) == RecordWrite::notOpened) {
    sys::printLine(kExportFailed);
    return false;
  }
  if (!checkFile(pinDirectory->data())) {
    return false;
  }

  const std::string_view wanted = textOf(direction);
  if (wanted != "out" && wanted != "in") {
    sys::printLine(kUnknownDirection);
    return false;
  }

  // Give the kernel and udev time to set up the new pin's attributes.
  std::this_thread::sleep_for(kExportSettleTime);

  if (writeRecord(directionPath->data(), wanted) != RecordWrite::written) {
    sys::printLine(kDirectionFailed);
    return false;
  }
  return true;
}

bool writeGPIO(const char* pin, const char* value, const char* root) {
  const auto pinDirectory = pinPath(root, pin);
  const auto valuePath = pinPath(root, pin, "/value");
  if (!pinDirectory || !valuePath || !checkFile(pinDirectory->data())) {
    return false;
  }

  const std::string_view level = textOf(value);
  if (level != "0" && level != "1") {
    sys::printLine(kNotALevel);
    return false;
  }
  if (writeRecord(valuePath->data(), level) != RecordWrite::written) {
    sys::printLine(kValueFailed);
    return false;
  }
  return true;
}

bool readGPIOAsync(const char* pin, const char* root) {
  const auto valuePath = pinPath(root, pin, "/value");

  // A value that cannot be read leaves the buffer all zero, which reads as
  // active: readFile has said why.
  std::array<char, kValueBufferSize> level{};
  readFile(valuePath ? valuePath->data() : nullptr, level.data(), static_cast<std::int32_t>(level.size()));
  return level[0] != '0';
}

}  // namespace gpio
