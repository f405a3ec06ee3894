#include "fake_board.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

using namespace std::chrono_literals;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

namespace {

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

NamespacePlan makePlan() {
  return {"0 " + std::to_string(::getuid()) + " 1\n", "0 " + std::to_string(::getgid()) + " 1\n"};
}

// Runs in the forked child: enters a private mount namespace (as root, or as
// root of a new user namespace where that is allowed), covers /sys/class with
// a tmpfs and bind-mounts `tree` at /sys/class/gpio unless it is null.
// Returns the step that failed, or null; errno tells why.
const char* enterSandbox(const NamespacePlan& plan, const char* tree) {
  if (::unshare(CLONE_NEWNS) != 0) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      return ::getuid() == 0 ? "unshare(CLONE_NEWNS)"
                             : "unshare(CLONE_NEWUSER) (unprivileged user namespaces not allowed?)";
    }
    if (!writeProcFile("/proc/self/setgroups", "deny") || !writeProcFile("/proc/self/uid_map", plan.uidMap.c_str()) ||
        !writeProcFile("/proc/self/gid_map", plan.gidMap.c_str())) {
      return "user namespace id maps";
    }
  }
  // Nothing mounted here may reach the machine's own mount namespace. In a
  // chroot whose / is not a mount point, /sys is the mount to keep private.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 &&
      ::mount(nullptr, "/sys", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return "mount --make-rprivate / (and /sys)";
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

// In the forked child: enters the sandbox, or writes to `report` which step
// failed and why, and exits.
void enterSandboxOrExit(const NamespacePlan& plan, const char* tree, int report) {
  const char* failed = enterSandbox(plan, tree);
  if (failed == nullptr) {
    return;
  }
  const char* why = std::strerror(errno);
  for (const char* part : {failed, ": ", why}) {
    (void)!::write(report, part, std::strlen(part));
  }
  ::_exit(127);
}

}  // namespace

std::string sandboxUnavailableReason() {
  static const std::string reason = [] {
    const NamespacePlan plan = makePlan();
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
      return std::string("cannot make a pipe to try the private mount namespace");
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      enterSandboxOrExit(plan, nullptr, report[1]);
      ::_exit(0);
    }
    ::close(report[1]);
    std::array<char, 256> why{};
    const ssize_t got = ::read(report[0], why.data(), why.size() - 1);
    ::close(report[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
      return std::string("cannot fork to try the private mount namespace");
    }
    if (got > 0 || WEXITSTATUS(status) != 0) {
      return "cannot make a private mount namespace with a tmpfs over /sys/class: " + std::string(why.data());
    }
    return std::string();
  }();
  return reason;
}

FakeBoard::FakeBoard() {
  makeFifo("export");
  tree_.write("unexport", "");
  for (const char* pin : {"25", "24", "17", "27"}) {
    tree_.makeDir(std::string("gpio") + pin);
    tree_.write(std::string("gpio") + pin + "/direction", "in\n");
  }
  makeFifo("gpio25/value");
  makeFifo("gpio24/value");
  tree_.write("gpio17/value", "0\n");
  tree_.write("gpio27/value", "0\n");
}

FakeBoard::~FakeBoard() {
  stop();
  running_ = false;
  if (monitor_.joinable()) {
    monitor_.join();
  }
  for (const auto& [name, fd] : fds_) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

std::string FakeBoard::start(const std::string& program, bool withGpio, const std::vector<std::string>& arguments) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  int out[2];
  int status[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(status, O_CLOEXEC) != 0) {
    return "pipe";
  }
  const NamespacePlan plan = makePlan();
  const std::string treePath = tree_.root().string();
  const char* tree = withGpio ? treePath.c_str() : nullptr;

  started_ = Clock::now();
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    return "fork";
  }
  if (pid_ == 0) {
    // The program must not outlive a test that is killed.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
      ::_exit(127);
    }
    ::dup2(out[1], STDOUT_FILENO);
    enterSandboxOrExit(plan, tree, status[1]);
    ::execv(program.c_str(), argv.data());
    (void)!::write(status[1], "exec", 4);
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(status[1]);
  char why[256] = {};
  const ssize_t got = ::read(status[0], why, sizeof why - 1);
  ::close(status[0]);
  if (got > 0) {
    return "could not start " + program + ": " + why;
  }
  fds_.emplace("stdout", out[0]);
  running_ = true;
  monitor_ = std::thread([this] { watch(); });
  return {};
}

