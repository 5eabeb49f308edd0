#include "base/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "base/error_text.h"
#include "base/unique_fd.h"

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

// Spawns hold it shared; stopOtherThreadsSpawning takes it exclusively, so
// once it returns no spawn of another thread is under way.
std::shared_mutex gSpawnGate;
std::atomic<bool> gSpawningStopped{false};
std::thread::id gLastSpawner;  // the one thread still allowed (guarded by gSpawnGate)

constexpr unsigned kGroupPollMicros = 10 * 1000;

// The ids of the living processes of group `pgid` (zombies left out).
std::vector<pid_t> livingGroupMembers(pid_t pgid) {
  std::vector<pid_t> members;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return members;
  while (const dirent* e = ::readdir(proc.get())) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    UniqueFd fd(::open((std::string("/proc/") + e->d_name + "/stat").c_str(), O_RDONLY | kOpenBaseFlags));
    char buf[512];
    ssize_t n = fd ? ::read(fd.get(), buf, sizeof buf - 1) : -1;
    if (n <= 0) continue;
    buf[n] = '\0';
    // "pid (comm) state ppid pgrp ...": comm may hold anything, even ')'.
    const char* close = std::strrchr(buf, ')');
    char state = 0;
    int ppid = 0, pgrp = 0;
    if (close != nullptr && std::sscanf(close + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 && pgrp == pgid &&
        state != 'Z' && state != 'X') {
      members.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
    }
  }
  return members;
}

}  // namespace

void stopOtherThreadsSpawning() {
  std::unique_lock lock(gSpawnGate);
  gLastSpawner = std::this_thread::get_id();
  gSpawningStopped.store(true);
}

bool endProcessGroup(pid_t pgid, std::chrono::milliseconds wait) {
  const pid_t self = ::getpid();
  const bool inGroup = ::getpgrp() == pgid;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    // A member may still fork while it is being killed: its children join
    // the group and are found in the next round.
    if (!inGroup) ::kill(-pgid, SIGKILL);
    std::vector<pid_t> members = livingGroupMembers(pgid);
    std::erase(members, self);
    if (members.empty()) return true;
    if (inGroup) {
      for (pid_t pid : members) ::kill(pid, SIGKILL);
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::usleep(kGroupPollMicros);
  }
}

pid_t spawnProcess(const std::vector<std::string>& argv, const SpawnOptions& opts) {
  if (argv.empty()) {
    errno = EINVAL;
    return -1;
  }
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  std::shared_lock gate(gSpawnGate);
  if (gSpawningStopped.load() && std::this_thread::get_id() != gLastSpawner) {
    errno = ECANCELED;
    return -1;
  }

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

namespace {

// Exit statuses of the reading child beyond errno values.
constexpr int kNotRegular = 250;
constexpr int kNoCredentials = 251;

// The child of readFileAsUser. Only system calls from here: the daemon's
// other threads may have held any lock at the fork. Raw system calls for the
// ids: they change this (the only) thread, without the C library's
// broadcast to threads that no longer exist here.
[[noreturn]] void readAsUserChild(const UserCredentials& user, const char* path, int out, bool noFollow) {
  if (out != 3 && ::dup2(out, 3) != 3) ::_exit(kNoCredentials);
  ::syscall(SYS_close_range, 4U, ~0U, 0U);
  if (::syscall(SYS_setgroups, user.groups.size(), user.groups.data()) != 0 ||
      ::syscall(SYS_setresgid, user.gid, user.gid, user.gid) != 0 ||
      ::syscall(SYS_setresuid, user.uid, user.uid, user.uid) != 0)
    ::_exit(kNoCredentials);
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) ::_exit(errno > 0 && errno < 200 ? errno : EIO);
  if (!S_ISREG(st.st_mode)) ::_exit(kNotRegular);
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) ::_exit(0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ::_exit(errno > 0 && errno < 200 ? errno : EIO);
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(3, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno != EINTR) ::_exit(EPIPE);
      if (w > 0) done += w;
    }
  }
}

}  // namespace

