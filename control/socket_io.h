// Whole-buffer receive and send on a connected socket, each call bounded by
// a time-out.
#pragma once

#include <chrono>

// Receives exactly `len` bytes into `buf`. The socket's receive time-out is
// set to `timeoutSeconds` before every receive call, so it bounds each call,
// not the whole transfer. Returns `len` when all bytes arrived, 0 when `len`
// is 0, and -1 when the peer closed first, a call timed out or failed, or
// `len` is negative (errno tells which, 0 after a close by the peer).
// Interrupted calls are retried.
int socketRecvAll(int fd, void* buf, int len, int timeoutSeconds);

// The same, and all of it by `deadline`: each call waits at most
// `timeoutSeconds` and never past the deadline (errno ETIMEDOUT once it has
// passed), so a peer that sends a byte now and then cannot hold the
// connection for longer.
int socketRecvAll(int fd, void* buf, int len, int timeoutSeconds, std::chrono::steady_clock::time_point deadline);

// Sends `len` bytes from `buf`. The send time-out is set before every call.
// Never raises SIGPIPE: a peer that reset the connection gives -1. Returns
// the number of bytes sent (at least `len`) when all were handed to the
// system, 0 when `len` is 0 or negative, -1 on a failed or timed-out call.
// Interrupted calls are retried.
int socketSendAll(int fd, const void* buf, int len, int timeoutSeconds);
