// Daemonization, the monitor process that supervises the worker, the worker
// process itself, and their signal handlers.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <syslog.h>

// How the daemon's system log is opened (main, and again after daemonize
// has closed every descriptor).
inline constexpr const char kLogIdent[] = "tundrafoxd";
inline constexpr int kLogOptions = LOG_CONS | LOG_PERROR;
inline constexpr int kLogFacility = LOG_USER;

// The pid lock file, locked by the monitor and removed when it stops.
inline constexpr const char kPidLockFile[] = "/var/run/tundrafoxd.pid";
// The monitor's own pid file, written once before the first worker starts.
inline constexpr const char kMonitorPidFile[] = "/var/run/tundrafoxd_child.pid";

// The open, locked pid lock file in the monitor (inherited by workers, which
// do not hold the lock), -1 when none. daemonShutdown closes it.
extern int pidFilehandle;
// The worker's listener thread (detached; valid only while started).
extern pthread_t serverThr;

// Detaches the process and runs the monitor. Returns at once, doing nothing,
// when the parent is process 1; otherwise returns only in the detached
// monitor after MonitorProc has returned. The starting process ends inside
// with status 0; the detached child ends with status 1 when setsid fails or
// `pidfile` cannot be opened or locked (another instance runs). `pidfile` is
// truncated once locked and holds "<pid>\n".
void daemonize(const char* rundir, const char* pidfile);

// Logs "Daemon exiting" and closes the pid lock file (releasing the lock).
void daemonShutdown();

// Handler for SIGHUP, SIGTERM and SIGINT while they are not blocked: logs
// "Received SIG... signal." at LOG_WARNING and returns, nothing else.
// Async-signal-safe (logs through safeSyslog).
void signal_handler(int sig);

// The monitor loop: forks the worker and restarts it (after 1 second when it
// ended with status 1, at once on any status but 2). Returns 2 when the
// worker stopped with status 2, 0 when the monitor got SIGQUIT, SIGINT,
// SIGTERM or SIGUSR1 (the worker is sent SIGTERM; both cases remove the pid
// lock file). SIGHUP is logged and ignored. Single-threaded: it forks.
int MonitorProc();

// The worker: installs the crash handlers, blocks the stop signals, starts
// the listener thread and waits for SIGQUIT, SIGINT or SIGTERM (SIGHUP is
// logged and ignored). Returns 2, the worker's exit status.
int WorkProc();

// Starts listenThread (null argument) as serverThr. Returns 0 when it
// started, the pthread error number otherwise.
int InitWorkThread();

// Lets go of serverThr without joining it (the thread detached itself).
// Does nothing when no listener thread was started. Async-signal-safe.
void DestroyWorkThread();

// Crash handler for SIGFPE, SIGILL, SIGSEGV and SIGBUS (SA_SIGINFO). Logs
// the signal and fault address (0 for a signal sent by a process, whose
// information carries no address), a backtrace and "[DAEMON] Stopped\n",
// runs the crash clean-up hook and ends the process with _exit(1): normal
// exit could block on locks that the crashed thread holds. Never returns.
void signal_error(int sig, siginfo_t* info, void* ptr);

// Prepares the crash report (loads the unwinder, opens the pipe that
// signal_error reads symbol lines back from, takes the UTC offset for its
// log lines) and installs signal_error for SIGFPE, SIGILL, SIGSEGV and
// SIGBUS. WorkProc calls it first.
void installCrashHandlers();

// Registers the function that signal_error runs just before ending the
// process (e.g. to put back a setting the worker changed), or none (null).
// It runs on the crashed thread, in a process whose state may be damaged.
void setCrashCleanup(void (*cleanup)());

// Writes the calling process's id as decimal text (no newline) into the file
// at `filename`, created or truncated. Failures are ignored.
void SetPidFile(const char* filename);
