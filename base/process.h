// The one way the daemon starts another program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct SpawnOptions {
  // Look argv[0] up on the search path (otherwise it must be a path).
  bool searchPath = false;
  // Standard output on /dev/null instead of the daemon's own.
  bool stdoutToDevNull = false;
  // The program leads a session (and process group) of its own, so it is
  // not ended with the worker's process group when the worker dies. For
  // programs that must outlive a worker restart (openvpn, the update job).
  bool newSession = false;
  // Descriptors to give the program as its standard input and output (-1:
  // /dev/null and the rule above). They stay owned by the caller.
  int stdinFd = -1;
  int stdoutFd = -1;
};

// Starts `argv` (no shell: every word reaches the program as it is).
// The program begins with an empty signal mask and default dispositions for
// every signal, standard input on /dev/null (or opts.stdinFd), standard
// output as `opts` say, standard error shared with the daemon, and no other
// descriptor of the daemon. Returns the process id, or
// -1 (errno set) when it could not be started. The caller must reap it
// (waitProcess or reapInBackground).
pid_t spawnProcess(const std::vector<std::string>& argv, const SpawnOptions& opts = {});

// Waits for `pid` to end, retrying EINTR. Returns its wait status, or -1.
int waitProcess(pid_t pid);

// Reaps `pid` from a detached thread, so that a program started in the
// background never stays a zombie.
void reapInBackground(pid_t pid);

// Runs `commandLine` with "/bin/sh -c" through spawnProcess and waits for the
// shell, like system(3), with `opts` for the shell. Returns the wait status,
// or -1 when the shell could not be started.
int runShellCommand(const std::string& commandLine, const SpawnOptions& opts = {});

// Who a file is read as: a user, its primary group and all its groups.
struct UserCredentials {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

// Reads the regular file at `path` in a forked child that holds only
// `user`'s credentials (groups, then group, then user ids all set) and none
// of the daemon's descriptors, and that streams the content back through a
// pipe: the file is opened exactly as that user could open it, links
// included. A FIFO or device is never waited on. True with the content in
// *content; false with *why set when the child could not take the
// credentials, the file cannot be opened or read, is not a regular file, is
// larger than `maxBytes`, or has not been read within `timeoutMs` (the
// child is then killed). `noFollow`: a link at the last component of `path`
// is refused rather than followed. Safe to call while other threads run.
bool readFileAsUser(const UserCredentials& user, const std::string& path, size_t maxBytes, int timeoutMs,
                    std::string* content, std::string* why, bool noFollow = false);

// Runs `fn(arg)` in a forked child that holds only `user`'s credentials (as
// readFileAsUser's child) and returns what it returned; -1 when the child
// could not be started or take them. `fn` runs after a fork of a threaded
// process: it may make only async-signal-safe calls (system calls, buffers
// on the stack, no allocation).
long runAsUser(const UserCredentials& user, long (*fn)(const void*), const void* arg);

// True when `status` (from waitProcess) is a normal exit with status 0.
bool exitedZero(int status);

// Ends `root` (a child of this process, not reaped yet) and every process
// descended from it. Each is stopped before its children are looked for, so
// none can start another meanwhile; then all are killed. Returns when none
// of the descendants runs any more (bounded: one stuck in the kernel is
// given up on after a few seconds); the caller reaps `root`.
void killProcessTree(pid_t root);

// From now on spawnProcess fails (ECANCELED) in every thread but the calling
// one. A process that is about to end calls it first, so that no other thread
// starts a program that would outlive it; the caller may still run what it
// waits for itself.
void stopOtherThreadsSpawning();

// Sends SIGKILL to every process of group `pgid` except the caller, again and
// again until none of them runs any more (a zombie counts as ended), for at
// most `wait`. Returns true when none is left.
bool endProcessGroup(pid_t pgid, std::chrono::milliseconds wait);
