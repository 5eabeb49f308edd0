#include "control/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "control/socket_id.h"
#include "daemon/io.h"
#include "daemon/unique_fd.h"
#include "spine_test_support.h"

namespace {

// Runs a listener on 127.0.0.1, on a port of the system's choosing, with its
// socket-id file in a temp dir.
class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Connection threads log "close(client_sock);": keep it out of the
    // host's system log.
    setlogmask(LOG_MASK(LOG_EMERG));
    opts_.port = 0;
    opts_.socketIdPath = dir_.file("socket.id");
  }

  void TearDown() override { stop(); }

  void start() {
    std::promise<uint16_t> listening;
    auto portReady = listening.get_future();
    opts_.onListening = [&listening](uint16_t port) { listening.set_value(port); };
    thread_ = std::thread([this] { runListener(opts_); });
    ASSERT_EQ(portReady.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    port_ = portReady.get();
  }

  void stop() {
    if (!thread_.joinable()) return;
    stopListening();
    thread_.join();
  }

  UniqueFd connectClient() const {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) fd.reset();
    struct timeval tv {10, 0};  // bounds every read below
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
  }

  static std::vector<unsigned char> request(unsigned char command) {
    std::vector<unsigned char> bytes(kMessagePacketSize, 0);
    bytes[0] = command;
    bytes[kMessagePacketSize - 1] = 0xEE;
    return bytes;
  }

  // Reads until the server closes. Returns the bytes that came.
  static std::string readToEnd(int fd) {
    std::string got;
    char buf[64];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return got;
      got.append(buf, static_cast<size_t>(n));
    }
  }

  ScopedTempDir dir_;
  ListenerOptions opts_;
  std::thread thread_;
  uint16_t port_ = 0;
};

MessageReply replyWith(uint8_t result) {
  MessageReply r;
  r.result = result;
  return r;
}

}  // namespace

TEST_F(ListenerTest, ConcurrentRecordSentInPiecesIsServed) {
  std::atomic<int> calls{0};
  std::atomic<int> lastByte{0};
  opts_.handler = [&](const MessagePacket& p) {
    ++calls;
    lastByte = p.bytes[kMessagePacketSize - 1];
    return replyWith(p.bytes[0]);
  };
  start();
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  const auto req = request(5);
  size_t off = 0;
  for (size_t piece : {10u, 40000u, 23000u, 995u}) {
    ASSERT_TRUE(writeFull(client.get(), req.data() + off, piece));
    off += piece;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  // The reply arrives whole although the server closes abortively.
  EXPECT_EQ(readToEnd(client.get()), std::string("\x05\0\0\0\0\0\0\0\0", 9));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(lastByte.load(), 0xEE);
}

TEST_F(ListenerTest, ConcurrentShortRecordIsDroppedUnhandled) {
  std::atomic<int> calls{0};
  opts_.handler = [&](const MessagePacket&) {
    ++calls;
    return replyWith(1);
  };
  start();
  UniqueFd client = connectClient();
  const auto req = request(1);
  ASSERT_TRUE(writeFull(client.get(), req.data(), kMessagePacketSize - 1));
  ::shutdown(client.get(), SHUT_WR);
  // The server closes without a reply, so the handler can no longer run.
  EXPECT_EQ(readToEnd(client.get()), "");
  EXPECT_EQ(calls.load(), 0);
}

TEST_F(ListenerTest, ConcurrentDefaultHandlerAnswersNineZeroBytes) {
  start();
  UniqueFd client = connectClient();
  const auto req = request(1);
  ASSERT_TRUE(writeFull(client.get(), req.data(), req.size()));
  EXPECT_EQ(readToEnd(client.get()), std::string(9, '\0'));
}

TEST_F(ListenerTest, ConcurrentManyClientsAreServedAtOnce) {
  // Each handler waits until all requests have arrived: the connections
  // must be served in parallel for any of them to finish.
  constexpr int kClients = 40;
  std::atomic<int> arrived{0};
  opts_.handler = [&](const MessagePacket& p) {
    ++arrived;
    for (int i = 0; i < 1000 && arrived.load() < kClients; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return replyWith(p.bytes[0]);
  };
  start();
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      UniqueFd c = connectClient();
      const auto req = request(static_cast<unsigned char>(i));
      if (!writeFull(c.get(), req.data(), req.size())) return;
      std::string want(9, '\0');
      want[0] = static_cast<char>(i);
      if (readToEnd(c.get()) == want) ++good;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(good.load(), kClients);
  EXPECT_EQ(arrived.load(), kClients);
}

TEST_F(ListenerTest, ConcurrentSocketIdRecordsListeningSocketUntilStopped) {
  std::atomic<bool> resetRan{false};
  opts_.beforeListening = [&] { resetRan = true; };
  start();
  EXPECT_TRUE(resetRan.load());

  const int id = getSocketIdFromFile(opts_.socketIdPath);
  ASSERT_GT(id, 2);
  // The recorded number is this process's listening socket: loopback only,
  // on the port, close-on-exec.
  struct sockaddr_in local {};
  socklen_t len = sizeof local;
  ASSERT_EQ(::getsockname(id, reinterpret_cast<struct sockaddr*>(&local), &len), 0);
  EXPECT_EQ(ntohl(local.sin_addr.s_addr), INADDR_LOOPBACK);
  EXPECT_EQ(ntohs(local.sin_port), port_);
  EXPECT_NE(::fcntl(id, F_GETFD) & FD_CLOEXEC, 0);
  int accepting = 0;
  len = sizeof accepting;
  ASSERT_EQ(::getsockopt(id, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len), 0);
  EXPECT_EQ(accepting, 1);

  EXPECT_EQ(stopListening(), id);
  thread_.join();
  EXPECT_EQ(getSocketIdFromFile(opts_.socketIdPath), 0);
  EXPECT_EQ(stopListening(), 0);
  // Nobody listens any more.
  EXPECT_FALSE(connectClient());
}

TEST_F(ListenerTest, StaleSocketIdIsNeverClosed) {
  // A number left in the file by an earlier worker may name anything in
  // this process now.
  UniqueFd mine(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(setSocketIdToFile(opts_.socketIdPath, mine.get()));
  start();
  stop();
  EXPECT_NE(::fcntl(mine.get(), F_GETFD), -1);
}

TEST_F(ListenerTest, BindFailureEndsListenerAndClearsSocketId) {
  // Hold a port without SO_REUSEPORT, so the listener cannot share it.
  UniqueFd holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(holder.get(), reinterpret_cast<struct sockaddr*>(&addr), &len), 0);
  ASSERT_EQ(::listen(holder.get(), 1), 0);

  opts_.port = ntohs(addr.sin_port);
  bool called = false;
  opts_.onListening = [&](uint16_t) { called = true; };
  runListener(opts_);  // returns: nothing to accept on
  EXPECT_FALSE(called);
  EXPECT_EQ(getSocketIdFromFile(opts_.socketIdPath), 0);
  EXPECT_EQ(stopListening(), 0);

  opts_.address = "not an address";
  opts_.port = 0;
  runListener(opts_);
  EXPECT_FALSE(called);
}

TEST_F(ListenerTest, AcceptWaitsOutDescriptorShortage) {
  start();
  // Queue a connection while accept cannot get a descriptor for it.
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  struct rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);

  // The listener kept waiting, handed no failed accept on, and now serves.
  const auto req = request(1);
  ASSERT_TRUE(writeFull(client.get(), req.data(), req.size()));
  EXPECT_EQ(readToEnd(client.get()), std::string(9, '\0'));
}
