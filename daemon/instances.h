// The daemon's process-wide objects, built with the real command runner and
// the real paths, and what the worker hands down to the listener. Nothing
// below daemon/ names them: the listener, the dispatcher and the update job
// get them as arguments.
#pragma once

#include "firewall/firewall.h"
#include "timezone/timezone_worker.h"

struct ListenerOptions;

// Present while an update holds the firewall off (see
// FireWall::firewallOffForUpdate); the monitor removes it when it starts.
inline constexpr const char kHeldForUpdateFile[] = "/run/tundrafoxd/held-for-update";

// Constructed before main, in this order, and destroyed in reverse order at
// normal exit of every process that holds a copy (the starting process, the
// monitor, each worker).
extern FireWall firewallImpl;
extern TimezoneWorker timezoneWorkerImpl;

// The worker's listener: the all-open reset before it listens, the peer
// check of every connection, and every admitted request dispatched to the
// objects above.
const ListenerOptions& workerListenerOptions();

// The crash clean-up: puts a timezone the crashed worker changed back.
void restoreTimezoneAfterCrash();

// The stop clean-up of a worker: puts a timezone it changed back (waiting
// for a timezone request under way).
void restoreTimezoneBeforeExit();
