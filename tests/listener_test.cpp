#include "control/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "base/io.h"
#include "base/unique_fd.h"
#include "spine_test_support.h"

namespace {

std::string reply(char result) { return result + std::string(8, '\0'); }

// A listener on 127.0.0.1, on a port of the system's choosing, with its
// socket-id file in a temp dir.
class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setlogmask(LOG_MASK(LOG_EMERG));  // keeps "close(client_sock);" out of the host's log
    opts_.port = 0;
    opts_.socketIdPath = dir_.file("socket.id");
  }
  void TearDown() override {
    if (!thread_.joinable()) return;
    stopListening();
    thread_.join();
  }

  void start() {
    // The promise outlives the listener thread (joined in TearDown): set_value
    // may still be returning there when the future is already ready here.
    opts_.onListening = [this](uint16_t port) { listening_.set_value(port); };
    auto ready = listening_.get_future();
    thread_ = std::thread([this] { runListener(opts_); });
    ASSERT_EQ(ready.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    port_ = ready.get();
  }

  UniqueFd connectClient() const {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    connectTo(fd);
    return fd;
  }
  // Connects `fd` to the listener; resets it on failure.
  void connectTo(UniqueFd& fd) const {
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) fd.reset();
    struct timeval tv {10, 0};  // bounds every read below
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

  static std::string readToEnd(int fd) {
    std::string got;
    char buf[64];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, static_cast<size_t>(n));
    return got;
  }

  // Sends the first `len` bytes of a request for `command` in pieces, as a
  // slow client would, half-closes and returns all the server sent.
  std::string exchange(char command, size_t len = kMessagePacketSize) {
    UniqueFd c = connectClient();
    std::string req(kMessagePacketSize, '\0');
    req[0] = command;
    req.back() = '\xEE';
    for (size_t off = 0; off < len; off += 20000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (!writeFull(c.get(), req.data() + off, std::min<size_t>(20000, len - off))) return "write failed";
    }
    ::shutdown(c.get(), SHUT_WR);
    return readToEnd(c.get());
  }

  std::promise<uint16_t> listening_;
  ScopedTempDir dir_;
  ListenerOptions opts_;
  std::thread thread_;
  uint16_t port_ = 0;
};

}  // namespace

TEST_F(ListenerTest, ConcurrentServesWholeRecordsOnLoopbackUntilStoppedClosingNoStaleId) {
  std::atomic<int> calls{0}, lastByte{0};
  std::atomic<bool> resetRan{false};
  opts_.beforeListening = [&] { resetRan = true; };
  // A number left in the file by an earlier worker may name anything now.
  UniqueFd stale(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(setSocketIdToFile(opts_.socketIdPath, stale.get()));
  opts_.handler = [&](const MessagePacket& p) {
    ++calls;
    lastByte = p.bytes[kMessagePacketSize - 1];
    MessageReply r;
    r.result = p.bytes[0];
    return r;
  };
  start();
  EXPECT_TRUE(resetRan.load());
  EXPECT_EQ(exchange(5), reply(5));  // whole although the close is abortive
  EXPECT_EQ(lastByte.load(), 0xEE);
  EXPECT_EQ(exchange(1, kMessagePacketSize - 1), "");  // one byte short: dropped unhandled
  EXPECT_EQ(calls.load(), 1);

  // The socket-id file names the listening socket: loopback only, on the port.
  const int id = getSocketIdFromFile(opts_.socketIdPath);
  struct sockaddr_in local {};
  socklen_t len = sizeof local;
  ASSERT_EQ(::getsockname(id, reinterpret_cast<struct sockaddr*>(&local), &len), 0);
  EXPECT_EQ(ntohl(local.sin_addr.s_addr), INADDR_LOOPBACK);
  EXPECT_EQ(ntohs(local.sin_port), port_);
  EXPECT_EQ(stopListening(), id);
  thread_.join();
  EXPECT_EQ(getSocketIdFromFile(opts_.socketIdPath), 0);
  EXPECT_EQ(stopListening(), 0);
  EXPECT_FALSE(connectClient());
  EXPECT_NE(::fcntl(stale.get(), F_GETFD), -1) << "a stale socket id was closed";
}

TEST_F(ListenerTest, AcceptWaitsOutDescriptorShortage) {
  start();
  // One request first, so that the sanitizers' own first-use checks (they
  // need descriptors too) are done before the shortage.
  ASSERT_EQ(exchange(1), reply(0));
  // The listener usually waits in accept with a descriptor already reserved,
  // so the client below may still get in; the accepts after it fail with
  // EMFILE until the limit is lifted.
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  struct rlimit tight = old;
  const int lowestFree = UniqueFd(::dup(0)).get();
  ASSERT_GE(lowestFree, 0);
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  connectTo(client);
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  ASSERT_TRUE(writeFull(client.get(), std::string(kMessagePacketSize, '\0').data(), kMessagePacketSize));
  EXPECT_EQ(readToEnd(client.get()), reply(0));  // no handler: nine zero bytes
  // The failed accepts were neither handed on nor fatal: it still serves.
  EXPECT_EQ(exchange(1), reply(0));
}
