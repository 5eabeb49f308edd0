#include "control/socket_id.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/io.h"
#include "spine_test_support.h"

TEST(SocketIdTest, ReadsTheLeadingNumberAndZeroForAnythingElse) {
  ScopedTempDir dir;
  const std::pair<const char*, int> cases[] = {{"42", 42}, {"  \n7", 7}, {"-3", -3}, {"12abc", 12}, {"", 0},
                                               {"abc", 0}, {"x12", 0},   {"99999999999", 0}, {"-99999999999", 0}};
  for (const auto& [text, want] : cases) {
    ASSERT_TRUE(replaceFileAtomically(dir.file("id"), text, 0600));
    EXPECT_EQ(getSocketIdFromFile(dir.file("id")), want) << "content: \"" << text << "\"";
  }
  // Missing, a directory, or a FIFO (which must not block the reader).
  EXPECT_EQ(getSocketIdFromFile(dir.file("missing")), 0);
  EXPECT_EQ(getSocketIdFromFile(dir.path()), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(getSocketIdFromFile(dir.file("fifo")), 0);
}

TEST(SocketIdTest, WritesBareNumberWithUmaskModeAndReportsFailure) {
  ScopedTempDir dir;
  const std::string path = dir.file("tundrafoxd-socket.id");
  mode_t old = ::umask(027);
  bool ok = setSocketIdToFile(path, 17);
  ::umask(old);
  ASSERT_TRUE(ok);
  EXPECT_EQ(readWholeFile(path), "17");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_TRUE(setSocketIdToFile(path, 0));
  EXPECT_EQ(readWholeFile(path), "0");
  EXPECT_FALSE(setSocketIdToFile(dir.file("no-such-dir/id"), 3));
}

TEST(SocketIdTest, PlantedSymlinkIsReplacedNotFollowed) {
  ScopedTempDir dir;
  const std::string victim = dir.file("victim"), path = dir.file("id"), dangling = dir.file("dangling");
  ASSERT_TRUE(replaceFileAtomically(victim, "7", 0600));
  ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("created-through-link").c_str(), dangling.c_str()), 0);

  EXPECT_EQ(getSocketIdFromFile(path), 0);  // not read through the link
  ASSERT_TRUE(setSocketIdToFile(path, 5));
  ASSERT_TRUE(setSocketIdToFile(dangling, 6));
  EXPECT_EQ(readWholeFile(victim), "7");
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(readWholeFile(path), "5");
  EXPECT_NE(::access(dir.file("created-through-link").c_str(), F_OK), 0);  // a dangling link creates nothing
}
