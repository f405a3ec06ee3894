// The pin operations against a sysfs-like tree of real files in a scoped
// temporary directory, laid out as the kernel leaves it after an export.

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "gpio/gpio.hpp"
#include "support.hpp"

namespace {

using testing_support::record;
using testing_support::StdoutCapture;
using testing_support::TempDir;
using testing_support::WriteLog;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class PinOperations : public testing_support::NoDescriptorLeft {
 protected:
  PinOperations() {
    tree.write("export", "");
    for (const char* pin : {"25", "24", "17", "27"}) {
      makePin(pin);
    }
  }

  void makePin(const std::string& pin) const {
    tree.makeDir("gpio" + pin);
    tree.write("gpio" + pin + "/direction", "in\n");
    tree.write("gpio" + pin + "/value", "0\n");
  }

  // Makes an attribute refuse every write, as a kernel can: /dev/full fails
  // each write with ENOSPC.
  void refuseWrites(const std::string& relative) const {
    std::filesystem::remove(tree.path(relative));
    std::filesystem::create_symlink("/dev/full", tree.path(relative));
  }

  std::string root() const { return tree.prefix(); }

  // Whatever a test did, no descriptor is left open, and: the kernel parses
  // each write to an attribute on its own, so every record must go out whole
  // in one write, and every message must reach its reader as one whole line.
  void TearDown() override {
    NoDescriptorLeft::TearDown();
    for (const auto& call : writes.calls()) {
      SCOPED_TRACE(call.path + ": '" + call.bytes + "'");
      if (call.path == "stdout") {
        EXPECT_EQ(call.bytes.find('\n'), call.bytes.size() - 1);
      } else if (call.path.rfind(tree.root().string(), 0) == 0) {
        EXPECT_EQ(call.bytes.size(), 8U);
      }
    }
  }

  TempDir tree;
  WriteLog writes;
};

TEST_F(PinOperations, ExportWritesPinThenDirectionAsRecordsAfterHalfASecond) {
  StdoutCapture out;
  EXPECT_TRUE(gpio::exportGPIO("25", "out", root().c_str()));
  EXPECT_EQ(tree.read("export"), std::string("25\0\0\0\0\0\0", 8));
  EXPECT_EQ(tree.read("gpio25/direction"), std::string("out\0\0\0\0\0", 8));
  // The kernel and udev get half a second between the export and the
  // direction write: no less, and not a quarter of a second more.
  const auto exported = writes.to("/export");
  const auto directed = writes.to("/gpio25/direction");
  ASSERT_EQ(exported.size(), 1U);
  ASSERT_EQ(directed.size(), 1U);
  EXPECT_GE(directed[0].at - exported[0].at, 500ms);
  EXPECT_LT(directed[0].at - exported[0].at, 750ms);

  EXPECT_TRUE(gpio::exportGPIO("17", "in", root().c_str()));
  EXPECT_EQ(tree.read("export"), record("17"));
  EXPECT_EQ(tree.read("gpio17/direction"), record("in"));
  EXPECT_EQ(out.text(), "");
}

TEST_F(PinOperations, ExportFailsWithTheOperationsOwnMessages) {
  struct Case {
    const char* name;
    const char* direction;
    const char* message;
  };
  // An unknown word leaves the pin exported and skips the wait.
  for (const Case c :
       {Case{"capitals", "OUT", "Dat woord ken ik niet...\n"}, Case{"empty", "", "Dat woord ken ik niet...\n"},
        Case{"none", nullptr, "Dat woord ken ik niet...\n"}}) {
    SCOPED_TRACE(c.name);
    tree.write("export", "");
    StdoutCapture out;
    const auto start = Clock::now();
    EXPECT_FALSE(gpio::exportGPIO("24", c.direction, root().c_str()));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(out.text(), c.message);
    EXPECT_EQ(tree.read("export"), record("24"));
    EXPECT_EQ(tree.read("gpio24/direction"), "in\n");
  }
}

TEST_F(PinOperations, ExportWithoutExportAttributeTouchesNothingElse) {
  std::filesystem::remove(tree.path("export"));
  StdoutCapture out;
  EXPECT_FALSE(gpio::exportGPIO("25", "out", root().c_str()));
  EXPECT_EQ(out.text(), "Export is niet gelukt!!\n");
  EXPECT_FALSE(tree.exists("export"));
  EXPECT_EQ(tree.read("gpio25/direction"), "in\n");
}

TEST_F(PinOperations, ExportOfAPinWhoseDirectoryNeverAppearsFailsSilently) {
  std::filesystem::remove_all(tree.path("gpio27"));
  StdoutCapture out;
  EXPECT_FALSE(gpio::exportGPIO("27", "in", root().c_str()));
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(tree.read("export"), record("27"));
}

TEST_F(PinOperations, ExportFailsWhenTheDirectionCannotBeWritten) {
  // A direction attribute that cannot be opened for writing, and one whose
  // write the kernel refuses: both are failures with the same message.
  std::filesystem::remove(tree.path("gpio25/direction"));
  tree.makeDir("gpio25/direction");
  refuseWrites("gpio24/direction");

  for (const char* pin : {"25", "24"}) {
    SCOPED_TRACE(pin);
    StdoutCapture out;
    EXPECT_FALSE(gpio::exportGPIO(pin, "out", root().c_str()));
    EXPECT_EQ(out.text(), "Direction is niet gelukt!!\n");
  }
}

TEST_F(PinOperations, ExportStillSucceedsWhenTheKernelRefusesTheExportItself) {
  // The kernel answers EBUSY for a pin that an earlier run left exported.
  refuseWrites("export");
  StdoutCapture out;
  EXPECT_TRUE(gpio::exportGPIO("17", "in", root().c_str()));
  EXPECT_EQ(tree.read("gpio17/direction"), record("in"));
  EXPECT_EQ(out.text(), "");
}

TEST_F(PinOperations, WriteSetsTheLevelAsARecord) {
  StdoutCapture out;
  EXPECT_TRUE(gpio::writeGPIO("25", "1", root().c_str()));
  EXPECT_EQ(tree.read("gpio25/value"), std::string("1\0\0\0\0\0\0\0", 8));
  EXPECT_TRUE(gpio::writeGPIO("25", "0", root().c_str()));
  EXPECT_EQ(tree.read("gpio25/value"), record("0"));
  EXPECT_EQ(out.text(), "");
}

TEST_F(PinOperations, WriteThatTheFileSystemCutsShortIsRefused) {
  // A file-size limit of 4 bytes lets only half of the record through; the
  // write comes back short instead of raising SIGXFSZ.
  struct SizeLimit {
    rlimit saved{};
    SizeLimit() {
      ::getrlimit(RLIMIT_FSIZE, &saved);
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit tight{4, saved.rlim_max};
      ::setrlimit(RLIMIT_FSIZE, &tight);
    }
    ~SizeLimit() {
      ::setrlimit(RLIMIT_FSIZE, &saved);
      std::signal(SIGXFSZ, SIG_DFL);
    }
  };
  bool written = true;
  {
    const SizeLimit limit;
    written = gpio::writeGPIO("25", "1", root().c_str());
  }
  EXPECT_FALSE(written);
  EXPECT_EQ(tree.read("gpio25/value"), std::string("1\0\0\0", 4));
  const auto messages = writes.to("stdout");
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0].bytes, "Value is niet gelukt!!\n");
}

