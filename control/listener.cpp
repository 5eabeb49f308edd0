#include "control/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>

#include "base/error_text.h"
#include "base/log.h"
#include "base/thread_annotations.h"
#include "base/unique_fd.h"
#include "control/peer_access.h"
#include "control/socket_io.h"

namespace {

using Handler = std::function<MessageReply(const MessagePacket&, const PeerOwner&)>;
using PeerCheck = std::function<bool(const PeerOwner& peer)>;

// How many connections each user holds open past accept.
class UserConnectionCounts {
 public:
  explicit UserConnectionCounts(int limit) : limit_(limit) {}

  // Counts one more connection of `uid`; false (and nothing counted) when
  // it holds `limit` already, with that count in *open.
  bool tryAdd(uid_t uid, int* open) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    int& count = counts_[uid];
    *open = count;
    // Root could stop the daemon anyway; a burst of root's own clients whose
    // connections end faster than their threads do must never be refused.
    if (count >= limit_ && uid != 0) return false;
    ++count;
    return true;
  }

  void remove(uid_t uid) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    auto it = counts_.find(uid);
    if (it != counts_.end() && --it->second <= 0) counts_.erase(it);
  }

 private:
  const int limit_;
  Mutex mu_;
  std::unordered_map<uid_t, int> counts_ GUARDED_BY(mu_);
};

// What every connection thread does with its connection.
struct ConnectionServices {
  explicit ConnectionServices(const ListenerOptions& opts)
      : admitPeer(opts.admitPeer),
        handler(opts.handler),
        refusals(opts.logRefusal ? opts.logRefusal : [](std::string_view) {}),
        counts(opts.maxConnectionsPerUser) {}

  const PeerCheck admitPeer;
  const Handler handler;
  RefusalLog refusals;
  UserConnectionCounts counts;
};

constexpr int kNetTimeoutSeconds = 2;
// The whole record must be in by then, however the peer spaces its bytes.
constexpr std::chrono::seconds kRecordDeadline{5};
// Each connection thread holds the 64005-byte request in its frame and runs
// the command on its own stack; 512 KiB leaves ample room for that while a
// few hundred open connections still cost little address space.
constexpr size_t kConnectionStackSize = 512 * 1024;
// Pause after an accept failure that will not clear at once (out of
// descriptors or memory), so the loop waits instead of spinning.
constexpr useconds_t kAcceptRetryPauseMicros = 100 * 1000;
// How many connection threads wait for a next connection once theirs has
// ended, and for how long (see IdleConnectionThreads). As many as a burst
// of clients may bring at once: a thread that ends for want of a place
// leaves the next connection of the burst a fresh thread and fresh stack
// pages to fault in, which cost the 64-client benchmark about 40 % of its
// throughput with four places. An idle thread holds its stack pages
// for at most the wait.
constexpr int kMaxIdleConnectionThreads = 64;
constexpr std::chrono::seconds kIdleConnectionThreadWait{1};

// What the listener hands to a connection thread; the thread owns it.
struct ConnectionCell {
  int fd;
  // Who is on the other end (found only when peers are looked up); its
  // connection is counted in services->counts while `counted`.
  PeerOwner peer;
  bool counted;
  // Shared with the listener and the other connections, so a connection
  // that outlives its listener still has a handler.
  std::shared_ptr<ConnectionServices> services;
};

// Connection threads whose connection has ended wait here a moment for the
// next one. A new thread's stack is fresh memory (glibc gives the stack
// pages of an ended thread back to the kernel), so receiving the 64005-byte
// record into it faults in a page at a time on every request; a thread that
// serves the next connection finds its frame in place. Each connection still
// has a thread of its own for as long as it lasts: a connection that finds
// no idle thread gets a new one, however many run at once.
class IdleConnectionThreads {
 public:
  // Gives `cell` to a waiting thread; false when none is waiting.
  bool handOver(ConnectionCell* cell) EXCLUDES(mu_) {
    {
      MutexLock lock(mu_);
      if (idle_ <= static_cast<int>(cells_.size())) return false;
      try {
        cells_.push_back(cell);
      } catch (...) {
        return false;  // no memory: a thread of its own, as when none waits
      }
    }
    wake_.notify_one();
    return true;
  }

