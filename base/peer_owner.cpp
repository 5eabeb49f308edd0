#include "base/peer_owner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/error_text.h"
#include "base/unique_fd.h"

namespace {

// The connection as the peer's socket sees it: its own address is our peer
// address, its remote address is our local one. Addresses and ports in
// network byte order, as the kernel keeps them.
struct Tuple {
  uint32_t peerAddr = 0;
  uint16_t peerPort = 0;
  uint32_t localAddr = 0;
  uint16_t localPort = 0;
};

std::string endpointText(uint32_t addr, uint16_t port) {
  char text[INET_ADDRSTRLEN] = "?";
  struct in_addr a;
  a.s_addr = addr;
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(port));
}

std::string connectionText(const Tuple& t) {
  return endpointText(t.peerAddr, t.peerPort) + " -> " + endpointText(t.localAddr, t.localPort);
}

PeerOwner notFound(std::string why) { return PeerOwner{false, 0, 0, std::move(why)}; }

// Answer for a socket found by its 4-tuple: only a socket that a process
// still holds (it has an inode) has a real owner.
PeerOwner ownerOfFoundSocket(const Tuple& t, uid_t uid, unsigned long inode) {
  if (inode == 0) {
    return notFound("the peer's socket " + endpointText(t.peerAddr, t.peerPort) + " is no longer held by any process");
  }
  return PeerOwner{true, uid, static_cast<ino_t>(inode), {}};
}

bool connectionTuple(int fd, Tuple* t, std::string* why) {
  struct sockaddr_in peer {};
  struct sockaddr_in local {};
  socklen_t peerLen = sizeof peer;
  socklen_t localLen = sizeof local;
  if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peerLen) != 0) {
    *why = std::string("no peer address: ") + errorText(errno);
    return false;
  }
  if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &localLen) != 0) {
    *why = std::string("no local address: ") + errorText(errno);
    return false;
  }
  if (peerLen != sizeof peer || localLen != sizeof local || peer.sin_family != AF_INET ||
      local.sin_family != AF_INET) {
    *why = "not an IPv4 connection";
    return false;
  }
  *t = Tuple{peer.sin_addr.s_addr, peer.sin_port, local.sin_addr.s_addr, local.sin_port};
  return true;
}

// ---- Socket diagnostics over netlink. ----

enum class NetlinkAnswer {
  kDecided,       // the result stands (an owner, or a socket without one)
  kNoSuchSocket,  // no socket of the family asked for: the peer's, if any, is of the other
  kNoAnswer,      // netlink could not say; another way may
};

constexpr int kNetlinkReplyWaitMs = 1000;
// An exact lookup is answered with one message; a few more datagrams are
// read at most, should anything else have been queued.
constexpr int kMaxNetlinkDatagrams = 4;

std::atomic<uint32_t> gNetlinkSequence{1};

// One netlink socket is kept between lookups: opening and closing one costs
// about as much as the lookup itself. A lookup that finds none kept (another
// one is using it) opens its own; only a socket whose exchange ended cleanly
// is kept, so no late reply can be waiting in it.
std::atomic<int> gKeptNetlinkSocket{-1};

UniqueFd takeNetlinkSocket() {
  int kept = gKeptNetlinkSocket.exchange(-1);
  if (kept >= 0) return UniqueFd(kept);
  return UniqueFd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
}

void keepNetlinkSocket(UniqueFd nl) {
  int none = -1;
  if (gKeptNetlinkSocket.compare_exchange_strong(none, nl.get())) nl.release();
}

struct DiagRequest {
  struct nlmsghdr header;
  struct inet_diag_req_v2 body;
};

// An IPv4 address as an AF_INET6 socket connected to it holds it
// (::ffff:a.b.c.d), word by word in network order.
void mapToIpv6(uint32_t addr, __be32 out[4]) {
  out[0] = 0;
  out[1] = 0;
  out[2] = htonl(0xffff);
  out[3] = addr;
}

