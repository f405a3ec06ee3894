// End-to-end tests of the real, unmodified gpio-cycle binary.
//
// Each test lays out a fake sysfs GPIO tree in a temporary directory, as the
// kernel leaves it after the four pins are exported, and runs the program in
// a private mount namespace where that tree is bind-mounted at
// /sys/class/gpio. The export attribute and the outputs' value attributes are
// FIFOs: every record the program writes to them arrives here, in order and
// timestamped. The inputs' value attributes are regular files, replaced
// atomically to press and release a button.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.hpp"

namespace {

using namespace std::chrono_literals;
using testing_support::record;
using testing_support::TempDir;
using testing_support::waitUntil;
using Clock = std::chrono::steady_clock;

constexpr const char* kBinary = GPIO_CYCLE_BINARY;

struct Record {
  std::string bytes;
  Clock::time_point at;
};

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// --- Private mount namespaces ------------------------------------------------

// Writes a text to a file from a forked child (no allocation, no stdio).
bool writeProcFile(const char* path, const char* text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const auto length = static_cast<ssize_t>(std::strlen(text));
  const bool ok = ::write(fd, text, static_cast<std::size_t>(length)) == length;
  ::close(fd);
  return ok;
}

struct NamespacePlan {
  std::string uidMap;  // for the user-namespace fallback, made before fork
  std::string gidMap;
};

// Runs in the forked child: enters a private mount namespace (as root, or as
// root of a new user namespace where that is allowed), covers /sys/class with
// a tmpfs and bind-mounts `tree` at /sys/class/gpio unless it is null.
// Returns the name of the step that failed, or null.
const char* enterSandbox(const NamespacePlan& plan, const char* tree) {
  if (::unshare(CLONE_NEWNS) != 0) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      return "unshare";
    }
    if (!writeProcFile("/proc/self/setgroups", "deny") || !writeProcFile("/proc/self/uid_map", plan.uidMap.c_str()) ||
        !writeProcFile("/proc/self/gid_map", plan.gidMap.c_str())) {
      return "user namespace id maps";
    }
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return "mount --make-rprivate /";
  }
  if (::mount("tmpfs", "/sys/class", "tmpfs", 0, "mode=0755") != 0) {
    return "mount tmpfs on /sys/class";
  }
  if (tree != nullptr) {
    if (::mkdir("/sys/class/gpio", 0755) != 0 || ::mount(tree, "/sys/class/gpio", nullptr, MS_BIND, nullptr) != 0) {
      return "bind mount at /sys/class/gpio";
    }
  }
  return nullptr;
}

NamespacePlan makePlan() {
  return {"0 " + std::to_string(::getuid()) + " 1\n", "0 " + std::to_string(::getgid()) + " 1\n"};
}

// Whether this machine lets us make the sandbox at all; asked once.
std::string sandboxUnavailableReason() {
  static const std::string reason = [] {
    const NamespacePlan plan = makePlan();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::_exit(enterSandbox(plan, nullptr) == nullptr ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return std::string(
          "cannot make a private mount namespace with a tmpfs over /sys/class "
          "(run as root, or allow unprivileged user namespaces)");
    }
    return std::string();
  }();
  return reason;
}

// --- The board: fake tree, running program, monitor ----------------------------

class Board {
 public:
  Board() {
    makeFifo("export");
    for (const char* pin : {"25", "24", "17", "27"}) {
      tree_.makeDir(std::string("gpio") + pin);
      tree_.write(std::string("gpio") + pin + "/direction", "in\n");
    }
    makeFifo("gpio25/value");
    makeFifo("gpio24/value");
    tree_.write("gpio17/value", "0\n");
    tree_.write("gpio27/value", "0\n");
  }

  ~Board() {
    stop();
    running_ = false;
    if (monitor_.joinable()) {
      monitor_.join();
    }
    for (const auto& [name, fd] : fds_) {
      ::close(fd);
    }
  }

  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const TempDir& tree() const { return tree_; }

