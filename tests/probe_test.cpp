// The file probes on real files in a scoped temporary directory.

#include <array>
#include <string>

#include <gtest/gtest.h>

#include "gpio/gpio.hpp"
#include "support.hpp"

namespace {

using testing_support::StdoutCapture;
using testing_support::TempDir;

constexpr const char* kReadFailed = "Kan bestand niet vinden of foutieve argumenten\n";

// Every test ends with as many descriptors open as it began with.
class CheckFile : public testing_support::NoDescriptorLeft {};
class ReadFile : public testing_support::NoDescriptorLeft {};

template <std::size_t N>
std::string bytesOf(const std::array<char, N>& buffer) {
  return {buffer.data(), buffer.size()};
}

TEST_F(CheckFile, ReportsPresenceOfFilesAndDirectoriesSilently) {
  TempDir dir;
  dir.makeDir("gpio25");
  dir.write("value", "1\n");

  StdoutCapture out;
  EXPECT_TRUE(gpio::checkFile(dir.path("gpio25").c_str()));
  EXPECT_TRUE(gpio::checkFile(dir.path("value").c_str()));
  EXPECT_FALSE(gpio::checkFile(dir.path("gpio24").c_str()));
  EXPECT_FALSE(gpio::checkFile(dir.path("value/below-a-file").c_str()));
  EXPECT_FALSE(gpio::checkFile(nullptr));
  EXPECT_EQ(out.text(), "");
}

TEST_F(ReadFile, ReadsTheFirstLineWithItsNewlineIntoAZeroedBuffer) {
  TempDir dir;
  dir.write("value", "1\n");
  std::array<char, 10> buffer{};

  StdoutCapture out;
  gpio::readFile(dir.path("value").c_str(), buffer.data(), 10);
  EXPECT_EQ(bytesOf(buffer), std::string("1\n\0\0\0\0\0\0\0\0", 10));
  EXPECT_EQ(out.text(), "");
}

TEST_F(ReadFile, LeavesBytesPastTheFirstLineAsTheyWere) {
  TempDir dir;
  dir.write("lines", "ab\ncdefgh\n");
  std::array<char, 10> buffer{};
  buffer.fill('X');

  gpio::readFile(dir.path("lines").c_str(), buffer.data(), 10);
  // Like fgets: "ab\n", a terminating zero, the rest untouched but for the last byte.
  EXPECT_EQ(bytesOf(buffer), std::string("ab\n\0XXXXX\0", 10));
}

TEST_F(ReadFile, KeepsOnlySizeMinusOneCharactersOfALongLine) {
  TempDir dir;
  dir.write("long", "0123456789abcdef\n");
  std::array<char, 10> buffer{};
  buffer.fill('X');

  gpio::readFile(dir.path("long").c_str(), buffer.data(), 10);
  EXPECT_EQ(bytesOf(buffer), std::string("012345678\0", 10));
}

TEST_F(ReadFile, ReadsLinesLongerThanOneReadChunkAndLinesWithoutNewline) {
  TempDir dir;
  const std::string line(150, 'a');
  dir.write("long", line + "\nnext\n");
  dir.write("bare", "1");
  std::array<char, 200> big{};
  big.fill('X');
  std::array<char, 10> small{};
  small.fill('X');

  gpio::readFile(dir.path("long").c_str(), big.data(), 200);
  EXPECT_EQ(std::string(big.data()), line + "\n");
  EXPECT_EQ(big[152], 'X');
  EXPECT_EQ(big[199], '\0');

  gpio::readFile(dir.path("bare").c_str(), small.data(), 10);
  EXPECT_EQ(bytesOf(small), std::string("1\0XXXXXXX\0", 10));
}

TEST_F(ReadFile, EmptyFileClearsOnlyTheLastByte) {
  TempDir dir;
  dir.write("empty", "");
  std::array<char, 10> buffer{};
  buffer.fill('X');

  StdoutCapture out;
  gpio::readFile(dir.path("empty").c_str(), buffer.data(), 10);
  EXPECT_EQ(bytesOf(buffer), std::string("XXXXXXXXX\0", 10));
  EXPECT_EQ(out.text(), "");
}

TEST_F(ReadFile, BadArgumentsOrMissingFilePrintTheMessageAndLeaveTheBuffer) {
  TempDir dir;
  dir.write("value", "1\n");
  const std::string present = dir.path("value");
  std::array<char, 10> buffer{};
  buffer.fill('X');
  const std::string before = bytesOf(buffer);

  struct Case {
    const char* name;
    const char* path;
    char* buffer;
    std::int32_t size;
  };
  const std::string missing = dir.path("missing");
  // Opens, but every read fails (EISDIR), as a pin's value does when the
  // pin is unexported between the open and the read (ENODEV).
  dir.makeDir("unreadable");
  const std::string unreadable = dir.path("unreadable");
  const Case cases[] = {
      {"missing file", missing.c_str(), buffer.data(), 10},  {"read fails", unreadable.c_str(), buffer.data(), 10},
      {"size 1", present.c_str(), buffer.data(), 1},         {"size 0", present.c_str(), buffer.data(), 0},
      {"negative size", present.c_str(), buffer.data(), -5}, {"no path", nullptr, buffer.data(), 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StdoutCapture out;
    gpio::readFile(c.path, c.buffer, c.size);
    EXPECT_EQ(out.text(), kReadFailed);
    EXPECT_EQ(bytesOf(buffer), before);
  }

  StdoutCapture out;
  gpio::readFile(present.c_str(), nullptr, 10);
  EXPECT_EQ(out.text(), kReadFailed);
}

}  // namespace
