#include "timezone/timezone_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_command_runner.h"

namespace fs = std::filesystem;

namespace {

class TimezoneWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = ::testing::TempDir() + "tzworker.XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    files_.timezoneList = dir_ + "/timezone";
    files_.sysconfigClock = dir_ + "/clock";
    files_.timezoneConfig = dir_ + "/TIMEZONE";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  // The default timezone that a worker over the current files finds.
  std::string defaultFound() {
    TimezoneWorker w(files_, runner_);
    return w.isSupported() ? w.getDefaultTimezone() : "<none>";
  }

  std::string dir_;
  TimezoneFiles files_;
  FakeCommandRunner runner_;
};

}  // namespace

TEST_F(TimezoneWorkerTest, TimezoneListGivesItsLastName) {
  write(files_.timezoneList, "# comment\nEurope/Berlin\n");
  EXPECT_EQ(defaultFound(), "Europe/Berlin");
  write(files_.timezoneList, "Europe/Berlin\n\n   \n  #x\nAsia/Tokyo  trailing words\n");
  EXPECT_EQ(defaultFound(), "Asia/Tokyo");
  // A last line without newline counts as well.
  write(files_.timezoneList, "Europe/Berlin\nUTC");
  EXPECT_EQ(defaultFound(), "UTC");
}

TEST_F(TimezoneWorkerTest, ReadableTimezoneListDecidesAlone) {
  write(files_.timezoneList, "");
  write(files_.sysconfigClock, "ZONE=Europe/Paris\n");
  EXPECT_EQ(defaultFound(), "<none>");
}

TEST_F(TimezoneWorkerTest, FallsBackToClockZoneThenTimezoneTZ) {
  write(files_.sysconfigClock, "UTC=true\nZONE=\"America/New_York\"\n");
  write(files_.timezoneConfig, "TZ=Asia/Tokyo\n");
  EXPECT_EQ(defaultFound(), "America/New_York");
  write(files_.sysconfigClock, "ZONE =Europe/Paris\n");  // no trimming: no match
  EXPECT_EQ(defaultFound(), "Asia/Tokyo");
  fs::remove(files_.sysconfigClock);
  EXPECT_EQ(defaultFound(), "Asia/Tokyo");
  fs::remove(files_.timezoneConfig);
  EXPECT_EQ(defaultFound(), "<none>");
}

TEST_F(TimezoneWorkerTest, GetValueReadsTheFirstWordWithoutDoubleQuotes) {
  const std::string path = dir_ + "/clock";
  char buf[128];
  write(path, "==ZONE=\"America/New York\"\n");  // leading '=' skipped; cut at the blank
  ASSERT_NE(TimezoneWorker::getValue(path.c_str(), "ZONE", buf, sizeof buf), nullptr);
  EXPECT_STREQ(buf, "America/New");
  write(path, "ZONE=  'Eu\"rope\"/Rome' more\n");
  ASSERT_NE(TimezoneWorker::getValue(path.c_str(), "ZONE", buf, sizeof buf), nullptr);
  EXPECT_STREQ(buf, "'Europe/Rome'");
  // The first match ends the search even when it has no value.
  write(path, "ZONE=\nZONE=UTC\n");
  EXPECT_EQ(TimezoneWorker::getValue(path.c_str(), "ZONE", buf, sizeof buf), nullptr);
  write(path, "zone=UTC\nZONEX=UTC\n");
  EXPECT_EQ(TimezoneWorker::getValue(path.c_str(), "ZONE", buf, sizeof buf), nullptr);
  // At most size - 1 characters are examined.
  write(path, "TZ=Europe/Berlin\n");
  char small[7];
  ASSERT_NE(TimezoneWorker::getValue(path.c_str(), "TZ", small, sizeof small), nullptr);
  EXPECT_STREQ(small, "Europe");
  EXPECT_EQ(TimezoneWorker::getValue((dir_ + "/missing").c_str(), "TZ", buf, sizeof buf), nullptr);
}

// Lines are read in pieces of 127 characters: the rest of a long line is
// read as a line of its own.
TEST_F(TimezoneWorkerTest, OverlongLinesAreReadInPieces) {
  write(files_.timezoneList, std::string(127, '#') + "Europe/Oslo\n");
  EXPECT_EQ(defaultFound(), "Europe/Oslo");
}

TEST_F(TimezoneWorkerTest, UnusableDefaultMakesTheWorkerUnsupported) {
  write(files_.timezoneList, "Europe/Berlin\";id;\"\n");
  EXPECT_EQ(defaultFound(), "<none>");
  write(files_.timezoneList, "$(id)\n");
  EXPECT_EQ(defaultFound(), "<none>");
  fs::remove(files_.timezoneList);
  write(files_.sysconfigClock, "ZONE=\"\"\n");
  EXPECT_EQ(defaultFound(), "<none>");
}

