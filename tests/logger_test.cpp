#include "daemon/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <tuple>

#include "spine_test_support.h"

TEST(ReplaceAllTest, InsertedTextIsNotSearchedAgain) {
  const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
      {"aaa", "a", "aa", "aaaaaa"}, {"aa", "a", "ba", "baba"},  {"abc", "", "x", "abc"},
      {"xabyab", "ab", "", "xy"},   {"abc", "abcd", "z", "abc"}};
  for (const auto& [in, from, to, want] : cases) {
    std::string s = in;
    replaceAll(s, from, to);
    EXPECT_EQ(s, want) << in << " / " << from << " -> " << to;
  }
}

// The logger is a process-wide singleton with one file, so each case runs in
// a forked child (the "fast" style shares the parent's temp dir path); its
// buffered lines reach the file when the child exits.
TEST(LoggerTest, MissingDirectoryWritesNothing) {
  GTEST_FLAG_SET(death_test_style, "fast");
  ScopedTempDir dir;
  EXPECT_EXIT(
      {
        CLogger::SetFileName(dir.file("no-such-dir/daemon.log"));
        CLogger* logger = CLogger::GetLogger();
        if (logger == nullptr || logger != CLogger::GetLogger()) std::_Exit(3);
        logger->Log("value %d", 1);
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

  // Appended; operator<< starts with an empty line; the long line is cut to
  // the 1024-byte buffer.
  const std::regex stamp(R"(\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2}:\t)");
  EXPECT_EQ(std::regex_replace(readWholeFile(path), stamp, "<T>"),
            "older line\n<T>value 7 of x\n<T>plain %d\n\n<T>first\n\n<T>second\n<T>" + std::string(1023, 'y') + "\n");
}
