#include "base/process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace {

// RAII for the posix_spawn attribute objects.
struct SpawnSetup {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

pid_t spawnProcess(const std::vector<std::string>& argv, const SpawnOptions& opts) {
  if (argv.empty()) {
    errno = EINVAL;
    return -1;
  }
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  SpawnSetup s;
  // The worker blocks its stop signals and handles crash signals; none of
  // that may reach a started program, which must still stop on SIGTERM.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&s.attr, &none);
  posix_spawnattr_setsigdefault(&s.attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (opts.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&s.attr, flags);

  if (opts.stdinFd >= 0) {
    posix_spawn_file_actions_adddup2(&s.actions, opts.stdinFd, 0);
  } else {
    posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (opts.stdoutFd >= 0) {
    posix_spawn_file_actions_adddup2(&s.actions, opts.stdoutFd, 1);
  } else if (opts.stdoutToDevNull) {
    posix_spawn_file_actions_addopen(&s.actions, 1, "/dev/null", O_WRONLY, 0);
  }
  // Everything is opened close-on-exec already; this also covers descriptors
  // that a library opened without it.
  posix_spawn_file_actions_addclosefrom_np(&s.actions, 3);

  pid_t pid = -1;
  int rc = opts.searchPath ? posix_spawnp(&pid, args[0], &s.actions, &s.attr, args.data(), environ)
                           : posix_spawn(&pid, args[0], &s.actions, &s.attr, args.data(), environ);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

int waitProcess(pid_t pid) {
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) return status;
    if (r < 0 && errno == EINTR) continue;
    return -1;
  }
}

void reapInBackground(pid_t pid) {
  try {
    std::thread([pid] { waitProcess(pid); }).detach();
  } catch (...) {
    // No thread to spare: reap it now rather than leave a zombie behind.
    waitProcess(pid);
  }
}

int runShellCommand(const std::string& commandLine, const SpawnOptions& opts) {
  pid_t pid = spawnProcess({"/bin/sh", "-c", commandLine}, opts);
  if (pid < 0) return -1;
  return waitProcess(pid);
}

bool exitedZero(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }
