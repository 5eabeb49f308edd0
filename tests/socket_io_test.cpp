#include "control/socket_io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "daemon/io.h"
#include "daemon/unique_fd.h"

namespace {

struct SocketPair {
  UniqueFd a, b;
  SocketPair() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
      a.reset(sv[0]);
      b.reset(sv[1]);
    }
  }
};

std::vector<unsigned char> pattern(size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + 3);
  return v;
}

}  // namespace

TEST(SocketIoTest, ConcurrentRecvCollectsPiecesSentOverTime) {
  SocketPair p;
  ASSERT_TRUE(p.a && p.b);
  const std::vector<unsigned char> data = pattern(64005);
  std::thread writer([&] {
    size_t off = 0;
    for (size_t piece : {1000u, 30000u, 1u, 33004u}) {
      writeFull(p.a.get(), data.data() + off, piece);
      off += piece;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::vector<unsigned char> got(data.size());
  EXPECT_EQ(socketRecvAll(p.b.get(), got.data(), static_cast<int>(got.size()), 2), 64005);
  writer.join();
  EXPECT_EQ(got, data);
}

TEST(SocketIoTest, RecvFailsWhenPeerClosesEarly) {
  SocketPair p;
  ASSERT_TRUE(writeFull(p.a.get(), "abcd", 4));
  p.a.reset();
  char buf[8];
  EXPECT_EQ(socketRecvAll(p.b.get(), buf, 8, 2), -1);
}

TEST(SocketIoTest, RecvTimesOutOnSilentPeer) {
  SocketPair p;
  char buf[8];
  EXPECT_EQ(socketRecvAll(p.b.get(), buf, 8, 1), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
}

TEST(SocketIoTest, ZeroAndNegativeLengths) {
  SocketPair p;
  char buf[1];
  // Nothing to receive: 0 at once, without waiting for the peer.
  EXPECT_EQ(socketRecvAll(p.b.get(), buf, 0, 2), 0);
  EXPECT_EQ(socketRecvAll(p.b.get(), buf, -5, 2), -1);
  EXPECT_EQ(socketSendAll(p.a.get(), "x", 0, 2), 0);
  EXPECT_EQ(socketSendAll(p.a.get(), "x", -1, 2), 0);
}

TEST(SocketIoTest, ConcurrentSendDeliversMoreThanTheSocketBuffer) {
  SocketPair p;
  const std::vector<unsigned char> data = pattern(1 << 20);
  std::vector<unsigned char> got(data.size());
  std::thread reader([&] { readFull(p.b.get(), got.data(), got.size()); });
  EXPECT_EQ(socketSendAll(p.a.get(), data.data(), static_cast<int>(data.size()), 2),
            static_cast<int>(data.size()));
  reader.join();
  EXPECT_EQ(got, data);
}

TEST(SocketIoTest, SendToClosedPeerFailsWithoutSigpipe) {
  // With the default disposition a SIGPIPE would end this test process.
  struct sigaction dfl {}, old {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
  SocketPair p;
  p.b.reset();
  EXPECT_EQ(socketSendAll(p.a.get(), "reply", 5, 2), -1);
  EXPECT_EQ(errno, EPIPE);
  sigaction(SIGPIPE, &old, nullptr);
}
