// The monitor process, which supervises the worker.
#pragma once

// The monitor's own pid file, written once before the first worker starts.
inline constexpr const char kMonitorPidFile[] = "/var/run/tundrafoxd_child.pid";

// The monitor loop. First binds the control socket that every worker
// inherits (retrying about once a second, each new failure logged), then
// forks the worker and restarts it (after 1 second when it ended with
// status 1, at once on any status but 2). Each worker leads its own process
// group; once a worker has ended, what is left of its group is killed and
// waited for (bounded) before anything else happens (a worker that stops
// does so itself before it exits). Returns 2 when the
// worker stopped with status 2, 0 when the monitor got SIGQUIT, SIGINT,
// SIGTERM or SIGUSR1 (the worker is sent SIGTERM; both cases remove the pid
// lock file). SIGHUP is logged and ignored. Single-threaded: it forks.
int MonitorProc();

// Writes the calling process's id as decimal text (no newline) into the file
// at `filename`, created or truncated. Failures are ignored.
void SetPidFile(const char* filename);