  // Called by a connection thread whose connection has ended: the next cell
  // handed over within kIdleConnectionThreadWait, or null (the thread then
  // ends). Null at once when enough threads wait already.
  ConnectionCell* awaitNext() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    if (idle_ >= kMaxIdleConnectionThreads) return nullptr;
    ++idle_;
    const auto deadline = std::chrono::steady_clock::now() + kIdleConnectionThreadWait;
    while (cells_.empty() && wake_.wait_until(lock, deadline) != std::cv_status::timeout) {
    }
    // A cell handed over while the wait timed out is still taken here.
    ConnectionCell* cell = nullptr;
    if (!cells_.empty()) {
      cell = cells_.front();
      cells_.pop_front();
    }
    --idle_;
    return cell;
  }

 private:
  Mutex mu_;
  CondVar wake_;
  int idle_ GUARDED_BY(mu_) = 0;                   // threads inside awaitNext
  std::deque<ConnectionCell*> cells_ GUARDED_BY(mu_);  // handed over, not yet taken
};

// Never destroyed: at exit, detached threads may still wait on it.
IdleConnectionThreads& gIdleConnectionThreads = *new IdleConnectionThreads;

// The running listener's socket, for stopListening. The mutex keeps the
// descriptor from being closed (and its number reused) while stopListening
// shuts it down.
Mutex gListenMutex;
int gListeningFd GUARDED_BY(gListenMutex) = -1;
std::atomic<bool> gStopRequested{false};

// Registers the listening socket for stopListening while it is in scope.
class ListeningRegistration {
 public:
  explicit ListeningRegistration(int fd) {
    MutexLock lock(gListenMutex);
    gListeningFd = fd;
    gStopRequested.store(false);
  }
  ~ListeningRegistration() {
    MutexLock lock(gListenMutex);
    gListeningFd = -1;
  }
  ListeningRegistration(const ListeningRegistration&) = delete;
  ListeningRegistration& operator=(const ListeningRegistration&) = delete;
};

// Writes 0 to the socket-id file when the listener ends, whichever way.
class SocketIdReset {
 public:
  explicit SocketIdReset(const std::string& path) : path_(path) {}
  ~SocketIdReset() { setSocketIdToFile(path_, 0); }
  SocketIdReset(const SocketIdReset&) = delete;
  SocketIdReset& operator=(const SocketIdReset&) = delete;

 private:
  const std::string& path_;
};

void setIntOption(int fd, int option, const char* failureText) {
  int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, option, &one, sizeof one) != 0) progress(failureText);
}

// True for accept failures that concern only the one connection being
// accepted (Linux also reports pending network errors of the new socket).
bool isPerConnectionError(int err) {
  switch (err) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:  // refused by a security policy
      return true;
    default:
      return false;
  }
}

// "could not create thread" with the reason, on standard error and in the
// system log, where an administrator sees why connections were dropped.
void logThreadFailure(int err) {
  const std::string line = std::string("could not create thread: ") + errorText(err);
  progressError(line + "\n");
  logInfo(line);
}

// Answers a refused peer with nine zero bytes, without waiting (a fresh
// socket's buffer takes them), closes its connection unread, and logs why
// within the rate limit. The client reads the answer as it would any other;
// a peer that is refused costs no receive and no thread.
void refuse(int fd, const std::string& line, RefusalLog& refusals) {
  const unsigned char zeros[kMessageReplySize] = {};
  (void)::send(fd, zeros, sizeof zeros, MSG_DONTWAIT | MSG_NOSIGNAL);
  ::close(fd);
  refusals.log(line);
}

// The connection's end: its user's count goes down.
void uncount(ConnectionCell& cell) {
  if (cell.counted) cell.services->counts.remove(cell.peer.uid);
  cell.counted = false;
}

