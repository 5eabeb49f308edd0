#include "firewall/command_queue.h"

#include <unistd.h>

#include <chrono>
#include <deque>
#include <future>
#include <thread>

#include "base/command_runner.h"
#include "base/process.h"
#include "base/thread_annotations.h"

namespace {

struct Job {
  bool script = false;
  std::string first;   // script: the fresh file
  std::string second;  // script: the final path
  std::function<int(CommandRunner&)> command;  // a foreground command
  std::shared_ptr<std::promise<int>> done;     // set for foreground commands
};

// How long the destructor gives a running command to finish.
constexpr std::chrono::seconds kStopWait{5};

}  // namespace

// Shared by the queue object and its detached worker thread, so the thread
// never touches freed memory whichever of the two ends first.
struct CommandQueue::Shared {
  CommandRunner* runner;
  Mutex mu;
  CondVar work;  // jobs queued or stop requested
  CondVar idle;  // a job finished or the worker ended
  std::deque<Job> jobs GUARDED_BY(mu);
  bool busy GUARDED_BY(mu) = false;
  bool stopping GUARDED_BY(mu) = false;
  bool workerAlive GUARDED_BY(mu) = false;
  pid_t workerPid GUARDED_BY(mu) = 0;  // the process whose thread serves `jobs`
  // The script that runs now: its final path, and its shell once started.
  std::string runningScript GUARDED_BY(mu);
  pid_t scriptShell GUARDED_BY(mu) = 0;
  bool cutRunning GUARDED_BY(mu) = false;  // it is to be ended

  explicit Shared(CommandRunner& r) : runner(&r) {}

  int runJob(const Job& job) EXCLUDES(mu) {
    try {
      if (!job.script) return job.command(*runner);
      // Only now does the final name get the new text: an earlier run of
      // the same script has finished, since runs never overlap.
      if (::rename(job.first.c_str(), job.second.c_str()) != 0) {
        ::unlink(job.first.c_str());
        return -1;
      }
      return runner->runShellReporting("sh " + job.second + " >/dev/null", [this](pid_t shell) {
        MutexLock lk(mu);
        scriptShell = shell;
        // Cut before its shell was known: ended now, before it applies more.
        if (shell > 0 && cutRunning) killProcessTree(shell);
      });
    } catch (...) {
      return -1;
    }
  }

  static void workerLoop(std::shared_ptr<Shared> s) {
    MutexLock lk(s->mu);
    for (;;) {
      while (!s->stopping && s->jobs.empty()) s->work.wait(lk);
      if (s->stopping) break;
      Job job = std::move(s->jobs.front());
      s->jobs.pop_front();
      s->busy = true;
      if (job.script) s->runningScript = job.second;
      lk.unlock();
      int status = s->runJob(job);
      if (job.done) job.done->set_value(status);
      lk.lock();
      s->busy = false;
      s->runningScript.clear();
      s->scriptShell = 0;
      s->cutRunning = false;
      s->idle.notify_all();
    }
    s->dropPendingLocked();
    s->workerAlive = false;
    s->idle.notify_all();
  }

  void dropPendingLocked() REQUIRES(mu) {
    for (Job& job : jobs) {
      if (job.script) ::unlink(job.first.c_str());
      if (job.done) job.done->set_value(-1);
    }
    jobs.clear();
  }

  // Starts this process's worker when it has none. A copy inherited across
  // fork has no thread behind it, and its queued jobs belong to the parent.
  // Throws when no thread can be started.
  void ensureWorkerLocked(const std::shared_ptr<Shared>& self) REQUIRES(mu) {
    pid_t me = ::getpid();
    if (workerPid == me && workerAlive) return;
    if (workerPid != me) {
      jobs.clear();
      busy = false;
    }
    std::thread(workerLoop, self).detach();
    workerPid = me;
    workerAlive = true;
  }

  // Queues `job`; false when stopping or no worker can be started.
  bool push(const std::shared_ptr<Shared>& self, Job job) EXCLUDES(mu) {
    {
      MutexLock lk(mu);
      if (stopping) return false;
      try {
        ensureWorkerLocked(self);
        jobs.push_back(std::move(job));
      } catch (...) {
        return false;
      }
    }
    work.notify_one();
    return true;
  }
};

std::vector<std::string> CommandQueue::cutScripts() {
  Shared& s = *shared_;
  std::vector<std::string> cut;
  MutexLock lk(s.mu);
  if (s.workerPid != ::getpid()) return cut;
  if (!s.runningScript.empty()) {
    cut.push_back(s.runningScript);
    s.cutRunning = true;
    // The runner clears scriptShell under this lock before it reaps the
    // shell, so the number still names it. Not started yet: the worker ends
    // it as soon as it is.
    if (s.scriptShell > 0) killProcessTree(s.scriptShell);
  }
  std::deque<Job> kept;
  for (Job& job : s.jobs) {
    if (job.script) {
      cut.push_back(job.second);
      ::unlink(job.first.c_str());
    } else {
      kept.push_back(std::move(job));
    }
  }
  s.jobs = std::move(kept);
  while (s.busy && !s.runningScript.empty() && s.workerAlive) s.idle.wait(lk);
  return cut;
}

CommandQueue::CommandQueue(CommandRunner& runner) : shared_(std::make_shared<Shared>(runner)) {}

CommandQueue::~CommandQueue() {
  Shared& s = *shared_;
  MutexLock lk(s.mu);
  s.stopping = true;
  s.work.notify_all();
  // A rule script must not go on changing the tables after its process has
  // ended (a next worker restores the user's rules at its start): it ends
  // now, with what it started.
  if (s.workerPid == ::getpid() && !s.runningScript.empty()) {
    s.cutRunning = true;
    if (s.scriptShell > 0) killProcessTree(s.scriptShell);
  }
  // Give a running command a bounded time to finish, so a runner owned by
  // the caller is not used after it is gone; never join (the worker may
  // belong to a process image that forked, or be stuck in a command).
  if (s.workerPid == ::getpid()) {
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (s.workerAlive && s.idle.wait_until(lk, deadline) != std::cv_status::timeout) {
    }
  }
}

bool CommandQueue::enqueueScript(const std::string& freshPath, const std::string& path) {
  Job job;
  job.script = true;
  job.first = freshPath;
  job.second = path;
  if (shared_->push(shared_, std::move(job))) return true;
  ::unlink(freshPath.c_str());
  return false;
}

int CommandQueue::runForeground(const std::function<int(CommandRunner&)>& command) {
  Job job;
  job.command = command;
  job.done = std::make_shared<std::promise<int>>();
  std::future<int> result = job.done->get_future();
  if (!shared_->push(shared_, std::move(job))) return -1;
  return result.get();
}

void CommandQueue::waitIdle() {
  Shared& s = *shared_;
  MutexLock lk(s.mu);
  if (s.workerPid != ::getpid()) return;
  while (!(s.jobs.empty() && !s.busy) && s.workerAlive) s.idle.wait(lk);
}