TEST_F(TimezoneWorkerTest, UnsupportedWorkerRunsNothing) {
  TimezoneWorker w(files_, runner_);
  ASSERT_FALSE(w.isSupported());
  EXPECT_FALSE(w.changeToIP("Europe/Berlin"));
  EXPECT_EQ(w.setTimezone("Europe/Berlin"), TimezoneOutcome::kUnsupported);
  EXPECT_FALSE(w.restoreToDefault());
  EXPECT_TRUE(runner_.commands().empty());
}

TEST_F(TimezoneWorkerTest, ChangeAndRestoreRunTimedatectl) {
  write(files_.timezoneList, "Europe/Berlin\n");
  TimezoneWorker w(files_, runner_);
  EXPECT_FALSE(w.restoreToDefault());  // nothing changed yet
  EXPECT_EQ(w.restore(), TimezoneOutcome::kNothingToDo);
  EXPECT_TRUE(runner_.commands().empty());

  EXPECT_TRUE(w.changeToIP("America/Sao_Paulo"));
  EXPECT_TRUE(w.isChanged());
  EXPECT_TRUE(w.restoreToDefault());
  EXPECT_FALSE(w.isChanged());
  EXPECT_EQ(runner_.commands(), (std::vector<std::string>{"timedatectl set-timezone \"America/Sao_Paulo\"",
                                                          "timedatectl set-timezone \"Europe/Berlin\""}));
}

TEST_F(TimezoneWorkerTest, RefusesUnsafeNamesWithoutRunningAnything) {
  write(files_.timezoneList, "UTC\n");
  TimezoneWorker w(files_, runner_);
  for (const char* name : {"", "; rm -rf /", "$(id)", "`id`", "a\nb", "UTC\"; reboot; \"", "../../etc/passwd"}) {
    EXPECT_EQ(w.setTimezone(name), TimezoneOutcome::kRefused) << name;
    EXPECT_FALSE(w.changeToIP(name));
  }
  EXPECT_FALSE(w.changeToIP(nullptr));
  EXPECT_TRUE(runner_.commands().empty());
  EXPECT_FALSE(w.isChanged());
}

// A timedatectl that fails must not be taken for a change, nor a failed
// restore for a restore.
TEST_F(TimezoneWorkerTest, FailedCommandLeavesStateAsItWas) {
  write(files_.timezoneList, "UTC\n");
  TimezoneWorker w(files_, runner_);
  runner_.setShellStatus(1 << 8);
  EXPECT_EQ(w.setTimezone("Europe/Berlin"), TimezoneOutcome::kFailed);
  EXPECT_FALSE(w.isChanged());
  runner_.setShellStatus(0);
  ASSERT_EQ(w.setTimezone("Europe/Berlin"), TimezoneOutcome::kDone);
  runner_.setShellStatus(-1);
  EXPECT_EQ(w.setTimezone("Asia/Tokyo"), TimezoneOutcome::kFailed);
  EXPECT_TRUE(w.isChanged());
  EXPECT_EQ(w.restore(), TimezoneOutcome::kFailed);
  EXPECT_TRUE(w.isChanged());
  runner_.setShellStatus(0);
  EXPECT_EQ(w.restore(), TimezoneOutcome::kDone);
  EXPECT_FALSE(w.isChanged());
}

TEST_F(TimezoneWorkerTest, DestructorRestoresOnlyAChangedTimezone) {
  write(files_.timezoneList, "Europe/Berlin\n");
  {
    TimezoneWorker w(files_, runner_);
  }
  EXPECT_TRUE(runner_.commands().empty());
  {
    TimezoneWorker w(files_, runner_);
    ASSERT_TRUE(w.changeToIP("Asia/Tokyo"));
  }
  EXPECT_EQ(runner_.commands(), (std::vector<std::string>{"timedatectl set-timezone \"Asia/Tokyo\"",
                                                          "timedatectl set-timezone \"Europe/Berlin\""}));
}

TEST_F(TimezoneWorkerTest, ConcurrentRequestsRunOneAtATime) {
  write(files_.timezoneList, "UTC\n");
  TimezoneWorker w(files_, runner_);
  std::atomic<int> inFlight{0};
  std::atomic<int> overlaps{0};
  runner_.setHook([&](const std::string&) {
    if (inFlight.fetch_add(1) != 0) overlaps.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    inFlight.fetch_sub(1);
    return 0;
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&w, t] {
      for (int i = 0; i < 20; ++i) {
        if ((i + t) % 2 == 0) {
          w.setTimezone("Europe/Berlin");
        } else {
          w.restore();
        }
        (void)w.isChanged();
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(overlaps.load(), 0);
  // Every restore that ran followed a change made since the last restore.
  bool changed = false;
  for (const std::string& cmd : runner_.commands()) {
    if (cmd == "timedatectl set-timezone \"UTC\"") {
      EXPECT_TRUE(changed);
      changed = false;
    } else {
      EXPECT_EQ(cmd, "timedatectl set-timezone \"Europe/Berlin\"");
      changed = true;
    }
  }
  EXPECT_EQ(changed, w.isChanged());
}
