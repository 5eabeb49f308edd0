// The worker process: the listener thread and the wait for a stop signal.
#pragma once

#include <pthread.h>
#include <sys/types.h>

// The worker's listener thread (detached; valid only while started).
extern pthread_t serverThr;

// The worker: installs the crash handlers, blocks the stop signals, starts
// the listener thread and waits for SIGQUIT, SIGINT or SIGTERM (SIGHUP is
// logged and ignored). Then ends every program it started in its process
// group and waits (bounded) until none runs, and returns 2, the worker's
// exit status. Returns 1, as a crash does, when the listener thread could not
// be started.
int WorkProc();

// Starts listenThread as serverThr, with the worker's listener options.
// Returns 0 when it started, the pthread error number otherwise.
int InitWorkThread();

// Lets go of serverThr without joining it (the thread detached itself).
// Does nothing when no listener thread was started. Async-signal-safe.
void DestroyWorkThread();

// The listening control socket, opened once by the monitor, that every
// worker it forks afterwards accepts on.
void setWorkerControlSocket(int fd);

// The first steps of a newly forked worker, before WorkProc: it leads a
// process group of its own, so that it (on a stop) or the monitor (after a
// crash or kill) can end whatever it left running (its group holds the
// programs it started, except those started in a session of their own), and
// it gets SIGTERM, taken by WorkProc's usual stop path, when `monitor` (its
// parent) dies.
void attachWorkerToMonitor(pid_t monitor);
