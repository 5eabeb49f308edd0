// What the real daemon cannot show of the listener: accepts that fail for want
// of descriptors, and many clients with a stop amid them under ThreadSanitizer.
#include "control/listener.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>

#include <future>

#include "base/unique_fd.h"
#include "control/socket_io.h"
#include "spine_test_support.h"

namespace {

UniqueFd tcpSocket() { return UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }
void connectTo(int fd, uint16_t port) {
  struct sockaddr_in addr {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  ::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  struct timeval tv {10, 0};  // bounds the wait for a reply
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}
// Sends a request for `command` on `fd` (a fresh connection when none is
// given); returns the first byte of a whole reply, -1 without one.
int exchange(uint16_t port, unsigned char command, UniqueFd fd = {}) {
  if (!fd) connectTo((fd = tcpSocket()).get(), port);
  std::string request(kMessagePacketSize, static_cast<char>(command)), reply(kMessageReplySize, '\0');
  if (socketSendAll(fd.get(), request.data(), kMessagePacketSize, 10) < 0) return -1;  // no SIGPIPE after a reset
  const bool whole = ::recv(fd.get(), reply.data(), reply.size(), MSG_WAITALL) == kMessageReplySize;
  return whole ? static_cast<unsigned char>(reply[0]) : -1;
}

}  // namespace

TEST(ListenerTest, ConcurrentClientsAfterADescriptorShortageUntilStopped) {
  setlogmask(LOG_MASK(LOG_EMERG));  // keeps "close(client_sock);" out of the host's log
  ScopedTempDir dir;
  std::promise<uint16_t> listening;  // outlives the listener thread
  ListenerOptions opts;
  opts.port = 0;
  opts.socketIdPath = dir.file("socket.id");
  opts.handler = [](const MessagePacket& p) { return MessageReply{p.bytes[0], 0}; };
  opts.onListening = [&](uint16_t port) { listening.set_value(port); };
  std::thread listener([&] { runListener(opts); });
  struct Stop {
    std::thread& listener;
    ~Stop() { stopListening(), listener.joinable() ? listener.join() : void(); }
  } stop{listener};
  auto ready = listening.get_future();
  ASSERT_EQ(ready.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const uint16_t port = ready.get();
  ASSERT_EQ(exchange(port, 1), 1);  // first, as the sanitizers' first-use checks need descriptors too

  // The listener usually waits in accept with a descriptor already reserved,
  // so this client may still get in; the accepts after it fail with EMFILE
  // until the limit is lifted.
  UniqueFd waiting = tcpSocket();
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  const struct rlimit tight = {static_cast<rlim_t>(UniqueFd(::dup(0)).get()), old.rlim_max};  // the lowest free
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  connectTo(waiting.get(), port);
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(exchange(port, 2, std::move(waiting)), 2);

  // The failed accepts were neither handed on nor fatal: each client gets its
  // own reply, until the listener stops amid them.
  std::atomic<int> answered{0}, wrong{0};
  std::vector<std::thread> clients;
  for (int t = 3; t < 11; ++t) {
    clients.emplace_back([&, t] {
      for (int got = 0; got != -1 && answered < 10000;) {
        got = exchange(port, static_cast<unsigned char>(t));
        if (got == t) ++answered;
        else if (got != -1) ++wrong;
      }
    });
  }
  for (int ms = 0; ms < 10000 && answered < 200; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GE(answered.load(), 200);
  EXPECT_GT(stopListening(), 0);
  for (std::thread& c : clients) c.join();
  listener.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(exchange(port, 1), -1) << "served after the stop";
}