// Gives `fd` with its peer to a connection thread (an idle one, else a new
// one), or closes `fd` when no thread can be started.
void startConnection(int fd, PeerOwner peer, bool counted, const std::shared_ptr<ConnectionServices>& services) {
  const uid_t uid = peer.uid;
  auto* cell = new (std::nothrow) ConnectionCell{fd, std::move(peer), counted, services};
  if (cell == nullptr) {
    logThreadFailure(ENOMEM);
    if (counted) services->counts.remove(uid);
    ::close(fd);
    return;
  }
  if (gIdleConnectionThreads.handOver(cell)) return;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kConnectionStackSize);
    pthread_t thread;
    rc = pthread_create(&thread, &attr, connection_handler, cell);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    logThreadFailure(rc);
    // Nobody else will ever close it or free the cell.
    uncount(*cell);
    ::close(fd);
    delete cell;
  }
}

// Right after accept, on the listener's thread: who is on the other end (one
// netlink round trip), and whether that user may open one more connection.
// Only then does the connection get a thread.
void admitConnection(int fd, const std::shared_ptr<ConnectionServices>& services) {
  PeerOwner peer = findPeerOwner(fd);
  if (!peer.found) {
    refuse(fd, refusalLine(false, 0, peer.failure), services->refusals);
    return;
  }
  int open = 0;
  if (!services->counts.tryAdd(peer.uid, &open)) {
    refuse(fd,
           "refused request from uid " + std::to_string(peer.uid) + ": " + std::to_string(open) +
               " connections of this user are open already",
           services->refusals);
    return;
  }
  startConnection(fd, std::move(peer), true, services);
}

}  // namespace

UniqueFd openControlSocket(const std::string& address, uint16_t port, std::string* failure) {
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    *failure = std::string("Could not create socket: ") + errorText(errno);
    progress("Could not create socket");
    return sock;
  }
  progress("Socket created\n");

  // No SO_REUSEPORT: it lets any other process of the same user (root)
  // that sets it too bind the same port beside us and take a share of the
  // connections. SO_REUSEADDR only lets us bind over connections of an
  // earlier run that are still in TIME_WAIT; it never lets a bind in beside
  // a listener.
  setIntOption(sock.get(), SO_REUSEADDR, "setsockopt(SO_REUSEADDR) failed");
  // Linger 0: every close is abortive; accepted sockets inherit it.
  struct linger lin;
  lin.l_onoff = 1;
  lin.l_linger = 0;
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_LINGER, &lin, sizeof lin) != 0) progress("setsockopt(SO_LINGER) failed");

  struct sockaddr_in server;
  std::memset(&server, 0, sizeof server);
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  int bound = -1;
  if (::inet_pton(AF_INET, address.c_str(), &server.sin_addr) != 1) {
    errno = EINVAL;
  } else {
    bound = ::bind(sock.get(), reinterpret_cast<struct sockaddr*>(&server), sizeof server);
  }
  if (bound != 0) {
    *failure = std::string("bind failed. Error: ") + errorText(errno);
    progressError(*failure + "\n");
    return UniqueFd();
  }
  progress("bind done\n");
  if (::listen(sock.get(), SOMAXCONN) != 0) {
    *failure = std::string("listen failed. Error: ") + errorText(errno);
    progressError(*failure + "\n");
    return UniqueFd();
  }
  return sock;
}