bool sameAddress(uint8_t family, const __be32 addr[4], uint32_t want) {
  if (family == AF_INET) return addr[0] == want;
  __be32 mapped[4];
  mapToIpv6(want, mapped);
  return family == AF_INET6 && std::equal(mapped, mapped + 4, addr);
}

// The peer's socket is an IPv4 one, or an IPv6 one connected to our IPv4
// address through its v4-mapped form.
bool sameSocket(uint8_t family, const struct inet_diag_sockid& id, const Tuple& t) {
  return sameAddress(family, id.idiag_src, t.peerAddr) && id.idiag_sport == t.peerPort &&
         sameAddress(family, id.idiag_dst, t.localAddr) && id.idiag_dport == t.localPort;
}

// Set once netlink has found a socket in this process: its diagnostics for
// TCP work, so its "no such socket" is the truth and no scan of /proc needs
// to confirm it (a scan that a flood of connections that close at once
// would otherwise pay for each time, with every socket of the machine).
std::atomic<bool> gNetlinkFindsSockets{false};

// Reads one datagram from the kernel into `buf`; its length, or -1 with
// `why` set.
ssize_t receiveFromKernel(int nl, unsigned char* buf, size_t size, std::string* why) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct sockaddr_nl from {};
    socklen_t fromLen = sizeof from;
    // The kernel answers within the send, so the reply is normally queued
    // already; the wait below is only a bound for the unexpected.
    ssize_t n = ::recvfrom(nl, buf, size, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<struct sockaddr*>(&from),
                           &fromLen);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) && attempt == 0) {
      struct pollfd p {nl, POLLIN, 0};
      if (::poll(&p, 1, kNetlinkReplyWaitMs) <= 0) break;
      continue;
    }
    if (n < 0) {
      *why = std::string("receive failed: ") + errorText(errno);
      return -1;
    }
    if (static_cast<size_t>(n) > size) {
      *why = "reply too long";
      return -1;
    }
    if (fromLen != sizeof from || from.nl_family != AF_NETLINK || from.nl_pid != 0) {
      *why = "reply not from the kernel";
      return -1;
    }
    return n;
  }
  *why = "no reply";
  return -1;
}

