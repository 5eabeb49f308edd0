#include "control/socket_id.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/io.h"
#include "spine_test_support.h"

TEST(SocketIdTest, UnreadableContentReadsAsZero) {
  ScopedTempDir dir;
  EXPECT_EQ(getSocketIdFromFile(dir.file("missing")), 0);
  for (const char* text : {"", "   ", "abc", "x12", "99999999999", "-99999999999"}) {
    ASSERT_TRUE(replaceFileAtomically(dir.file("id"), text, 0600));
    EXPECT_EQ(getSocketIdFromFile(dir.file("id")), 0) << "content: \"" << text << "\"";
  }
  // A directory or a FIFO is not a socket-id file (and the FIFO must not
  // block the reader).
  EXPECT_EQ(getSocketIdFromFile(dir.path()), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(getSocketIdFromFile(dir.file("fifo")), 0);
}

TEST(SocketIdTest, ParsesTheNumberAtTheStart) {
  ScopedTempDir dir;
  const std::pair<const char*, int> cases[] = {{"42", 42}, {"  \n7", 7}, {"-3", -3}, {"12abc", 12}, {"0", 0}};
  for (const auto& [text, want] : cases) {
    ASSERT_TRUE(replaceFileAtomically(dir.file("id"), text, 0600));
    EXPECT_EQ(getSocketIdFromFile(dir.file("id")), want) << "content: \"" << text << "\"";
  }
}

TEST(SocketIdTest, RoundTripWritesBareNumber) {
  ScopedTempDir dir;
  const std::string path = dir.file("tundrafoxd-socket.id");
  ASSERT_TRUE(setSocketIdToFile(path, 17));
  EXPECT_EQ(readWholeFile(path), "17");
  EXPECT_EQ(getSocketIdFromFile(path), 17);
  ASSERT_TRUE(setSocketIdToFile(path, 0));
  EXPECT_EQ(readWholeFile(path), "0");
}

TEST(SocketIdTest, PlantedSymlinkIsReplacedNotFollowed) {
  ScopedTempDir dir;
  const std::string victim = dir.file("victim");
  const std::string path = dir.file("id");
  ASSERT_TRUE(replaceFileAtomically(victim, "keep me", 0600));
  ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
  // A dangling link must not create its target either.
  const std::string dangling = dir.file("dangling");
  ASSERT_EQ(::symlink(dir.file("created-through-link").c_str(), dangling.c_str()), 0);

  EXPECT_EQ(getSocketIdFromFile(path), 0);  // not read through the link
  ASSERT_TRUE(setSocketIdToFile(path, 5));
  ASSERT_TRUE(setSocketIdToFile(dangling, 6));

  EXPECT_EQ(readWholeFile(victim), "keep me");
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(readWholeFile(path), "5");
  EXPECT_NE(::access(dir.file("created-through-link").c_str(), F_OK), 0);
  EXPECT_EQ(getSocketIdFromFile(dangling), 6);
}

TEST(SocketIdTest, ModeFollowsUmaskAndFailureIsReported) {
  ScopedTempDir dir;
  mode_t old = ::umask(027);
  bool ok = setSocketIdToFile(dir.file("id"), 3);
  ::umask(old);
  ASSERT_TRUE(ok);
  struct stat st;
  ASSERT_EQ(::stat(dir.file("id").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(setSocketIdToFile(dir.file("no-such-dir/id"), 3));
}