void FakeBoard::stop() {
  if (pid_ > 0 && !exitStatus()) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

void FakeBoard::closeOutput() {
  closeOutput_ = true;
  waitUntil([this] { return outputClosed_.load(); }, 5s);
}

void FakeBoard::signal(int number) const {
  if (pid_ > 0) {
    ::kill(pid_, number);
  }
}

std::optional<int> FakeBoard::exitStatus() {
  if (!exitStatus_ && pid_ > 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      exitedAt_ = Clock::now();
    }
  }
  return exitStatus_;
}

bool FakeBoard::waitForExit(std::chrono::milliseconds timeout) {
  // Exited, and everything it printed has been read.
  return waitUntil([this] { return exitStatus().has_value() && outputClosed_; }, timeout);
}

std::vector<Record> FakeBoard::records(const std::string& name) const {
  const std::lock_guard lock(mutex_);
  const auto found = received_.find(name);
  return found == received_.end() ? std::vector<Record>{} : found->second;
}

std::size_t FakeBoard::count(const std::string& name) const {
  const std::lock_guard lock(mutex_);
  const auto found = received_.find(name);
  return found == received_.end() ? 0 : found->second.size();
}

bool FakeBoard::waitForRecords(const std::string& name, std::size_t n, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return count(name) >= n; }, timeout);
}

std::string FakeBoard::output() const {
  std::string text;
  for (const Record& chunk : records("stdout")) {
    text += chunk.bytes;
  }
  return text;
}

bool FakeBoard::waitForSetUp() const {
  return waitUntil([&] { return tree_.read("gpio27/direction") == record("in"); }, 10s);
}

void FakeBoard::setInput(const std::string& pin, const char* level) const {
  tree_.replace("gpio" + pin + "/value", std::string(level) + "\n");
}

bool FakeBoard::press(const std::string& pin, std::chrono::milliseconds timeout) const {
  const std::size_t seen = count("gpio25/value");
  setInput(pin, "1");
  const bool began = waitForRecords("gpio25/value", seen + 1, timeout);
  setInput(pin, "0");
  return began;
}

int FakeBoard::openDescriptors() const {
  // The program has a value attribute open for a moment in every poll, so a
  // single look may catch one more, and on a busy machine it may be
  // descheduled with it open for a while: take the fewest of many looks over
  // a few hundred milliseconds.
  int fewest = -1;
  for (int look = 0; look < 200; ++look) {
    const int count = testing_support::openDescriptors(std::to_string(pid_));
    if (count < 0) {
      return -1;
    }
    fewest = fewest < 0 ? count : std::min(fewest, count);
    std::this_thread::sleep_for(1ms);
  }
  return fewest;
}

long FakeBoard::statusField(const char* name) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name, 0) == 0) {
      return std::stol(line.substr(std::strlen(name)));
    }
  }
  return -1;
}

double FakeBoard::cpuSeconds() const {
  // The first field of /proc/PID/schedstat: nanoseconds spent on a CPU.
  std::ifstream schedstat("/proc/" + std::to_string(pid_) + "/schedstat");
  double nanoseconds = -1e9;
  schedstat >> nanoseconds;
  return nanoseconds / 1e9;
}

long FakeBoard::residentKiB() const { return statusField("VmRSS:"); }
long FakeBoard::peakResidentKiB() const { return statusField("VmHWM:"); }

void FakeBoard::makeFifo(const std::string& relative) {
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

void FakeBoard::watch() {
  std::vector<pollfd> polled;
  std::vector<std::string> names;
  for (const auto& [name, fd] : fds_) {
    polled.push_back({fd, POLLIN, 0});
    names.push_back(name);
  }
  std::map<std::string, std::string> pending;
  while (running_) {
    for (std::size_t i = 0; i < polled.size(); ++i) {
      if (closeOutput_ && names[i] == "stdout" && polled[i].fd >= 0) {
        ::close(polled[i].fd);
        polled[i].fd = -1;
        fds_.at("stdout") = -1;
        outputClosed_ = true;
      }
    }
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
          outputClosed_ = names[i] == "stdout" || outputClosed_;
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
      constexpr auto kRecord = static_cast<std::size_t>(gpio::kRecordSize);
      for (; bytes.size() >= kRecord; bytes.erase(0, kRecord)) {
        list.push_back({bytes.substr(0, kRecord), now});
      }
    }
  }
}

std::vector<std::string> texts(const std::vector<Record>& records) {
  std::vector<std::string> result;
  result.reserve(records.size());
  for (const Record& r : records) {
    result.push_back(r.bytes);
  }
  return result;
}

}  // namespace testing_support
