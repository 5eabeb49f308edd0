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
  // What it was asked to run, in order: shell lines; tool runs as their words
  // and " < PATH", " > PATH" for the files on their descriptors (a memory
  // file by its name); detached starts as "detached:" and their words.
  Strings commands() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
  }
  // Gives the wait status of each shell line and tool run (0 without a hook);
  // runs on the caller's thread once the command is recorded.
  std::function<int(const std::string&)> hook;  // set before the runner is used
  bool startDetachedResult = true;

  int runShell(const std::string& commandLine) override { return record(commandLine); }
  int runWithFiles(const Strings& argv, int stdinFd, int stdoutFd) override {
    std::string line = join(argv, "");
    for (auto [fd, redirect] : {std::pair{stdinFd, " < "}, {stdoutFd, " > "}}) {
      std::error_code ec;
      std::string file = fd < 0 ? "" : std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
      if (file.starts_with("/memfd:")) file = file.substr(7, file.rfind(" (deleted)") - 7);
      if (fd >= 0) line += redirect + file;
    }
    return record(line);
  }
  bool startDetached(const Strings& argv) override {
    record(join(argv, "detached: "), false);
    return startDetachedResult;
  }

 private:
  static std::string join(const Strings& words, std::string line) {
    for (size_t i = 0; i < words.size(); ++i) line += (i == 0 ? "" : " ") + words[i];
    return line;
  }
  int record(const std::string& commandLine, bool runHook = true) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      commands_.push_back(commandLine);
    }
    return runHook && hook ? hook(commandLine) : 0;
  }

  mutable std::mutex mu_;
  Strings commands_;
};