TEST_F(PinOperations, WriteRejectsLevelsOtherThanZeroAndOne) {
  for (const char* value : {"2", "10", "", "high"}) {
    SCOPED_TRACE(value);
    StdoutCapture out;
    EXPECT_FALSE(gpio::writeGPIO("25", value, root().c_str()));
    EXPECT_EQ(out.text(), "Het is 1 of 0....\n");
    EXPECT_EQ(tree.read("gpio25/value"), "0\n");
  }
}

TEST_F(PinOperations, WriteToAPinThatIsNotExportedFailsSilentlyWhateverTheValue) {
  std::filesystem::remove_all(tree.path("gpio24"));
  StdoutCapture out;
  EXPECT_FALSE(gpio::writeGPIO("24", "1", root().c_str()));
  EXPECT_FALSE(gpio::writeGPIO("24", "2", root().c_str()));
  EXPECT_EQ(out.text(), "");
}

TEST_F(PinOperations, WriteFailsWhenTheValueCannotBeWritten) {
  std::filesystem::remove(tree.path("gpio25/value"));
  refuseWrites("gpio24/value");
  for (const char* pin : {"25", "24"}) {
    SCOPED_TRACE(pin);
    StdoutCapture out;
    EXPECT_FALSE(gpio::writeGPIO(pin, "1", root().c_str()));
    EXPECT_EQ(out.text(), "Value is niet gelukt!!\n");
  }
  // The program never creates attribute files.
  EXPECT_FALSE(tree.exists("gpio25/value"));
}

