// One worker thread that runs the firewall's commands strictly one after the
// other, in the order they were issued.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CommandRunner;

// Rule scripts are "background" for their caller (it does not wait), yet a
// later save, restore or script must never overlap or overtake them: the
// kernel's rules would end up depending on scheduling. So every command
// goes through this FIFO and a single thread runs them.
//
// The worker thread is started lazily by the first command of a process, so
// an object built before the daemon forks gets its thread in the process
// that uses it. The thread is detached and never joined: the destructor
// ends a rule script that is running (with what it started), tells the
// thread to stop after the command that is running (pending ones are
// dropped) and waits a bounded time for it to let go of the runner.
class CommandQueue {
 public:
  // `runner` must outlive the queue's worker thread (see the destructor).
  explicit CommandQueue(CommandRunner& runner);
  ~CommandQueue();
  CommandQueue(const CommandQueue&) = delete;
  CommandQueue& operator=(const CommandQueue&) = delete;

  // Queues a rule script whose text was written to `freshPath`. At its turn
  // the worker renames `freshPath` over `path` and runs "sh <path> >/dev/null",
  // so the run sees exactly the text written for it. Returns at once; false
  // when the job could not be queued (`freshPath` is removed then).
  bool enqueueScript(const std::string& freshPath, const std::string& path);

  // Queues `command`, waits until it has run on the worker after everything
  // issued before it, and returns its result (a wait status; -1 when it
  // could not run or threw). `command` may use what the caller owns: the
  // caller waits for it.
  int runForeground(const std::function<int(CommandRunner&)>& command);

  // Returns when every command issued so far has finished.
  void waitIdle();

  // Ends the rule script that is running (its shell and everything it
  // started) and drops the queued ones; foreground commands are kept.
  // Returns when none of them runs any more, with the paths of the scripts
  // that did not run to their end, in issue order.
  std::vector<std::string> cutScripts();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};
