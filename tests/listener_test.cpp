// What the real daemon cannot show of the listener: accepts that fail for want
// of descriptors, and many clients with a stop amid them under ThreadSanitizer.
#include "control/listener.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>

#include "spine_test_support.h"

static UniqueFd connectTo(uint16_t port, UniqueFd fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))) {
  struct sockaddr_in addr {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  struct timeval tv {10, 0};  // bounds each exchange
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) ::setsockopt(fd.get(), SOL_SOCKET, option, &tv, sizeof tv);
  ::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  return fd;
}
// The first byte of the reply to `command`, -1 without a whole one; returns once the listener's end is closed.
static int exchange(UniqueFd fd, unsigned char command) {
  std::string request(kMessagePacketSize, static_cast<char>(command)), reply(kMessageReplySize + 1, '\0');
  const bool whole = ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(kMessagePacketSize) &&
                     ::recv(fd.get(), reply.data(), reply.size(), MSG_WAITALL) == ssize_t(kMessageReplySize);
  return whole ? static_cast<unsigned char>(reply[0]) : -1;
}

TEST(ListenerTest, ConcurrentClientsAfterADescriptorShortageUntilStopped) {
  setlogmask(LOG_MASK(LOG_EMERG));  // keeps "close(client_sock);" out of the host's log
  ScopedTempDir dir;
  std::atomic<uint16_t> port{0};
  ListenerOptions opts;
  opts.port = 0;
  opts.socketIdPath = dir.file("socket.id");
  opts.handler = [](const MessagePacket& p, const PeerOwner&) { return MessageReply{p.bytes[0], 0}; };
  opts.onListening = [&](uint16_t listening) { port = listening; };
  std::jthread listener([&] { runListener(opts); });
  const std::shared_ptr<void> stop(nullptr, [](void*) { stopListening(); });  // before the join, whatever failed
  auto waitFor = [](auto done) { for (int ms = 0; ms < 10000 && !done(); ++ms) std::this_thread::sleep_for(1ms); };
  waitFor([&] { return port != 0; });
  ASSERT_EQ(exchange(connectTo(port), 1), 1);  // first, as the sanitizers' first-use checks need descriptors too

  // The listener waits in accept with a descriptor reserved: this client holds it while later accepts get EMFILE.
  UniqueFd waiting(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct rlimit old {};
  ::getrlimit(RLIMIT_NOFILE, &old);
  const struct rlimit tight = {static_cast<rlim_t>(UniqueFd(::dup(0)).get()), old.rlim_max};  // the lowest free
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  waiting = connectTo(port, std::move(waiting));
  std::this_thread::sleep_for(350ms);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(exchange(std::move(waiting), 2), 2);

  // The failed accepts were neither handed on nor fatal: each client gets its own reply, until the stop amid them.
  std::atomic<int> answered{0}, wrong{0};
  std::vector<std::jthread> clients;
  for (int t = 3; t < 11; ++t)
    clients.emplace_back([&, t] {
      int got = t;
      while (got == t && answered < 10000) answered += (got = exchange(connectTo(port), t)) == t;
      wrong += got != t && got != -1;
    });
  waitFor([&] { return answered >= 200; });
  EXPECT_GE(answered.load(), 200);
  EXPECT_GT(stopListening(), 0);
  clients.clear();  // joins them
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(exchange(connectTo(port), 1), -1) << "served after the stop";
}
