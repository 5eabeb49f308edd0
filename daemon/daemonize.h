// Detaching from the terminal, the pid lock file and the daemon's signal
// handler.
#pragma once

#include <syslog.h>

// How the daemon's system log is opened (main, and again after daemonize
// has closed every descriptor).
inline constexpr const char kLogIdent[] = "tundrafoxd";
inline constexpr int kLogOptions = LOG_CONS | LOG_PERROR;
inline constexpr int kLogFacility = LOG_USER;

// The pid lock file, locked by the monitor and removed when it stops.
inline constexpr const char kPidLockFile[] = "/var/run/tundrafoxd.pid";

// The open, locked pid lock file in the monitor (inherited by workers, which
// do not hold the lock), -1 when none. daemonShutdown closes it.
extern int pidFilehandle;

// Detaches the process and runs the monitor. Returns at once, doing nothing,
// when the parent is process 1; otherwise returns only in the detached
// monitor after MonitorProc has returned. The starting process ends inside
// with status 0, or 1 when `pidfile` exists and is not a regular file (a
// symlink, directory or FIFO is never followed or blocked on); the detached
// child ends with status 1 when setsid fails or `pidfile` cannot be opened
// or locked (another instance runs). `pidfile` is truncated once locked and
// holds "<pid>\n".
void daemonize(const char* rundir, const char* pidfile);

// Logs "Daemon exiting" and closes the pid lock file (releasing the lock).
void daemonShutdown();

// Handler for SIGHUP, SIGTERM and SIGINT while they are not blocked: logs
// "Received SIG... signal." at LOG_WARNING and returns, nothing else.
// Async-signal-safe (logs through safeSyslog).
void signal_handler(int sig);
