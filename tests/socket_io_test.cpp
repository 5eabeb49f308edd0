#include "control/socket_io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "base/io.h"
#include "base/unique_fd.h"

namespace {

std::pair<UniqueFd, UniqueFd> socketPair() {
  int sv[2] = {-1, -1};
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  return {UniqueFd(sv[0]), UniqueFd(sv[1])};
}

}  // namespace

TEST(SocketIoTest, ConcurrentRecvCollectsPiecesSentOverTime) {
  auto [a, b] = socketPair();
  std::string data(64005, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
  std::thread writer([&, fd = a.get()] {
    const size_t cuts[] = {0, 1000, 31000, 31001, 64005};
    for (int i = 0; i < 4; ++i) {
      writeFull(fd, data.data() + cuts[i], cuts[i + 1] - cuts[i]);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::string got(64005, '\0');
  EXPECT_EQ(socketRecvAll(b.get(), got.data(), 64005, 2), 64005);
  writer.join();
  EXPECT_EQ(got, data);
}

TEST(SocketIoTest, SilentPeerTimesOutEmptyLengthsReturnAtOnceEarlyCloseFails) {
  auto [a, b] = socketPair();
  char buf[8];
  EXPECT_EQ(socketRecvAll(b.get(), buf, 8, 1), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  EXPECT_EQ(socketRecvAll(b.get(), buf, 0, 2), 0);
  EXPECT_EQ(socketRecvAll(b.get(), buf, -5, 2), -1);
  EXPECT_EQ(socketSendAll(a.get(), "x", 0, 2), 0);
  EXPECT_EQ(socketSendAll(a.get(), "x", -1, 2), 0);
  // A peer that closes mid-record is a failure, not a short count, for
  // daemon/io.h's reader too.
  auto [c, d] = socketPair();
  for (UniqueFd* peer : {&a, &c}) {
    ASSERT_TRUE(writeFull(peer->get(), "abcd", 4));
    peer->reset();
  }
  EXPECT_EQ(socketRecvAll(b.get(), buf, 8, 2), -1);
  EXPECT_FALSE(readFull(d.get(), buf, 8));
}

TEST(SocketIoTest, SendToClosedPeerFailsWithoutSigpipe) {
  struct sigaction dfl {}, old {};  // with the default action a SIGPIPE would end this process
  dfl.sa_handler = SIG_DFL;
  ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
  auto [a, b] = socketPair();
  b.reset();
  EXPECT_EQ(socketSendAll(a.get(), "reply", 5, 2), -1);
  EXPECT_EQ(errno, EPIPE);
  sigaction(SIGPIPE, &old, nullptr);
}
