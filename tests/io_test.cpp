#include "daemon/io.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "daemon/unique_fd.h"

TEST(IoTest, ReadFullTreatsEarlyEndAsError) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  UniqueFd a(sv[0]), b(sv[1]);
  ASSERT_TRUE(writeFull(a.get(), "abc", 3));
  a.reset();
  char buf[4];
  EXPECT_FALSE(readFull(b.get(), buf, 4));
}
