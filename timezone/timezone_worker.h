// The system timezone, changed on the client's behalf and set back to the
// machine's default.
#pragma once

#include <cstddef>
#include <string>

#include "base/thread_annotations.h"

class CommandRunner;

// Where the default timezone is looked up, in this order: the first file
// when it can be opened at all, otherwise the ZONE key of the second, then
// the TZ key of the third.
struct TimezoneFiles {
  std::string timezoneList = "/etc/timezone";
  std::string sysconfigClock = "/etc/sysconfig/clock";
  std::string timezoneConfig = "/etc/TIMEZONE";
};

// What a change or restore request came to.
enum class TimezoneOutcome {
  kDone,         // timedatectl ran and succeeded
  kNothingToDo,  // restore requested but this worker changed nothing
  kUnsupported,  // no default timezone: nothing runs
  kRefused,      // the name is not an acceptable timezone name: nothing runs
  kFailed,       // timedatectl failed (or could not start); state unchanged
};

// Finds the default timezone once, at construction, and changes the system
// timezone through "timedatectl set-timezone" run by `runner`. Every
// operation holds one lock, so concurrent requests run one after another.
//
// While the timezone is changed, `stateFile` (when given) holds the name to
// put back, so that a later process can take the change over
// (adoptEarlierChange) when the one that made it was killed outright.
class TimezoneWorker {
 public:
  // `runner` must outlive the object.
  TimezoneWorker(TimezoneFiles files, CommandRunner& runner, std::string stateFile = {});
  // Sets a timezone that this object changed back to the default.
  ~TimezoneWorker();
  TimezoneWorker(const TimezoneWorker&) = delete;
  TimezoneWorker& operator=(const TimezoneWorker&) = delete;

  // Sets the system timezone to `name` after checking it
  // (timezoneNameProblem). kDone marks the timezone as changed.
  TimezoneOutcome setTimezone(const std::string& name) EXCLUDES(mu_);
  // Sets the default timezone back when this object changed it (or adopted
  // a change).
  TimezoneOutcome restore() EXCLUDES(mu_);

  // For the start of a worker process: when the state file says that the
  // timezone was changed and not put back, this object takes the change
  // over, so its restore, its destructor and its crash clean-up put back the
  // timezone recorded there.
  void adoptEarlierChange() EXCLUDES(mu_);

  // True when setTimezone(name) gave kDone.
  bool changeToIP(const char* name);
  // True when restore() ran the command and it succeeded; false when
  // unsupported, nothing was changed, or timedatectl failed.
  bool restoreToDefault();

  // For a crash clean-up: sets a timezone that this object changed back to
  // the default, unless another thread holds the lock (the crashed thread
  // may). Best effort: it logs and starts timedatectl, which allocates, so
  // the caller should bound it (the daemon arms an alarm first). True when
  // the restore ran and succeeded.
  bool restoreAfterCrash() EXCLUDES(mu_);

  // Logs and runs `commandLine` through the shell. Returns the wait status,
  // or -1 when it could not be run.
  int executeRootCommand(const std::string& commandLine);

  // Looks up the default timezone in the three files. Returns `buf` (a
  // terminated name) when one was found, nullptr otherwise.
  char* findDefaultTZ(char* buf, size_t size) const;
  // Reads `path` for a line "KEY=VALUE" and copies the first word of the
  // value, double quotes dropped, into `buf` (terminated, at most size - 1
  // characters examined). Returns `buf`, or nullptr when the file cannot be
  // opened, the key is missing or its value is empty.
  static char* getValue(const char* path, const char* key, char* buf, size_t size);

  // A default timezone was found: change and restore can work.
  bool isSupported() const { return supported; }
  bool isChanged() const EXCLUDES(mu_);
  const std::string& getDefaultTimezone() const { return defaultTimezone; }

 private:
  TimezoneOutcome restoreLocked() REQUIRES(mu_);
  void init();

  TimezoneFiles files_;
  CommandRunner& runner_;
  const std::string stateFile_;
  mutable Mutex mu_;
  bool supported = false;  // set once by the constructor
  bool changed GUARDED_BY(mu_) = false;
  std::string defaultTimezone;
  // What restore sets: defaultTimezone, or the name an adopted change
  // recorded.
  std::string restoreTo_ GUARDED_BY(mu_);
};
