// A CommandRunner that records what it was asked to run and runs nothing.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/command_runner.h"

class FakeCommandRunner : public CommandRunner {
 public:
  // Shell command lines and detached argv's, in the order they arrived.
  // Detached starts are recorded as their words joined by single blanks and
  // prefixed with "detached: ".
  std::vector<std::string> commands() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
  }

  // Wait status that runShell returns (0: success).
  void setShellStatus(int status) {
    std::lock_guard<std::mutex> lock(mu_);
    status_ = status;
  }
  // Optional per-command hook: runs before the command is recorded as done,
  // and its result (when set) replaces the status.
  void setHook(std::function<int(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mu_);
    hook_ = std::move(hook);
  }
  // Makes every runShell take this long (to expose ordering faults).
  void setDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mu_);
    delay_ = delay;
  }
  void setStartDetachedResult(bool ok) {
    std::lock_guard<std::mutex> lock(mu_);
    detachedOk_ = ok;
  }

  int runShell(const std::string& commandLine) override { return record(commandLine); }

  // Recorded like the shell line it stands for: the words, then " < PATH"
  // and " > PATH" for the files the descriptors are open on (a memory file
  // by its name).
  int runWithFiles(const std::vector<std::string>& argv, int stdinFd, int stdoutFd) override {
    std::string line;
    for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
    for (auto [fd, redirect] : {std::pair{stdinFd, " < "}, {stdoutFd, " > "}}) {
      std::error_code ec;
      std::string target = fd < 0 ? "" : std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
      if (target.starts_with("/memfd:")) target = target.substr(7, target.rfind(" (deleted)") - 7);
      if (fd >= 0) line += redirect + target;
    }
    return record(line);
  }

 private:
  int record(const std::string& commandLine) {
    std::function<int(const std::string&)> hook;
    std::chrono::milliseconds delay;
    int status;
    {
      std::lock_guard<std::mutex> lock(mu_);
      commands_.push_back(commandLine);
      hook = hook_;
      delay = delay_;
      status = status_;
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    if (hook) status = hook(commandLine);
    return status;
  }

 public:
  bool startDetached(const std::vector<std::string>& argv) override {
    std::string line = "detached:";
    for (const std::string& a : argv) line += " " + a;
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back(line);
    detachedArgv_.push_back(argv);
    return detachedOk_;
  }

  std::vector<std::vector<std::string>> detachedArgv() const {
    std::lock_guard<std::mutex> lock(mu_);
    return detachedArgv_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> commands_;
  std::vector<std::vector<std::string>> detachedArgv_;
  std::function<int(const std::string&)> hook_;
  std::chrono::milliseconds delay_{0};
  int status_ = 0;
  bool detachedOk_ = true;
};