TEST_F(PinOperations, ReadTakesOnlyALeadingZeroAsInactive) {
  struct Case {
    const char* content;
    bool active;
  };
  for (const Case c : {Case{"0\n", false}, Case{"0", false}, Case{"0junk\n", false}, Case{"1\n", true},
                       Case{" 0\n", true}, Case{"", true}, Case{"\n0\n", true}}) {
    SCOPED_TRACE(c.content);
    tree.write("gpio27/value", c.content);
    StdoutCapture out;
    EXPECT_EQ(gpio::readGPIOAsync("27", root().c_str()), c.active);
    EXPECT_EQ(out.text(), "");
  }
}

TEST_F(PinOperations, ReadOfAMissingValueReportsActiveAfterTheMessage) {
  std::filesystem::remove(tree.path("gpio17/value"));
  StdoutCapture out;
  EXPECT_TRUE(gpio::readGPIOAsync("17", root().c_str()));
  EXPECT_EQ(out.text(), "Kan bestand niet vinden of foutieve argumenten\n");
}

TEST_F(PinOperations, PinTextsThatNameNoPinTouchNoFile) {
  // Planted where a path-escaping pin text would lead.
  tree.makeDir("gpio../x");
  tree.write("gpio../x/direction", "in\n");
  tree.write("gpio../x/value", "0\n");
  for (const char* pin : std::initializer_list<const char*>{"../x", "123456789", "", "2a", nullptr}) {
    SCOPED_TRACE(pin == nullptr ? "(none)" : pin);
    StdoutCapture out;
    EXPECT_FALSE(gpio::exportGPIO(pin, "out", root().c_str()));
    EXPECT_FALSE(gpio::writeGPIO(pin, "1", root().c_str()));
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(gpio::readGPIOAsync(pin, root().c_str()));
    EXPECT_EQ(out.text(), "Kan bestand niet vinden of foutieve argumenten\n");
  }
  EXPECT_EQ(tree.read("export"), "");
  EXPECT_EQ(tree.read("gpio../x/direction"), "in\n");
  EXPECT_EQ(tree.read("gpio../x/value"), "0\n");

  // Eight digits still fit a record.
  makePin("12345678");
  EXPECT_TRUE(gpio::writeGPIO("12345678", "1", root().c_str()));
  EXPECT_EQ(tree.read("gpio12345678/value"), record("1"));
}

TEST_F(PinOperations, PathsLongerThanTheBufferAreNeverOpened) {
  // A root of 84 characters leaves room for ".../gpio25/value" (96) but not
  // for ".../gpio25/direction" (100).
  ASSERT_LT(tree.prefix().size(), 80U);
  const std::string deep = std::string(83 - tree.prefix().size(), 'd');
  tree.makeDir(deep + "/gpio25");
  tree.write(deep + "/export", "");
  tree.write(deep + "/gpio25/direction", "in\n");
  tree.write(deep + "/gpio25/value", "0\n");
  const std::string deepRoot = tree.prefix() + deep + "/";
  ASSERT_EQ(deepRoot.size(), 84U);

  StdoutCapture out;
  EXPECT_FALSE(gpio::exportGPIO("25", "out", deepRoot.c_str()));
  EXPECT_EQ(tree.read(deep + "/export"), "");
  EXPECT_TRUE(gpio::writeGPIO("25", "1", deepRoot.c_str()));
  EXPECT_EQ(tree.read(deep + "/gpio25/value"), record("1"));
  EXPECT_EQ(out.text(), "");
}

}  // namespace
