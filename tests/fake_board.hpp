// A fake sysfs GPIO tree with the real program running against it, in a
// private mount namespace where the tree is bind-mounted at /sys/class/gpio.
// Shared by the end-to-end tests and the benchmark.
//
// The tree is laid out as the kernel leaves it after pins 25, 24, 17 and 27
// are exported. The export attribute and the outputs' value attributes are
// FIFOs: every record the program writes to them arrives here, in order and
// timestamped. The inputs' value attributes are regular files, replaced
// atomically to press and release a button.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "support.hpp"

namespace testing_support {

using Clock = std::chrono::steady_clock;

struct Record {
  std::string bytes;
  Clock::time_point at;
};

double secondsBetween(Clock::time_point from, Clock::time_point to);

// Empty when this machine lets us make the private mount namespace (as root,
// or through an unprivileged user namespace); otherwise why not.
std::string sandboxUnavailableReason();

class FakeBoard {
 public:
  FakeBoard();
  ~FakeBoard();
  FakeBoard(const FakeBoard&) = delete;
  FakeBoard& operator=(const FakeBoard&) = delete;

  const TempDir& tree() const { return tree_; }

  // Starts `program` (with `arguments`, if any) in the sandbox; with
  // `withGpio` false, /sys/class has no gpio folder at all, as on a kernel
  // without GPIO support. Returns what went wrong, or an empty text.
  std::string start(const std::string& program, bool withGpio = true, const std::vector<std::string>& arguments = {});

  // Closes the reading end of the program's standard output, as a reader
  // that goes away does; returns once it is closed.
  void closeOutput();
  // Ends the program with SIGKILL, if it is still running.
  void stop();
  // Sends a signal to the running program.
  void signal(int number) const;

  pid_t pid() const { return pid_; }
  // The exit status once the program has ended; -(signal) when a signal
  // ended it.
  std::optional<int> exitStatus();
  // Waits until the program has ended and all it printed has been read.
  bool waitForExit(std::chrono::milliseconds timeout);
  double secondsToExit() const { return secondsBetween(started_, exitedAt_); }
  Clock::time_point started() const { return started_; }

  // Everything that arrived on a FIFO ("export", "gpio25/value", ...), split
  // into 8-byte records, or the program's output ("stdout"), a record per read.
  std::vector<Record> records(const std::string& name) const;
  std::size_t count(const std::string& name) const;
  bool waitForRecords(const std::string& name, std::size_t n, std::chrono::milliseconds timeout) const;
  std::string output() const;

  // Set-up is over when the last pin's direction has been written.
  bool waitForSetUp() const;

  // Presses (level "1") or releases (level "0") a button on an input.
  void setInput(const std::string& pin, const char* level) const;
  // A short press: holds the input active until the next cycle has begun
  // (pin 25 written), then releases it. False when no cycle began in time.
  bool press(const std::string& pin, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  // From /proc: the program's open descriptors between polls, and its
  // resident and peak resident memory in KiB (-1 when it cannot be read).
  int openDescriptors() const;
  // The CPU time that the program has used so far, in seconds; -1 when it
  // cannot be read.
  double cpuSeconds() const;
  long residentKiB() const;
  long peakResidentKiB() const;

 private:
  void makeFifo(const std::string& relative);
  void watch();
  long statusField(const char* name) const;

  TempDir tree_;
  std::map<std::string, int> fds_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  Clock::time_point started_{};
  Clock::time_point exitedAt_{};
  std::thread monitor_;
  std::atomic<bool> running_{false};
  std::atomic<bool> outputClosed_{false};
  std::atomic<bool> closeOutput_{false};
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Record>> received_;
};

// The 8-byte records' texts, in order.
std::vector<std::string> texts(const std::vector<Record>& records);

}  // namespace testing_support