void runListener(const ListenerOptions& opts) {
  if (opts.beforeListening) opts.beforeListening();

  SocketIdReset idReset(opts.socketIdPath);
  UniqueFd sock;
  if (opts.listeningSocket >= 0) {
    sock.reset(opts.listeningSocket);
    // Listen again: an earlier worker may have stopped listening on this
    // same socket (command 10), and a restarted worker serves again.
    ::listen(sock.get(), SOMAXCONN);
  } else {
    std::string failure;
    sock = openControlSocket(opts.address, opts.port, &failure);
    if (!sock) {
      logInfo(failure);
      return;
    }
  }
  setSocketIdToFile(opts.socketIdPath, sock.get());
  ListeningRegistration registration(sock.get());
  progress("Waiting for incoming connections...\n");

  // Everything the loop needs exists before anyone is told we listen.
  auto services = std::make_shared<ConnectionServices>(opts);

  if (opts.onListening) {
    struct sockaddr_in local;
    socklen_t len = sizeof local;
    if (::getsockname(sock.get(), reinterpret_cast<struct sockaddr*>(&local), &len) == 0) {
      opts.onListening(ntohs(local.sin_port));
    }
  }

  for (;;) {
    // Checked after listen(): a stop that came before the socket listened
    // did not wake anything, so it must be seen here.
    if (gStopRequested.load()) break;
    struct sockaddr_in peer;
    socklen_t peerLen = sizeof peer;
    int fd = ::accept4(sock.get(), reinterpret_cast<struct sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      if (gStopRequested.load()) break;
      // The socket no longer listens (shut down or closed): listening is over.
      if (err == EINVAL || err == EBADF || err == ENOTSOCK) break;
      if (isPerConnectionError(err)) continue;
      // Out of descriptors or memory, or something unexpected: wait a
      // little so that a lasting failure does not make the loop spin.
      ::usleep(kAcceptRetryPauseMicros);
      continue;
    }
    progress("Connection accepted\n");
    if (!services->admitPeer) {
      startConnection(fd, PeerOwner{}, false, services);
    } else {
      admitConnection(fd, services);
    }
    progress("Handler assigned\n");
  }
  // registration, then sock, then idReset end here, in that order: the
  // socket is unregistered before its number can be reused, and the file
  // reads 0 only once the socket is gone.
}

void* listenThread(void* arg) {
  pthread_detach(pthread_self());
  runListener(*static_cast<const ListenerOptions*>(arg));
  return nullptr;
}

namespace {

// One connection: check the peer, receive its record into `packet`,
// answer, close. Owns and frees `cell` and the descriptor in it.
void serveConnection(ConnectionCell* cellPtr, MessagePacket& packet) {
  std::unique_ptr<ConnectionCell> cell(cellPtr);
  UniqueFd client(cell->fd);
  // The user's count goes down when this connection ends, whichever way.
  const std::shared_ptr<void> uncountAtEnd(nullptr, [&cell](void*) { uncount(*cell); });
  ConnectionServices& services = *cell->services;

  if (services.admitPeer) {
    bool admitted = false;
    try {
      admitted = services.admitPeer(cell->peer);
    } catch (...) {
    }
    if (!admitted) {
      refuse(client.release(), refusalLine(true, cell->peer.uid, {}), services.refusals);
      return;
    }
  }

  const auto deadline = std::chrono::steady_clock::now() + kRecordDeadline;
  int n = socketRecvAll(client.get(), packet.bytes, static_cast<int>(sizeof packet.bytes), kNetTimeoutSeconds,
                        deadline);
  if (n <= 0) {
    // Nothing to the system log: a connection that delivers no whole
    // record did nothing, and anyone can make any number of them.
    progressError(std::string("recv failed: ") + errorText(errno) + "\n");
    return;
  }
  progressf("Data readed: %d\n", n);
  bool answered = false;
  MessageReply reply;
  try {
    if (services.handler) reply = services.handler(packet, cell->peer);
    answered = true;
  } catch (...) {
    // Nothing may escape a thread function; the client gets no reply,
    // as for a request that never arrived whole.
    progressError("Message processing failed\n");
  }
  if (answered) {
    progress("Message processing is finished\n");
    // The 2-second send time-out: socketSendAll sets it before each send.
    unsigned char bytes[kMessageReplySize];
    reply.toBytes(bytes);
    if (socketSendAll(client.get(), bytes, static_cast<int>(sizeof bytes), kNetTimeoutSeconds) == -1) {
      progress("write failed\n");
    } else {
      progress("writed\n");
    }
  }
  logInfo("close(client_sock);");
}

}  // namespace

void* connection_handler(void* arg) {
  // The record's buffer lives in this frame, and so stays in place while
  // the thread serves one connection after another.
  MessagePacket packet;
  for (auto* cell = static_cast<ConnectionCell*>(arg); cell != nullptr; cell = gIdleConnectionThreads.awaitNext()) {
    serveConnection(cell, packet);
  }
  return nullptr;
}

int stopListening() {
  MutexLock lock(gListenMutex);
  if (gListeningFd < 0) return 0;
  gStopRequested.store(true);
  ::shutdown(gListeningFd, SHUT_RDWR);
  return gListeningFd;
}