  // Starts the program; with `withGpio` false, /sys/class has no gpio folder
  // at all, as on a kernel without GPIO support.
  void start(bool withGpio = true) {
    int out[2];
    int status[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(status, O_CLOEXEC), 0);
    const NamespacePlan plan = makePlan();
    const std::string treePath = tree_.root().string();
    const char* tree = withGpio ? treePath.c_str() : nullptr;

    started_ = Clock::now();
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      const char* failed = enterSandbox(plan, tree);
      if (failed == nullptr) {
        char* const argv[] = {const_cast<char*>(kBinary), nullptr};
        ::execv(kBinary, argv);
        failed = "exec";
      }
      (void)!::write(status[1], failed, std::strlen(failed));
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(status[1]);
    char why[64] = {};
    const ssize_t got = ::read(status[0], why, sizeof why - 1);
    ::close(status[0]);
    ASSERT_LE(got, 0) << "could not start " << kBinary << ": " << why;

    fds_.emplace("stdout", out[0]);
    running_ = true;
    monitor_ = std::thread([this] { watch(); });
  }

  void stop() {
    if (pid_ > 0 && !exitStatus_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

  // The exit status once the program has exited by itself; -1 when a signal
  // ended it.
  std::optional<int> exitStatus() {
    if (!exitStatus_ && pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        exitedAt_ = Clock::now();
      }
    }
    return exitStatus_;
  }

  bool waitForExit(std::chrono::milliseconds timeout) {
    return waitUntil([this] { return exitStatus().has_value(); }, timeout);
  }

  double secondsToExit() const { return secondsBetween(started_, exitedAt_); }

  // Everything that arrived on a FIFO ("export", "gpio25/value", ...), split
  // into 8-byte records, or the program's output as one record per read.
  std::vector<Record> records(const std::string& name) const {
    const std::lock_guard lock(mutex_);
    const auto found = received_.find(name);
    return found == received_.end() ? std::vector<Record>{} : found->second;
  }

  std::string output() const {
    std::string text;
    for (const Record& chunk : records("stdout")) {
      text += chunk.bytes;
    }
    return text;
  }

  std::size_t count(const std::string& name) const { return records(name).size(); }

  bool waitForRecords(const std::string& name, std::size_t n, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return count(name) >= n; }, timeout);
  }

  // Set-up is over when the last pin's direction has been written.
  bool waitForSetUp() const {
    return waitUntil([&] { return tree_.read("gpio27/direction") == record("in"); }, 10s);
  }

  // Presses (level "1") or releases (level "0") a button on an input.
  void setInput(const std::string& pin, const char* level) const {
    tree_.replace("gpio" + pin + "/value", std::string(level) + "\n");
  }

  Clock::time_point started() const { return started_; }

 private:
  void makeFifo(const std::string& relative) {
    const std::string path = tree_.path(relative);
    if (::mkfifo(path.c_str(), 0644) != 0) {
      throw std::runtime_error("mkfifo " + path);
    }
    // Held open for reading and writing, so the program's open never blocks.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      throw std::runtime_error("open " + path);
    }
    fds_.emplace(relative, fd);
  }

  void watch() {
    std::vector<pollfd> polled;
    std::vector<std::string> names;
    for (const auto& [name, fd] : fds_) {
      polled.push_back({fd, POLLIN, 0});
      names.push_back(name);
    }
    std::map<std::string, std::string> pending;
    while (running_) {
      if (::poll(polled.data(), polled.size(), 10) <= 0) {
        continue;
      }
      const auto now = Clock::now();
      for (std::size_t i = 0; i < polled.size(); ++i) {
        if ((polled[i].revents & (POLLIN | POLLHUP)) == 0) {
          continue;
        }
        char chunk[512];
        const ssize_t got = ::read(polled[i].fd, chunk, sizeof chunk);
        if (got <= 0) {
          if (got == 0) {
            polled[i].fd = -1;  // the program's output closed
          }
          continue;
        }
        const std::lock_guard lock(mutex_);
        auto& list = received_[names[i]];
        if (names[i] == "stdout") {
          list.push_back({std::string(chunk, static_cast<std::size_t>(got)), now});
          continue;
        }
        std::string& bytes = pending[names[i]];
        bytes.append(chunk, static_cast<std::size_t>(got));
        for (; bytes.size() >= 8; bytes.erase(0, 8)) {
          list.push_back({bytes.substr(0, 8), now});
        }
      }
    }
  }

  TempDir tree_;
  std::map<std::string, int> fds_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  Clock::time_point started_{};
  Clock::time_point exitedAt_{};
  std::thread monitor_;
  std::atomic<bool> running_{false};
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Record>> received_;
};

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

  Board board;
};

std::vector<std::string> texts(const std::vector<Record>& records) {
  std::vector<std::string> result;
  for (const Record& r : records) {
    result.push_back(r.bytes);
  }
  return result;
}

