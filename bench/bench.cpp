// Measurements of the real gpio-cycle against the fake sysfs tree, in a
// private mount namespace (the harness of the end-to-end tests). Prints
// "name=value" lines for bench/run to put in its table, or, in soak mode, a
// table of its own.
//
//   gpio_bench syscalls GPIO_CYCLE          system calls per poll (strace)
//   gpio_bench pollrate PROGRAM SECONDS     polls per second and peak memory
//   gpio_bench presses GPIO_CYCLE N         reaction latency and phase lengths
//   gpio_bench soak GPIO_CYCLE MINUTES      random presses; descriptors and memory over time

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "fake_board.hpp"

namespace {

using namespace std::chrono_literals;
using testing_support::Clock;
using testing_support::FakeBoard;
using testing_support::secondsBetween;
using testing_support::waitUntil;

[[noreturn]] void fail(const std::string& why) {
  std::cerr << "gpio_bench: " << why << "\n";
  std::exit(1);
}

// Starts the program in the sandbox; unless `setUp` is false, also waits
// until it has set up its pins.
void startOrFail(FakeBoard& board, const std::string& program, bool setUp = true) {
  if (const std::string why = testing_support::sandboxUnavailableReason(); !why.empty()) {
    fail(why);
  }
  if (const std::string why = board.start(program); !why.empty()) {
    fail(why);
  }
  if (setUp && !board.waitForSetUp()) {
    fail("set-up did not finish");
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

// The program's read(2) calls so far, from /proc/PID/io.
long readCalls(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  for (std::string key; io >> key;) {
    long value = 0;
    io >> value;
    if (key == "syscr:") {
      return value;
    }
  }
  fail("cannot read /proc/" + std::to_string(pid) + "/io");
}

// Attaches strace for a second and counts the calls between one open of
// pin 27's value and the next: the cost of one poll of both inputs.
int syscalls(const std::string& program) {
  FakeBoard board;
  startOrFail(board, program);
  std::this_thread::sleep_for(200ms);
  const std::string trace = board.tree().path("trace");
  const std::string command =
      "timeout -s INT 1 strace -qq -o " + trace + " -p " + std::to_string(board.pid()) + " 2>/dev/null";
  if (std::system(command.c_str()) == -1) {
    fail("cannot run strace");
  }

  std::ifstream in(trace);
  std::vector<double> perPoll;
  int calls = -1;
  for (std::string line; std::getline(in, line);) {
    if (line.find("gpio27/value") != std::string::npos && line.rfind("openat(", 0) == 0) {
      if (calls > 0) {
        perPoll.push_back(calls);
      }
      calls = 0;
    }
    if (calls >= 0) {
      ++calls;
    }
  }
  if (perPoll.size() < 10) {
    fail("too few polls traced");
  }
  std::printf("syscalls_per_poll_median=%.0f\n", median(perPoll));
  std::printf("syscalls_per_poll_max=%.0f\n", *std::max_element(perPoll.begin(), perPoll.end()));
  std::printf("polls_traced=%zu\n", perPoll.size());
  return 0;
}

// Polls per second from read calls over `seconds`: two reads make a poll.
int pollRate(const std::string& program, int seconds) {
  FakeBoard board;
  startOrFail(board, program, /*setUp=*/program.find("gpio-cycle") != std::string::npos);
  std::this_thread::sleep_for(300ms);
  const long before = readCalls(board.pid());
  const auto from = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long after = readCalls(board.pid());
  const double elapsed = secondsBetween(from, Clock::now());
  std::printf("polls_per_second=%.0f\n", static_cast<double>(after - before) / 2.0 / elapsed);
  std::printf("peak_resident_kib=%ld\n", board.peakResidentKiB());
  return 0;
}

// Presses 27 `n` times, each short and after the previous cycle has ended;
// then holds 17 for three cycles to see the third phase end.
int presses(const std::string& program, int n) {
  FakeBoard board;
  startOrFail(board, program);
  std::vector<double> latencies;
  double worstPhase = 0.0;
  auto deviation = [&](double measured, double wanted) {
    worstPhase = std::max(worstPhase, std::abs(measured - wanted));
  };
  for (int i = 0; i < n; ++i) {
    const std::size_t seen = board.count("gpio25/value");
    const auto pressed = Clock::now();
    if (!board.press("27")) {
      fail("no reaction to a press");
    }
    const auto outputs = board.records("gpio25/value");
    latencies.push_back(secondsBetween(pressed, outputs[seen].at));
    if (!board.waitForRecords("gpio25/value", seen + 3, 5s)) {
      fail("the cycle did not finish");
    }
    const auto cycle = board.records("gpio25/value");
    deviation(secondsBetween(cycle[seen].at, cycle[seen + 1].at), 1.0);
    deviation(secondsBetween(cycle[seen + 1].at, cycle[seen + 2].at), 1.0);
    std::this_thread::sleep_for(2300ms);  // the last phase, and a little more
  }
  const std::size_t seen = board.count("gpio25/value");
  board.setInput("17", "1");
  if (!board.waitForRecords("gpio25/value", seen + 9, 15s)) {
    fail("a held input did not give back-to-back cycles");
  }
  board.setInput("17", "0");
  const auto held = board.records("gpio25/value");
  for (std::size_t k = seen + 2; k + 1 < held.size(); k += 3) {
    deviation(secondsBetween(held[k].at, held[k + 1].at), 2.0);
  }
  std::printf("presses=%d\n", n);
  std::printf("latency_median_ms=%.3f\n", median(latencies) * 1e3);
  std::printf("latency_worst_ms=%.3f\n", *std::max_element(latencies.begin(), latencies.end()) * 1e3);
  std::printf("phase_worst_deviation_ms=%.3f\n", worstPhase * 1e3);
  return 0;
}

// Minutes of polling with short presses at random intervals, each after the
// previous cycle has ended. Every press must give exactly one cycle, and the
// descriptors and memory must stay flat.
int soak(const std::string& program, double minutes) {
  FakeBoard board;
  startOrFail(board, program);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> pause(500, 5000);
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double, std::ratio<60>>(minutes);
  int pressCount = 0;
  int bad = 0;
  int fewestFds = 1 << 20;
  int mostFds = 0;
  long leastRss = 1L << 40;
  long mostRss = 0;
  std::printf("%9s %8s %8s %12s %14s\n", "elapsed s", "presses", "cycles", "descriptors", "resident KiB");
  auto sample = [&] {
    const int fds = board.openDescriptors();
    const long rss = board.residentKiB();
    fewestFds = std::min(fewestFds, fds);
    mostFds = std::max(mostFds, fds);
    leastRss = std::min(leastRss, rss);
    mostRss = std::max(mostRss, rss);
    std::printf("%9.0f %8d %8zu %12d %14ld\n", secondsBetween(start, Clock::now()), pressCount,
                board.count("gpio24/value") / 3, fds, rss);
    std::fflush(stdout);
  };
  auto lastSample = Clock::now();
  sample();
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    const std::size_t seen = board.count("gpio25/value");
    const bool started = board.press(pressCount % 2 == 0 ? "27" : "17");
    ++pressCount;
    // The cycle's 4 s, then a moment in which no second cycle may begin.
    std::this_thread::sleep_for(4500ms);
    if (!started || board.count("gpio25/value") != seen + 3 || board.count("gpio24/value") != seen + 3) {
      ++bad;
    }
    if (Clock::now() - lastSample >= 10s) {
      sample();
      lastSample = Clock::now();
    }
  }
  sample();
  const bool alive = !board.exitStatus().has_value();
  std::printf("\npresses %d, cycles %zu, presses without exactly one cycle: %d\n", pressCount,
              board.count("gpio24/value") / 3, bad);
  std::printf("descriptors %d..%d, resident memory %ld..%ld KiB, messages: %s, still running: %s\n", fewestFds, mostFds,
              leastRss, mostRss, board.output().empty() ? "none" : board.output().c_str(), alive ? "yes" : "no");
  return bad == 0 && alive && fewestFds == mostFds && board.output().empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "syscalls") {
    return syscalls(args[1]);
  }
  if (args.size() == 3 && args[0] == "pollrate") {
    return pollRate(args[1], std::stoi(args[2]));
  }
  if (args.size() == 3 && args[0] == "presses") {
    return presses(args[1], std::stoi(args[2]));
  }
  if (args.size() == 3 && args[0] == "soak") {
    return soak(args[1], std::stod(args[2]));
  }
  std::cerr << "usage: gpio_bench syscalls|pollrate|presses|soak PROGRAM [N]\n";
  return 2;
}