// Asks for the peer's socket among the sockets of `family` (AF_INET, or
// AF_INET6 for a v4-mapped peer).
NetlinkAnswer askNetlink(const Tuple& t, uint8_t family, PeerOwner* out) {
  UniqueFd nl = takeNetlinkSocket();
  if (!nl) {
    *out = notFound(std::string("netlink: ") + errorText(errno));
    return NetlinkAnswer::kNoAnswer;
  }
  const uint32_t seq = gNetlinkSequence.fetch_add(1, std::memory_order_relaxed);
  DiagRequest req;
  std::memset(&req, 0, sizeof req);
  req.header.nlmsg_len = sizeof req;
  req.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  req.header.nlmsg_flags = NLM_F_REQUEST;  // one socket, not a dump
  req.header.nlmsg_seq = seq;
  req.body.sdiag_family = family;
  req.body.sdiag_protocol = IPPROTO_TCP;
  req.body.idiag_states = ~0u;
  if (family == AF_INET6) {
    mapToIpv6(t.peerAddr, req.body.id.idiag_src);
    mapToIpv6(t.localAddr, req.body.id.idiag_dst);
  } else {
    req.body.id.idiag_src[0] = t.peerAddr;
    req.body.id.idiag_dst[0] = t.localAddr;
  }
  req.body.id.idiag_sport = t.peerPort;
  req.body.id.idiag_dport = t.localPort;
  req.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  req.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  struct sockaddr_nl kernel {};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(nl.get(), &req, sizeof req, 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) !=
      static_cast<ssize_t>(sizeof req)) {
    *out = notFound(std::string("netlink: send failed: ") + errorText(errno));
    return NetlinkAnswer::kNoAnswer;
  }

  // The answer to an exact lookup is one message of about 130 bytes; a
  // longer datagram is refused whole (MSG_TRUNC). Kept small: it lies on a
  // connection thread's fresh stack, where every new page is a page fault.
  alignas(struct nlmsghdr) unsigned char buf[1024];
  for (int datagram = 0; datagram < kMaxNetlinkDatagrams; ++datagram) {
    std::string why;
    ssize_t n = receiveFromKernel(nl.get(), buf, sizeof buf, &why);
    if (n < 0) {
      *out = notFound("netlink: " + why);
      return NetlinkAnswer::kNoAnswer;
    }
    // Every message in the datagram, each header and payload checked
    // against what was received.
    const size_t size = static_cast<size_t>(n);
    for (size_t off = 0; size - off >= sizeof(struct nlmsghdr);) {
      struct nlmsghdr h;
      std::memcpy(&h, buf + off, sizeof h);
      if (h.nlmsg_len < NLMSG_HDRLEN || h.nlmsg_len > size - off) break;
      const unsigned char* payload = buf + off + NLMSG_HDRLEN;
      const size_t payloadLen = h.nlmsg_len - NLMSG_HDRLEN;
      off += std::min<size_t>(NLMSG_ALIGN(h.nlmsg_len), size - off);
      if (h.nlmsg_seq != seq) continue;
      if (h.nlmsg_type == NLMSG_ERROR) {
        struct nlmsgerr err;
        if (payloadLen < sizeof err) break;
        std::memcpy(&err, payload, sizeof err);
        keepNetlinkSocket(std::move(nl));
        // ENOENT is both "no such socket" and "no diagnostics for TCP in
        // this kernel": another way must tell, unless netlink has found
        // sockets before.
        *out = notFound(std::string("netlink: ") + errorText(-err.error));
        if (err.error == -ENOENT && gNetlinkFindsSockets.load(std::memory_order_relaxed)) {
          *out = notFound("no socket " + connectionText(t) + " on this machine");
          return NetlinkAnswer::kNoSuchSocket;
        }
        return NetlinkAnswer::kNoAnswer;
      }
      if (h.nlmsg_type == NLMSG_DONE) {
        *out = notFound("netlink: no such socket");
        return NetlinkAnswer::kNoAnswer;
      }
      struct inet_diag_msg msg;
      if (h.nlmsg_type != SOCK_DIAG_BY_FAMILY || payloadLen < sizeof msg) continue;
      std::memcpy(&msg, payload, sizeof msg);
      // Only the socket with exactly this 4-tuple answers for the peer (the
      // lookup also falls back to listening sockets).
      if (msg.idiag_state == TCP_LISTEN || !sameSocket(msg.idiag_family, msg.id, t)) continue;
      keepNetlinkSocket(std::move(nl));
      gNetlinkFindsSockets.store(true, std::memory_order_relaxed);
      *out = ownerOfFoundSocket(t, msg.idiag_uid, msg.idiag_inode);
      return NetlinkAnswer::kDecided;
    }
  }
  *out = notFound("netlink: no reply for this connection");
  return NetlinkAnswer::kNoAnswer;
}

// ---- /proc/net/tcp and /proc/net/tcp6. ----

constexpr size_t kMaxProcLine = 1024;
constexpr size_t kMaxProcBytes = size_t{256} << 20;

// One line of /proc/net/tcp (`v6` false) or /proc/net/tcp6: true when it is
// the peer's socket, with the answer in *out.
bool matchProcLine(const std::string& line, bool v6, const Tuple& t, PeerOwner* out) {
  // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...; addresses
  // are the raw network-order words printed as host-order hex (four of them
  // for IPv6), ports are in host order.
  unsigned local[4] = {}, remote[4] = {}, localPort = 0, remotePort = 0, state = 0, uid = 0;
  unsigned long inode = 0;
  const int fields =
      v6 ? std::sscanf(line.c_str(), " %*u: %8X%8X%8X%8X:%4X %8X%8X%8X%8X:%4X %2X %*X:%*X %*X:%*X %*X %u %*d %lu",
                       &local[0], &local[1], &local[2], &local[3], &localPort, &remote[0], &remote[1], &remote[2],
                       &remote[3], &remotePort, &state, &uid, &inode)
         : std::sscanf(line.c_str(), " %*u: %8X:%4X %8X:%4X %2X %*X:%*X %*X:%*X %*X %u %*d %lu", &local[0], &localPort,
                       &remote[0], &remotePort, &state, &uid, &inode);
  if (fields != (v6 ? 13 : 7)) return false;
  __be32 localWords[4], remoteWords[4];
  std::copy(local, local + 4, localWords);
  std::copy(remote, remote + 4, remoteWords);
  const uint8_t family = v6 ? AF_INET6 : AF_INET;
  if (!sameAddress(family, localWords, t.peerAddr) || localPort != ntohs(t.peerPort) ||
      !sameAddress(family, remoteWords, t.localAddr) || remotePort != ntohs(t.localPort) || state == TCP_LISTEN) {
    return false;
  }
  *out = ownerOfFoundSocket(t, static_cast<uid_t>(uid), inode);
  return true;
}

