#include "daemon/command_runner.h"

#include "daemon/process.h"

namespace {

class RealCommandRunner final : public CommandRunner {
 public:
  int runShell(const std::string& commandLine) override { return runShellCommand(commandLine); }

  bool startDetached(const std::vector<std::string>& argv) override {
    SpawnOptions opts;
    opts.searchPath = true;
    opts.stdoutToDevNull = true;
    pid_t pid = spawnProcess(argv, opts);
    if (pid < 0) return false;
    reapInBackground(pid);
    return true;
  }
};

}  // namespace

CommandRunner& realCommandRunner() {
  static RealCommandRunner runner;
  return runner;
}
