#include "base/command_runner.h"

#include "base/log.h"
#include "base/process.h"

namespace {

class RealCommandRunner final : public CommandRunner {
 public:
  int runShell(const std::string& commandLine) override { return runShellCommand(commandLine); }

  int runShellInOwnSession(const std::string& commandLine) override {
    return runShellCommand(commandLine, SpawnOptions{.newSession = true});
  }

  bool startDetached(const std::vector<std::string>& argv) override {
    SpawnOptions opts;
    opts.searchPath = true;
    opts.stdoutToDevNull = true;
    opts.newSession = true;
    pid_t pid = spawnProcess(argv, opts);
    if (pid < 0) return false;
    reapInBackground(pid);
    return true;
  }

  int runWithFiles(const std::vector<std::string>& argv, int stdinFd, int stdoutFd) override {
    SpawnOptions opts;
    opts.searchPath = true;
    opts.stdinFd = stdinFd;
    opts.stdoutFd = stdoutFd;
    pid_t pid = spawnProcess(argv, opts);
    return pid < 0 ? -1 : waitProcess(pid);
  }
};

}  // namespace

CommandRunner& realCommandRunner() {
  static RealCommandRunner runner;
  return runner;
}

void logExecuteCmd(const CommandLog& log, const std::string& command) {
  std::string line = std::string(log.owner) + " Execute cmd: " + command + log.lineEnd;
  if (log.progressToo) progress(line);
  logInfo(line);
}

void logFailedCmd(const CommandLog& log, const std::string& command) {
  std::string line = std::string(log.owner) + " Failed Execute cmd: " + command + log.lineEnd;
  if (log.progressToo) {
    progress(line);
  } else {
    logInfo(line);
  }
}

int runLoggedCommand(const CommandLog& log, const std::string& command, const std::function<int()>& run) {
  try {
    logExecuteCmd(log, command);
    return run();
  } catch (...) {
    logFailedCmd(log, command);
    return -1;
  }
}

int runLoggedCommand(CommandRunner& runner, const CommandLog& log, const std::string& command) {
  return runLoggedCommand(log, command, [&] { return runner.runShell(command); });
}