bool readFileAsUser(const UserCredentials& user, const std::string& path, size_t maxBytes, int timeoutMs,
                    std::string* content, std::string* why, bool noFollow) {
  content->clear();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *why = errorText(errno);
    return false;
  }
  UniqueFd in(fds[0]), out(fds[1]);
  const pid_t pid = ::fork();
  if (pid < 0) {
    *why = errorText(errno);
    return false;
  }
  if (pid == 0) readAsUserChild(user, path.c_str(), out.get(), noFollow);
  out.reset();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string text;
  const char* failure = nullptr;
  for (char buf[8192];;) {
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{in.get(), POLLIN, 0};
    const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      failure = "not read in time";
      break;
    }
    const ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the child's end: its status tells how it went
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > maxBytes) {
      failure = "too large";
      break;
    }
  }
  if (failure != nullptr) ::kill(pid, SIGKILL);
  const int status = waitProcess(pid);
  if (failure == nullptr && !exitedZero(status)) {
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : kNoCredentials;
    failure = code == kNotRegular      ? "not a regular file"
              : code == kNoCredentials ? "could not take the user's credentials"
                                       : errorText(code);
  }
  if (failure != nullptr) {
    *why = failure;
    return false;
  }
  *content = std::move(text);
  return true;
}

bool exitedZero(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

namespace {

// The state letter and parent of `pid` from /proc; false when it is gone.
bool procState(pid_t pid, char* state, pid_t* parent) {
  char path[32], buf[512];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  // "pid (comm) state ppid ...": comm may hold anything, even ')'.
  const char* close = std::strrchr(buf, ')');
  int ppid = 0;
  if (close == nullptr || std::sscanf(close + 1, " %c %d", state, &ppid) != 2) return false;
  *parent = ppid;
  return true;
}

// True while `pid` exists and is neither a zombie nor dead.
bool living(pid_t pid) {
  char state = 0;
  pid_t parent = 0;
  return procState(pid, &state, &parent) && state != 'Z' && state != 'X';
}

// Waits (bounded) until `pid` is stopped, or no longer living.
void waitStopped(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  char state = 0;
  pid_t parent = 0;
  while (procState(pid, &state, &parent) && state != 'T' && state != 't' && state != 'Z' && state != 'X' &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

void killProcessTree(pid_t root) {
  std::vector<pid_t> tree = {root};
  for (size_t level = 0; level < tree.size();) {
    const size_t end = tree.size();
    for (size_t i = level; i < end; ++i) {
      ::kill(tree[i], SIGSTOP);
      waitStopped(tree[i]);
    }
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    while (proc != nullptr) {
      const dirent* e = ::readdir(proc.get());
      if (e == nullptr) break;
      const pid_t pid = std::atoi(e->d_name);
      char state = 0;
      pid_t parent = 0;
      if (pid <= 0 || !procState(pid, &state, &parent) || state == 'Z' || state == 'X') continue;
      for (size_t i = level; i < end; ++i) {
        if (parent == tree[i]) {
          tree.push_back(pid);
          break;
        }
      }
    }
    level = end;
  }
  for (pid_t pid : tree) ::kill(pid, SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (size_t i = 1; i < tree.size(); ++i) {
    while (living(tree[i]) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

long runAsUser(const UserCredentials& user, long (*fn)(const void*), const void* arg) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  UniqueFd in(fds[0]), out(fds[1]);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // As in readAsUserChild: only system calls, the ids set for this thread.
    long result = -1;
    if (::syscall(SYS_setgroups, user.groups.size(), user.groups.data()) == 0 &&
        ::syscall(SYS_setresgid, user.gid, user.gid, user.gid) == 0 &&
        ::syscall(SYS_setresuid, user.uid, user.uid, user.uid) == 0)
      result = fn(arg);
    ::_exit(::write(out.get(), &result, sizeof result) == sizeof result ? 0 : 1);
  }
  out.reset();
  long result = -1;
  ssize_t got;
  do got = ::read(in.get(), &result, sizeof result);
  while (got < 0 && errno == EINTR);
  waitProcess(pid);
  return got == sizeof result ? result : -1;
}
