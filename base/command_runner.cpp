#include "base/command_runner.h"

#include <sys/wait.h>

#include <cerrno>

#include "base/log.h"
#include "base/process.h"

namespace {

class RealCommandRunner final : public CommandRunner {
 public:
  int runShell(const std::string& commandLine) override { return runShellCommand(commandLine); }

  int runShellReporting(const std::string& commandLine, const std::function<void(pid_t)>& started) override {
    pid_t pid = spawnProcess({"/bin/sh", "-c", commandLine});
    if (pid < 0) return -1;
    started(pid);
    siginfo_t info;
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    started(0);
    return waitProcess(pid);
  }

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

int runLoggedCommand(const CommandLog& log, const std::string& command, const std::function<int()>& run) {
  try {
    const std::string line = std::string(log.owner) + " Execute cmd: " + command + log.lineEnd;
    if (log.progressToo) progress(line);
    logInfo(line);
    return run();
  } catch (...) {
    // Where the owner's progress goes, or else to the system log.
    const std::string failed = std::string(log.owner) + " Failed Execute cmd: " + command + log.lineEnd;
    if (log.progressToo) {
      progress(failed);
    } else {
      logInfo(failed);
    }
    return -1;
  }
}

int runLoggedCommand(CommandRunner& runner, const CommandLog& log, const std::string& command) {
  return runLoggedCommand(log, command, [&] { return runner.runShell(command); });
}
