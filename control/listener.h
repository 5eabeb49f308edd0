// The control channel: one listener thread on the TCP control port and one
// detached thread per accepted connection. Each connection carries exactly
// one MessagePacket in and one MessageReply out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "control/message.h"
#include "control/socket_id.h"

// How a listener listens and what it does with a request.
struct ListenerOptions {
  // IPv4 address and port of the control socket. Port 0 picks a free port
  // (tests; see onListening).
  std::string address = "127.0.0.1";
  uint16_t port = kControlPort;
  // Where the listening socket's descriptor number is recorded (0 once the
  // listener has ended).
  std::string socketIdPath = kSocketIdFile;
  // Runs on the listener thread before the socket is opened (the daemon puts
  // the firewall into its all-open state here). Empty: nothing runs.
  std::function<void()> beforeListening;
  // Answers one request; runs on the connection's thread, any number of them
  // at once. Empty: every request is answered with nine zero bytes.
  std::function<MessageReply(const MessagePacket&)> handler;
  // Decides whether the peer of the accepted connection `clientFd` may have
  // its request acted on; runs on the connection's thread once the whole
  // record has arrived, before the handler. A refused peer's record is read
  // like any other (so its client is not left waiting) and answered with
  // nine zero bytes; the handler never sees it. Empty: every peer may.
  std::function<bool(int clientFd)> admitPeer;
  // Called once the socket listens, with its port. Empty: nothing is called.
  std::function<void(uint16_t port)> onListening;
};

// Runs a listener on the calling thread: opens, binds and listens, then
// accepts until stopListening() is called (or the socket stops listening
// otherwise), starting one detached connection_handler thread per
// connection. Returns at once when the socket cannot be created or bound.
// On return the listening socket is closed and 0 is written to the
// socket-id file. Connection threads may still be running then; they keep
// their own copy of the handler. One listener per process at a time.
void runListener(const ListenerOptions& opts);

// The worker's listener thread function. Detaches itself, then runs
// runListener with *static_cast<const ListenerOptions*>(arg), which must
// stay valid for the life of the process. Returns null.
void* listenThread(void* arg);

// The thread function of one connection. `arg` is the connection cell that
// the listener allocated; the thread owns it and the descriptor in it, and
// frees both. Receives one MessagePacket (each receive call bounded by 2
// seconds), checks the peer (admitPeer), answers with the handler's
// MessageReply (nine zero bytes for a refused peer) and closes. Returns null.
void* connection_handler(void* arg);

// Makes the running listener stop: shuts its socket down, which wakes the
// blocked accept, after which the accept loop ends, the listener closes the
// socket itself and writes 0 to the socket-id file. Returns the listening
// socket's descriptor number (for a log line), or 0 when no listener has a
// socket open. Safe from any thread; the listener may still be finishing
// when it returns.
int stopListening();
