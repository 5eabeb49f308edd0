// The worker's crash report: a backtrace in the system log and exit status 1,
// which makes the monitor restart the worker after a pause.
#pragma once

#include <signal.h>

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
