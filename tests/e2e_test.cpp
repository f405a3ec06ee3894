// End-to-end tests of the real, unmodified gpio-cycle binary, run against a
// fake sysfs GPIO tree in a private mount namespace (see fake_board.hpp).

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_board.hpp"
#include "support.hpp"

namespace {

using namespace std::chrono_literals;
using testing_support::Clock;
using testing_support::FakeBoard;
using testing_support::record;
using testing_support::Record;
using testing_support::sandboxUnavailableReason;
using testing_support::secondsBetween;
using testing_support::texts;
using testing_support::waitUntil;

constexpr const char* kBinary = GPIO_CYCLE_BINARY;

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = sandboxUnavailableReason();
    if (reason.empty()) {
      return;
    }
    if (std::getenv("CI") != nullptr) {
      FAIL() << reason;
    }
    GTEST_SKIP() << reason;
  }

  FakeBoard board;
};

// The phases' lengths: 1 s, 1 s, 2 s. The records arrive within
// milliseconds of the program's writes, and its sleeps overrun by as little
// on a busy machine, so a phase a quarter of a second too long or too short
// is wrong.
constexpr double kPhaseSeconds[] = {1.0, 1.0, 2.0};
constexpr double kPhaseTolerance = 0.2;

// The writes to one output from record `first` on, one per phase of back to
// back cycles: each of the next `phases` that came is one phase after the
// write before it.
void expectPhases(const std::vector<Record>& writes, std::size_t first, std::size_t phases) {
  for (std::size_t i = first; i < first + phases && i + 1 < writes.size(); ++i) {
    SCOPED_TRACE("output record " + std::to_string(i));
    EXPECT_NEAR(secondsBetween(writes[i].at, writes[i + 1].at), kPhaseSeconds[(i - first) % 3], kPhaseTolerance);
  }
}

// Checks that the output records hold `cycles` whole cycles, starting at
// record `first`: 25 high then 24 high for a second each, then both low for
// two seconds, the two outputs written together in every phase (in which
// order shows where they share one FIFO: see the terminated-mid-cycle test).
void expectCycles(const FakeBoard& board, std::size_t first, std::size_t cycles) {
  const auto pin25 = board.records("gpio25/value");
  const auto pin24 = board.records("gpio24/value");
  ASSERT_GE(pin25.size(), first + 3 * cycles);
  ASSERT_GE(pin24.size(), first + 3 * cycles);
  const char* levels25[] = {"1", "0", "0"};
  const char* levels24[] = {"0", "1", "0"};
  for (std::size_t i = first; i < first + 3 * cycles; ++i) {
    SCOPED_TRACE("output record " + std::to_string(i));
    const std::size_t phase = (i - first) % 3;
    EXPECT_EQ(pin25[i].bytes, record(levels25[phase]));
    EXPECT_EQ(pin24[i].bytes, record(levels24[phase]));
    EXPECT_LT(std::abs(secondsBetween(pin25[i].at, pin24[i].at)), 0.1);
  }
  // The phases up to the next cycle's first write, if one came.
  expectPhases(pin25, first, 3 * cycles);
}

// --- The tests -------------------------------------------------------------------

TEST_F(Program, WithoutGpioSupportItSaysSoAndExitsWithStatusTwoAtOnce) {
  ASSERT_EQ(board.start(kBinary, /*withGpio=*/false), "");
  ASSERT_TRUE(board.waitForExit(10s));
  EXPECT_EQ(board.exitStatus(), 2);
  EXPECT_EQ(board.output(), "Export is niet gelukt!!\n");
  // A full set-up takes at least 2 s of waits; this one never reached one.
  EXPECT_LT(board.secondsToExit(), 1.5);
}

