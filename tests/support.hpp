// Helpers shared by the tests: scoped temporary trees and captured output.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>

#include <gtest/gtest.h>

#include "gpio/gpio.hpp"

namespace testing_support {

// A temporary directory that is removed with everything in it at the end of
// the scope. Trees that a killed test run left behind are removed by the
// next run.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // The root as a text ending in '/', as the pin operations expect it.
  std::string prefix() const { return root_.string() + "/"; }
  std::string path(std::string_view relative) const { return (root_ / relative).string(); }

  void makeDir(std::string_view relative) const;
  void write(std::string_view relative, std::string_view bytes) const;
  // Replaces the file in one step (write a temporary file, then rename), so
  // that a reader never sees it half written.
  void replace(std::string_view relative, std::string_view bytes) const;
  std::string read(std::string_view relative) const;
  bool exists(std::string_view relative) const;

 private:
  std::filesystem::path root_;
};

// Captures what is written to file descriptor 1 while it lives.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Everything written so far.
  std::string text() const;

 private:
  int saved_ = -1;
  int file_ = -1;
};

// Every write(2) that the code under test makes while the log lives, one
// entry per call, as it was asked for. A file or a FIFO joins consecutive
// writes; this keeps each call's boundaries, so a record or a message split
// over two writes shows. Only in binaries linked with -Wl,--wrap=write
// (write_log.cpp).
struct WriteCall {
  std::string path;  // as the descriptor names it; "stdout" for descriptor 1
  std::string bytes;
  ssize_t result;
  std::chrono::steady_clock::time_point at;
};

// Set while the tests' own helpers write files, which the log leaves out.
inline thread_local bool writingFixture = false;

class WriteLog {
 public:
  WriteLog();
  ~WriteLog();
  WriteLog(const WriteLog&) = delete;
  WriteLog& operator=(const WriteLog&) = delete;

  // The calls so far, and those to paths that end with `suffix`.
  std::vector<WriteCall> calls() const;
  std::vector<WriteCall> to(std::string_view suffix) const;
};

// How many descriptors a process has open ("self", or a process id), from
// /proc; -1 when that cannot be read.
int openDescriptors(const std::string& process = "self");

// A test of the GPIO operations: whatever it did, it must leave no
// descriptor open. An operation that failed halfway (an open that worked and
// a read that did not, say) must still close its file: a service that leaks
// one per poll runs out of descriptors, and then nothing opens.
class NoDescriptorLeft : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(openDescriptors(), before_) << "descriptors open before the test and after"; }

 private:
  int before_ = openDescriptors();
};

// Calls `done` until it returns true or the deadline passes; returns its last
// answer. Never a fixed sleep that a slow machine could outrun.
template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return done();
    }
    std::this_thread::sleep_for(step);
  }
  return true;
}

// The attribute record for `text`, as the program writes it.
inline std::string record(std::string_view text) {
  std::string bytes(text);
  bytes.resize(gpio::kRecordSize, '\0');
  return bytes;
}

}  // namespace testing_support
