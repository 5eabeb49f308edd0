#include "daemon/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <vector>

#include "spine_test_support.h"

namespace {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const std::regex kLine(R"(^\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2}:\t(.*)$)");

}  // namespace

TEST(ReplaceAllTest, InsertedTextIsNotSearchedAgain) {
  std::string s = "aaa";
  replaceAll(s, "a", "aa");
  EXPECT_EQ(s, "aaaaaa");
  s = "aa";
  replaceAll(s, "a", "ba");
  EXPECT_EQ(s, "baba");
}

TEST(ReplaceAllTest, EmptySearchRemovalAndNoMatch) {
  std::string s = "abc";
  replaceAll(s, "", "x");
  EXPECT_EQ(s, "abc");
  s = "xabyab";
  replaceAll(s, "ab", "");
  EXPECT_EQ(s, "xy");
  s = "abc";
  replaceAll(s, "abcd", "z");
  EXPECT_EQ(s, "abc");
}

TEST(LoggerTest, CurrentDateTimeHasDaemonTimestampForm) {
  EXPECT_TRUE(std::regex_match(Util::CurrentDateTime(), std::regex(R"(\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2})")));
}

// The logger is a process-wide singleton with one file, so each case runs in
// a forked child of its own (the "fast" style: the child shares the parent's
// temp dir path); its lines reach the file when the child exits.
TEST(LoggerTest, MissingDirectoryWritesNothing) {
  GTEST_FLAG_SET(death_test_style, "fast");
  ScopedTempDir dir;
  const std::string path = dir.file("no-such-dir/daemon.log");
  EXPECT_EXIT(
      {
        CLogger::SetFileName(path);
        CLogger* logger = CLogger::GetLogger();
        if (logger == nullptr || logger != CLogger::GetLogger()) std::_Exit(3);
        logger->Log("value %d", 1);
        logger->Log(std::string("text"));
        *logger << "more";
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_NE(::access(dir.file("no-such-dir").c_str(), F_OK), 0);
}

TEST(LoggerTest, LinesAreTimestampColonTabText) {
  GTEST_FLAG_SET(death_test_style, "fast");
  ScopedTempDir dir;
  const std::string path = dir.file("daemon.log");
  ASSERT_TRUE(replaceFileAtomically(path, "older line\n", 0600));
  EXPECT_EXIT(
      {
        CLogger::SetFileName(path);
        CLogger* logger = CLogger::GetLogger();
        logger->Log("value %d of %s", 7, "x");
        logger->Log(std::string("plain %d"));
        *logger << "first" << "second";
        logger->Log("%s", std::string(2000, 'y').c_str());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");

  const std::vector<std::string> lines = splitLines(readWholeFile(path));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "older line");  // appended, not truncated
  const char* want[] = {"value 7 of x", "plain %d", nullptr, "first", nullptr, "second"};
  for (size_t i = 0; i < 6; ++i) {
    if (want[i] == nullptr) {
      EXPECT_EQ(lines[i + 1], "") << "line " << i + 1;  // operator<< starts with a newline
      continue;
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i + 1], m, kLine)) << lines[i + 1];
    EXPECT_EQ(m[1], want[i]);
  }
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[7], m, kLine));
  EXPECT_EQ(m[1].length(), 1023);  // cut to the 1024-byte buffer
}
