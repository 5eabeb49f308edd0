// The seam between the daemon's logic and the programs it runs as root.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Runs outside programs. The firewall, the timezone worker, the dispatcher
// and the update job take one of these, so their logic is tested with a
// recording fake; the daemon uses realCommandRunner().
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;

  // Runs `commandLine` through "/bin/sh -c" and waits for the shell.
  // Returns the wait status (0 means exit status 0), or -1 when the shell
  // could not be started. Only the daemon's own fixed texts and values that
  // passed validation may appear in `commandLine`.
  virtual int runShell(const std::string& commandLine) = 0;

  // Starts `argv` without a shell, argv[0] found on the search path, in the
  // background: standard output on /dev/null, standard error shared with the
  // daemon, reaped when it ends, in a session of its own (it outlives a
  // worker restart). Returns false when it could not be started.
  virtual bool startDetached(const std::vector<std::string>& argv) = 0;

  // runShell, calling `started` with the shell's process id once it runs,
  // and with 0 once it has ended but before it is reaped: in between, the
  // number names the shell, so another thread can end it and what it
  // started (killProcessTree). The default runs runShell and never calls
  // `started`: for runners that start nothing.
  virtual int runShellReporting(const std::string& commandLine, const std::function<void(pid_t)>& started) {
    (void)started;
    return runShell(commandLine);
  }
  // runShell, but the shell leads a session of its own, so whatever it
  // leaves running in the background outlives the worker (whose process
  // group is ended when it dies). The default runs runShell: for runners
  // that start nothing.
  virtual int runShellInOwnSession(const std::string& commandLine) { return runShell(commandLine); }
  // Runs `argv` without a shell, argv[0] found on the search path, and waits
  // for it: standard input on `stdinFd` (-1: /dev/null), standard output on
  // `stdoutFd` (-1: the daemon's own), standard error shared with the daemon.
  // The descriptors stay the caller's. Returns the wait status, or -1 when
  // the program could not be started. This is how the daemon feeds a file it
  // opened itself to a tool, or keeps a tool's output, without a shell
  // opening any path.
  virtual int runWithFiles(const std::vector<std::string>& argv, int stdinFd, int stdoutFd) = 0;
};

// The runner that really starts programs (through spawnProcess).
CommandRunner& realCommandRunner();

// How a part of the daemon reports the commands it runs as root.
struct CommandLog {
  const char* owner;         // "[Firewall]", "[TimezoneWorker]"
  bool progressToo = false;  // also on standard output (and failures only there)
  const char* lineEnd = "";  // appended to each line ("\n" or nothing)
};

// Logs "<owner> Execute cmd: <command><lineEnd>", then calls `run` and
// returns its result (a wait status). Should logging or `run` throw, logs
// "<owner> Failed Execute cmd: <command><lineEnd>" and returns -1.
int runLoggedCommand(const CommandLog& log, const std::string& command, const std::function<int()>& run);
// The same, running `command` with runner.runShell.
int runLoggedCommand(CommandRunner& runner, const CommandLog& log, const std::string& command);
