// The control channel: one listener thread on the TCP control port and one
// detached thread per accepted connection (a thread whose connection has
// ended waits a moment and serves the next one, if one comes). Each
// connection carries exactly one MessagePacket in and one MessageReply out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/peer_owner.h"
#include "base/unique_fd.h"
#include "control/message.h"
#include "control/socket_id.h"

// How a listener listens and what it does with a request.
struct ListenerOptions {
  // IPv4 address and port of the control socket. Port 0 picks a free port
  // (tests; see onListening).
  std::string address = "127.0.0.1";
  uint16_t port = kControlPort;
  // A socket that openControlSocket opened (in the daemon: the monitor, once,
  // so that the port stays bound while workers come and go). The listener
  // takes it over and closes it when it ends. -1: the listener opens its
  // own socket on `address`:`port`.
  int listeningSocket = -1;
  // Where the listening socket's descriptor number is recorded (0 once the
  // listener has ended).
  std::string socketIdPath = kSocketIdFile;
  // Runs on the listener thread before the socket is opened (the daemon puts
  // the firewall into its all-open state here). Empty: nothing runs.
  std::function<void()> beforeListening;
  // Answers one request from `peer` (the owner found at accept; not found
  // when admitPeer is empty); runs on the connection's thread, any number of
  // them at once. Empty: every request is answered with nine zero bytes.
  std::function<MessageReply(const MessagePacket&, const PeerOwner& peer)> handler;
  // Decides whether `peer`, the owner of an accepted connection's socket, may
  // send a request. The listener finds the owner (findPeerOwner) on its own
  // thread right after accept, by the connection's 4-tuple; a peer it cannot
  // find, and one of a user who holds maxConnectionsPerUser connections
  // already, is refused there without a thread. This runs on the
  // connection's thread before anything is read. A refused peer gets nine
  // zero bytes at once and its connection is closed unread: it costs no
  // receive and no record. Empty: every peer may, and none is looked up.
  std::function<bool(const PeerOwner& peer)> admitPeer;
  // Where the refusals go, one line each (refusalLine), at most
  // RefusalLog::kLinesPerWindow lines a second. Empty: nowhere.
  std::function<void(std::string_view line)> logRefusal;
  // How many connections of one user other than root may be open at a time
  // past accept (when peers are looked up); the next one is refused. Enough for a
  // client's requests many times over; what keeps one user from holding
  // the daemon's threads and descriptors.
  int maxConnectionsPerUser = 128;
  // Called once the socket listens, with its port. Empty: nothing is called.
  std::function<void(uint16_t port)> onListening;
};

// Opens the control socket: IPv4 TCP, close-on-exec, SO_REUSEADDR (never
// SO_REUSEPORT, which would let another process bind the port beside it),
// an abortive close (SO_LINGER 0, inherited by accepted sockets), bound to
// `address`:`port` and listening. The socket survives fork, so processes
// forked afterwards share it. On failure returns an invalid UniqueFd and
// sets `*failure` to the failed step with the system's reason ("bind
// failed. Error: Address already in use"), which is also printed to
// standard error; logging it is the caller's choice.
UniqueFd openControlSocket(const std::string& address, uint16_t port, std::string* failure);

// Runs a listener on the calling thread: takes over opts.listeningSocket
// (listening on it again) or opens its own with openControlSocket, then
// accepts until stopListening() is called (or the socket stops listening
// otherwise), starting one detached connection_handler thread per
// connection. Returns at once when its own socket cannot be opened (the
// reason goes to the system log).
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
// frees both. Checks the peer (admitPeer), receives one MessagePacket (each
// receive call bounded by 2 seconds, the whole record by 5), answers with
// the handler's MessageReply and closes. Only a request that was answered
// logs "close(client_sock);": a refused peer logs its refusal line (within
// the rate limit), and a connection that ends before a whole record logs
// nothing. Then the thread waits up to a second for the listener to hand it
// the next connection (at most 64 threads wait so), and ends when none
// comes. Returns null.
void* connection_handler(void* arg);

// Makes the running listener stop: shuts its socket down, which wakes the
// blocked accept, after which the accept loop ends, the listener closes the
// socket itself and writes 0 to the socket-id file. The shutdown acts on the
// socket, not on this process's descriptor: the port stops listening even
// while another process (the monitor) holds a copy of the socket. Returns the listening
// socket's descriptor number (for a log line), or 0 when no listener has a
// socket open. Safe from any thread; the listener may still be finishing
// when it returns.
int stopListening();