enum class Scan { kRead, kMissing, kFailed };

// Scans `path`: kRead when it was read (the answer, found or not, in *out),
// otherwise the reason in *out.
Scan scanProcFile(const char* path, bool v6, const Tuple& t, PeerOwner* out) {
  const std::string name(path);
  UniqueFd f(::open(path, O_RDONLY | kOpenBaseFlags));
  if (!f) {
    const int err = errno;
    *out = notFound(name + ": " + errorText(err));
    return err == ENOENT ? Scan::kMissing : Scan::kFailed;
  }
  std::string pending;
  char chunk[16384];
  size_t total = 0;
  for (;;) {
    ssize_t n = ::read(f.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *out = notFound(name + ": " + errorText(errno));
      return Scan::kFailed;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total > kMaxProcBytes) {
      *out = notFound(name + ": too large");
      return Scan::kFailed;
    }
    pending.append(chunk, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      if (matchProcLine(pending.substr(start, end - start), v6, t, out)) return Scan::kRead;
    }
    pending.erase(0, start);
    if (pending.size() > kMaxProcLine) {
      *out = notFound(name + ": malformed line");
      return Scan::kFailed;
    }
  }
  *out = notFound("no socket " + connectionText(t) + " on this machine");
  return Scan::kRead;
}

// The IPv4 sockets, then the IPv6 ones (a v4-mapped peer). A machine without
// IPv6 has no /proc/net/tcp6: nothing to find there.
PeerOwner scanProcNetTcp(const Tuple& t) {
  PeerOwner v4;
  if (scanProcFile("/proc/net/tcp", false, t, &v4) != Scan::kRead || v4.found) return v4;
  PeerOwner v6;
  return scanProcFile("/proc/net/tcp6", true, t, &v6) == Scan::kMissing ? v4 : v6;
}

}  // namespace

PeerOwner findPeerOwner(int fd, PeerLookup how) {
  Tuple t;
  std::string why;
  if (!connectionTuple(fd, &t, &why)) return notFound(why);
  if (how == PeerLookup::kProcNetTcp) return scanProcNetTcp(t);
  PeerOwner byNetlink;
  NetlinkAnswer answer = askNetlink(t, AF_INET, &byNetlink);
  // The exact lookup among IPv4 sockets may not see an IPv6 peer socket
  // connected to us through a v4-mapped address.
  if (answer != NetlinkAnswer::kDecided) {
    PeerOwner byIpv6;
    const NetlinkAnswer ipv6 = askNetlink(t, AF_INET6, &byIpv6);
    if (ipv6 != NetlinkAnswer::kNoAnswer || answer == NetlinkAnswer::kNoAnswer) {
      answer = ipv6;
      byNetlink = byIpv6;
    }
  }
  if (answer != NetlinkAnswer::kNoAnswer || how == PeerLookup::kNetlink) return byNetlink;
  PeerOwner byProc = scanProcNetTcp(t);
  if (!byProc.found && byProc.failure.rfind("/proc/net/tcp", 0) == 0) {
    byProc.failure = byNetlink.failure + "; " + byProc.failure;
  }
  return byProc;
}