TEST_F(Program, SetsUpInTableOrderThenOneBriefPressGivesExactlyOneCycleWithTheInputsUnread) {
  ASSERT_EQ(board.start(kBinary), "");
  ASSERT_TRUE(board.waitForSetUp());

  // Exports in table order, one 8-byte record each, at least half a second
  // apart (each export waits before it writes the direction).
  const auto exports = board.records("export");
  ASSERT_EQ(texts(exports), (std::vector{record("25"), record("24"), record("17"), record("27")}));
  for (std::size_t i = 1; i < exports.size(); ++i) {
    EXPECT_GT(secondsBetween(exports[i - 1].at, exports[i].at), 0.45);
  }
  EXPECT_EQ(board.tree().read("gpio25/direction"), record("out"));
  EXPECT_EQ(board.tree().read("gpio24/direction"), record("out"));
  EXPECT_EQ(board.tree().read("gpio17/direction"), record("in"));

  // Nothing is driven while both inputs are low. The poll never pauses:
  // polling alone keeps the program on a CPU, where a pause of even a
  // hundredth of a second per poll would leave it all but idle.
  const double cpu = board.cpuSeconds();
  EXPECT_FALSE(board.waitForRecords("gpio25/value", 1, 1s));
  EXPECT_EQ(board.count("gpio24/value"), 0U);
  EXPECT_TRUE(waitUntil([&] { return board.cpuSeconds() - cpu >= 0.25; }, 5s))
      << "CPU seconds while polling: " << board.cpuSeconds() - cpu;

  // A brief press: 50 ms, thousands of polls.
  board.setInput("17", "1");
  std::this_thread::sleep_for(50ms);
  board.setInput("17", "0");
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 1, 1s)) << "a 50 ms press gave no cycle";

  // While the cycle runs, both inputs go away (unexported: a read would
  // count as active and print a message), and come back low before it ends.
  // The inputs are not read during a cycle, so none of this shows.
  std::filesystem::remove(board.tree().path("gpio27/value"));
  std::filesystem::remove(board.tree().path("gpio17/value"));
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 3, 5s));
  board.setInput("27", "0");
  board.setInput("17", "0");
  ASSERT_TRUE(board.waitForRecords("gpio24/value", 3, 5s));
  expectCycles(board, 0, 1);

  // The cycle ends two seconds after its last writes; watched until 3.5 s
  // after them, no second one follows.
  const auto watchedUntil = board.records("gpio25/value").back().at + 3500ms;
  EXPECT_FALSE(waitUntil([&] { return board.count("gpio25/value") > 3; },
                         std::chrono::duration_cast<std::chrono::milliseconds>(watchedUntil - Clock::now())));
  EXPECT_EQ(board.count("gpio24/value"), 3U);
  EXPECT_EQ(board.output(), "");
  EXPECT_FALSE(board.exitStatus().has_value());
}

TEST_F(Program, HeldInputGivesBackToBackCyclesAndSeventeenIsReadOnlyWhenTwentySevenIsLow) {
  // Pin 27 is held from the start and pin 17's value attribute is missing:
  // reading 17 would print a message. As long as 27 reads active it must not
  // be read at all.
  std::filesystem::remove(board.tree().path("gpio17/value"));
  board.setInput("27", "1");
  ASSERT_EQ(board.start(kBinary), "");
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 4, 15s));
  EXPECT_EQ(board.output(), "");

  // Released during the second cycle: when it ends, 27 reads low, 17 is read,
  // cannot be found, counts as active, and the message arrives at once.
  board.setInput("27", "0");
  ASSERT_TRUE(waitUntil([&] { return !board.output().empty(); }, 8s));
  EXPECT_EQ(board.output(), "Kan bestand niet vinden of foutieve argumenten\n");
  // The third cycle follows the second without a gap as well.
  ASSERT_TRUE(board.waitForRecords("gpio24/value", 7, 8s));
  expectCycles(board, 0, 2);
}

TEST_F(Program, SetUpStopsAtTheFirstPinThatFailsAndLeavesTheRestUntouched) {
  // Pin 17's directory never appears after its export: no message, status 2.
  std::filesystem::remove_all(board.tree().path("gpio17"));
  ASSERT_EQ(board.start(kBinary), "");
  ASSERT_TRUE(board.waitForExit(10s));
  EXPECT_EQ(board.exitStatus(), 2);
  EXPECT_EQ(board.output(), "");
  EXPECT_EQ(texts(board.records("export")), (std::vector{record("25"), record("24"), record("17")}));
  EXPECT_EQ(board.tree().read("gpio25/direction"), record("out"));
  EXPECT_EQ(board.tree().read("gpio24/direction"), record("out"));
  EXPECT_EQ(board.tree().read("gpio27/direction"), "in\n");
  EXPECT_EQ(board.count("gpio25/value"), 0U);
}

TEST_F(Program, RefusedDirectionWriteEndsSetUpWithItsMessage) {
  std::filesystem::remove(board.tree().path("gpio24/direction"));
  std::filesystem::create_symlink("/dev/full", board.tree().path("gpio24/direction"));
  ASSERT_EQ(board.start(kBinary), "");
  ASSERT_TRUE(board.waitForExit(10s));
  EXPECT_EQ(board.exitStatus(), 2);
  EXPECT_EQ(board.output(), "Direction is niet gelukt!!\n");
  EXPECT_EQ(texts(board.records("export")), (std::vector{record("25"), record("24")}));
  EXPECT_EQ(board.tree().read("gpio17/direction"), "in\n");
  EXPECT_EQ(board.tree().read("gpio27/direction"), "in\n");
}

// --- Faults a board can throw, and staying power ---------------------------------

TEST_F(Program, InputValueThatVanishesMakesCyclesUntilItComesBack) {
  ASSERT_EQ(board.start(kBinary), "");
  ASSERT_TRUE(board.waitForSetUp());
  const int descriptors = board.openDescriptors();

  // Someone unexports input 27: it cannot be read, counts as active, and
  // every poll of it says so.
  std::filesystem::remove(board.tree().path("gpio27/value"));
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 1, 5s));
  ASSERT_TRUE(waitUntil([&] { return !board.output().empty(); }, 2s));
  EXPECT_EQ(board.output(), "Kan bestand niet vinden of foutieve argumenten\n");

  // It comes back low: the cycle under way ends and no other follows.
  board.setInput("27", "0");
  ASSERT_TRUE(board.waitForRecords("gpio24/value", 3, 8s));
  const std::size_t written = board.count("gpio25/value");
  EXPECT_FALSE(waitUntil([&] { return board.count("gpio25/value") > written + 3; }, 6s));
  EXPECT_LE(board.count("gpio25/value"), 6U);
  EXPECT_FALSE(board.exitStatus().has_value());
  EXPECT_EQ(board.openDescriptors(), descriptors);
}

