// Who is on the other end of a local TCP connection: the user that owns the
// peer's socket, as the kernel records it.
#pragma once

#include <sys/types.h>

#include <string>

struct PeerOwner {
  bool found = false;
  uid_t uid = 0;        // valid when found
  // The inode of the peer's socket (netlink's idiag_inode, the inode column
  // of /proc/net/tcp); valid when found, and never 0 then. With it the
  // process that holds the socket can be found in /proc/PID/fd.
  ino_t inode = 0;
  std::string failure;  // why nothing was found, for a log line
};

// How findPeerOwner asks the kernel.
enum class PeerLookup {
  kNetlink,     // socket diagnostics (NETLINK_SOCK_DIAG, inet_diag), one round trip
  kProcNetTcp,  // a scan of /proc/net/tcp, then /proc/net/tcp6
  kAny,         // netlink, then the scan when netlink has no answer
};

// Finds the owner of the socket at the other end of the connected IPv4 TCP
// socket `fd`, when that socket lives on this machine (in this network
// namespace), e.g. a client on loopback; the peer's socket may be an IPv4
// one or an IPv6 one connected through the v4-mapped address (::ffff:a.b.c.d).
// The peer's socket is looked up by
// the connection's exact 4-tuple, and the answer is taken only when it names
// that very socket, still held by a process: a socket that its process has
// closed (orphaned, or in TIME-WAIT) carries no owner — the kernel reports
// root for such sockets — and counts as not found. Not found as well: a peer
// on another machine, a descriptor that is not a connected IPv4 TCP socket,
// and any failure of the lookup. Once netlink has found a socket in this
// process, its "no such socket" is final (no scan of /proc follows), so a
// peer that is gone costs as little as one that is found. Never blocks for
// more than about a second.
// Keeps one netlink socket (close-on-exec) open between calls; every other
// descriptor it opens is closed before it returns. Thread-safe.
PeerOwner findPeerOwner(int fd, PeerLookup how = PeerLookup::kAny);
