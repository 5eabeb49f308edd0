// A CommandRunner that records what it was asked to run and runs nothing.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/command_runner.h"

class FakeCommandRunner : public CommandRunner {
 public:
  using Strings = std::vector<std::string>;
  // What it ran, in order: shell lines; tool runs as their words and " < PATH", " > PATH" for the files on
  // their descriptors (a memory file by its name); detached starts as "detached:" and their words.
  Strings commands() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
  }
  // Runs on the caller's thread for each command: gives its wait status (0 without a hook) and may rewrite
  // the line recorded for it.
  std::function<int(std::string& line)> hook;  // set before the runner is used
  bool startDetachedResult = true;

  int runShell(const std::string& commandLine) override { return record(commandLine); }
  int runWithFiles(const Strings& argv, int stdinFd, int stdoutFd) override {
    std::string line = join(argv);
    for (auto [fd, op] : {std::pair{stdinFd, " < "}, {stdoutFd, " > "}}) {
      std::error_code ec;
      const std::string file = fd < 0 ? "" : std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
      if (fd >= 0) line += op + (file.starts_with("/memfd:") ? file.substr(7, file.rfind(" (deleted)") - 7) : file);
    }
    return record(line);
  }
  bool startDetached(const Strings& argv) override { return record("detached: " + join(argv)), startDetachedResult; }

 private:
  static std::string join(const Strings& words) {
    std::string line;
    for (const std::string& w : words) line += (&w == &words[0] ? "" : " ") + w;
    return line;
  }
  int record(std::string line) {
    const int status = hook ? hook(line) : 0;
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back(line);
    return status;
  }

  mutable std::mutex mu_;
  Strings commands_;
};