TEST_F(Program, AReaderOfItsOutputThatGoesAwayDoesNotStopIt) {
  ASSERT_EQ(board.start(kBinary), "");
  ASSERT_TRUE(board.waitForSetUp());
  board.closeOutput();

  // Input 27 vanishes: every poll of it has a message to write, to a pipe
  // that no one reads any more. The writes fail (EPIPE); the cycles go on.
  std::filesystem::remove(board.tree().path("gpio27/value"));
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 4, 10s));
  EXPECT_FALSE(board.exitStatus().has_value());
}

TEST_F(Program, OutputPinThatVanishesMidCycleIsSkippedSilentlyAndTheCycleRunsOn) {
  board.setInput("27", "1");
  ASSERT_EQ(board.start(kBinary), "");
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 1, 10s));

  // Pin 25 is unexported by someone else during the first phase: its writes
  // fail without a message, and the cycles run on, 24 written in every
  // phase and every phase as long as ever. It is back before the second
  // cycle's second phase.
  std::filesystem::rename(board.tree().path("gpio25"), board.tree().path("gpio25.gone"));
  const int descriptors = board.openDescriptors();
  ASSERT_TRUE(board.waitForRecords("gpio24/value", 4, 8s));
  board.setInput("27", "0");
  std::filesystem::rename(board.tree().path("gpio25.gone"), board.tree().path("gpio25"));

  ASSERT_TRUE(board.waitForRecords("gpio24/value", 6, 5s));
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 3, 1s));
  const auto pin24 = board.records("gpio24/value");
  EXPECT_EQ(texts(pin24), (std::vector{record("0"), record("1"), record("0"), record("0"), record("1"), record("0")}));
  expectPhases(pin24, 0, pin24.size());
  EXPECT_EQ(texts(board.records("gpio25/value")), (std::vector{record("1"), record("0"), record("0")}));
  EXPECT_EQ(board.output(), "");
  EXPECT_FALSE(board.exitStatus().has_value());
  EXPECT_EQ(board.openDescriptors(), descriptors);
}

TEST_F(Program, TerminatedMidCycleItLeavesPinsExportedAndOutputsAsTheyWere) {
  // Both outputs' value attributes are one FIFO here, so that their records
  // arrive in the order they were written.
  std::filesystem::remove(board.tree().path("gpio24/value"));
  std::filesystem::create_hard_link(board.tree().path("gpio25/value"), board.tree().path("gpio24/value"));
  board.setInput("17", "1");
  ASSERT_EQ(board.start(kBinary), "");
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 4, 10s));
  board.signal(SIGTERM);
  ASSERT_TRUE(board.waitForExit(5s));
  EXPECT_EQ(board.exitStatus(), -SIGTERM);

  // In each phase 25 was written first, then 24: 25 high and 24 low, then
  // 25 low and 24 high. Nothing was unexported, no direction changed, no
  // output written after the signal: they stay as the second phase left them.
  EXPECT_FALSE(waitUntil([&] { return board.count("gpio25/value") > 4; }, 500ms));
  EXPECT_EQ(texts(board.records("gpio25/value")), (std::vector{record("1"), record("0"), record("0"), record("1")}));
  EXPECT_EQ(board.tree().read("unexport"), "");
  EXPECT_EQ(board.records("export").size(), 4U);
  EXPECT_EQ(board.tree().read("gpio25/direction"), record("out"));
  EXPECT_EQ(board.output(), "");
}

TEST_F(Program, DescriptorsAndMemoryStayFlatWhilePollingAndCycling) {
  ASSERT_EQ(board.start(kBinary), "");
  ASSERT_TRUE(board.waitForSetUp());

  // Warm up: some polling and one cycle, so every code path has run once.
  ASSERT_TRUE(board.press("17"));
  ASSERT_TRUE(board.waitForRecords("gpio24/value", 3, 8s));
  const int descriptors = board.openDescriptors();
  const long resident = board.residentKiB();
  ASSERT_GT(descriptors, 0);
  ASSERT_GT(resident, 0);

  // Two more cycles and a few seconds of polling: tens of thousands of opens
  // and reads. A descriptor or a few bytes leaked per poll would show.
  board.setInput("27", "1");
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 7, 10s));
  board.setInput("27", "0");
  ASSERT_TRUE(board.waitForRecords("gpio24/value", 9, 8s));
  EXPECT_FALSE(board.waitForRecords("gpio25/value", 10, 3s));
  EXPECT_EQ(board.openDescriptors(), descriptors);
  EXPECT_LE(board.residentKiB(), resident + 64);
  EXPECT_EQ(board.output(), "");
}

}  // namespace