// Checks that the output records hold `cycles` whole cycles, starting at
// record `first`: 25 high then 24 high for a second each, then both low for
// two seconds, with 25 written just before 24 in every phase.
void expectCycles(const Board& board, std::size_t first, std::size_t cycles) {
  const auto pin25 = board.records("gpio25/value");
  const auto pin24 = board.records("gpio24/value");
  ASSERT_GE(pin25.size(), first + 3 * cycles);
  ASSERT_GE(pin24.size(), first + 3 * cycles);
  const char* levels25[] = {"1", "0", "0"};
  const char* levels24[] = {"0", "1", "0"};
  const double holds[] = {1.0, 1.0, 2.0};
  for (std::size_t i = first; i < first + 3 * cycles; ++i) {
    SCOPED_TRACE("output record " + std::to_string(i));
    const std::size_t phase = (i - first) % 3;
    EXPECT_EQ(pin25[i].bytes, record(levels25[phase]));
    EXPECT_EQ(pin24[i].bytes, record(levels24[phase]));
    EXPECT_LT(std::abs(secondsBetween(pin25[i].at, pin24[i].at)), 0.25);
    if (i + 1 < pin25.size()) {
      const double hold = secondsBetween(pin25[i].at, pin25[i + 1].at);
      EXPECT_GT(hold, holds[phase] - 0.1);
      EXPECT_LT(hold, holds[phase] + 0.8);
    }
  }
}

// --- The tests -------------------------------------------------------------------

TEST_F(Program, WithoutGpioSupportItSaysSoAndExitsWithStatusTwoAtOnce) {
  board.start(/*withGpio=*/false);
  ASSERT_TRUE(board.waitForExit(10s));
  EXPECT_EQ(board.exitStatus(), 2);
  EXPECT_EQ(board.output(), "Export is niet gelukt!!\n");
  // A full set-up takes at least 2 s of waits; this one never reached one.
  EXPECT_LT(board.secondsToExit(), 1.5);
}

TEST_F(Program, SetsUpInTableOrderThenOnePressOfSeventeenGivesExactlyOneCycle) {
  board.start();
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

  // Nothing is driven while both inputs are low.
  EXPECT_FALSE(board.waitForRecords("gpio25/value", 1, 1s));
  EXPECT_EQ(board.count("gpio24/value"), 0U);

  // A short press: released as soon as the cycle has started.
  board.setInput("17", "1");
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 1, 5s));
  board.setInput("17", "0");
  ASSERT_TRUE(board.waitForRecords("gpio24/value", 3, 8s));
  expectCycles(board, 0, 1);

  // The cycle ends two seconds after its last writes; no second one follows.
  const auto lastPhase = board.records("gpio25/value").back().at;
  EXPECT_FALSE(waitUntil([&] { return board.count("gpio25/value") > 3; }, 2s + 1500ms));
  EXPECT_GT(secondsBetween(lastPhase, Clock::now()), 3.4);
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
  board.start();
  ASSERT_TRUE(board.waitForRecords("gpio25/value", 4, 15s));
  EXPECT_EQ(board.output(), "");

  // Released during the second cycle: when it ends, 27 reads low, 17 is read,
  // cannot be found, counts as active, and the message arrives at once.
  board.setInput("27", "0");
  ASSERT_TRUE(waitUntil([&] { return !board.output().empty(); }, 8s));
  EXPECT_EQ(board.output(), "Kan bestand niet vinden of foutieve argumenten\n");
  ASSERT_TRUE(board.waitForRecords("gpio24/value", 7, 8s));
  expectCycles(board, 0, 2);
  // The third cycle follows the second without a gap as well.
  const auto pin25 = board.records("gpio25/value");
  EXPECT_LT(secondsBetween(pin25[5].at, pin25[6].at), 2.8);
}

TEST_F(Program, SetUpStopsAtTheFirstPinThatFailsAndLeavesTheRestUntouched) {
  // Pin 17's directory never appears after its export: no message, status 2.
  std::filesystem::remove_all(board.tree().path("gpio17"));
  board.start();
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
  board.start();
  ASSERT_TRUE(board.waitForExit(10s));
  EXPECT_EQ(board.exitStatus(), 2);
  EXPECT_EQ(board.output(), "Direction is niet gelukt!!\n");
  EXPECT_EQ(texts(board.records("export")), (std::vector{record("25"), record("24")}));
  EXPECT_EQ(board.tree().read("gpio17/direction"), "in\n");
  EXPECT_EQ(board.tree().read("gpio27/direction"), "in\n");
}

}  // namespace
