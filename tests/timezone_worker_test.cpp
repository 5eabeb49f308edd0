#include "timezone/timezone_worker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake_command_runner.h"
#include "spine_test_support.h"

namespace {

class TimezoneWorkerTest : public ::testing::Test {
 protected:
  // Writes `text` to `path`, or removes the file when `text` is null.
  static void put(const std::string& path, const char* text) {
    if (text == nullptr) std::filesystem::remove(path);
    if (text != nullptr) std::ofstream(path, std::ios::binary) << text;
  }
  // The default timezone that a worker over these three files finds.
  std::string defaultFound(const char* list, const char* clock, const char* config) {
    put(files_.timezoneList, list);
    put(files_.sysconfigClock, clock);
    put(files_.timezoneConfig, config);
    TimezoneWorker w(files_, runner_);
    return w.isSupported() ? w.getDefaultTimezone() : "<none>";
  }

  ScopedTempDir dir_;
  TimezoneFiles files_{dir_.file("timezone"), dir_.file("clock"), dir_.file("TIMEZONE")};
  FakeCommandRunner runner_;
};

}  // namespace

TEST_F(TimezoneWorkerTest, FindsTheDefaultTimezone) {
  // The last name of a readable list wins, and such a list decides alone.
  EXPECT_EQ(defaultFound("# c\nEurope/Berlin\n\n  #x\nAsia/Tokyo  more\n", "ZONE=UTC\n", nullptr), "Asia/Tokyo");
  EXPECT_EQ(defaultFound("Europe/Berlin\nUTC", nullptr, nullptr), "UTC");
  EXPECT_EQ(defaultFound("", "ZONE=Europe/Paris\n", "TZ=UTC\n"), "<none>");
  // Lines are read in pieces of 127 characters.
  EXPECT_EQ(defaultFound((std::string(127, '#') + "Europe/Oslo\n").c_str(), nullptr, nullptr), "Europe/Oslo");
  // Otherwise the first word of ZONE in the clock file, double quotes
  // dropped, then TZ. Keys are compared exactly; the first match decides.
  EXPECT_EQ(defaultFound(nullptr, "UTC=true\n==ZONE=  Eu\"rope\"/Rome more\n", "TZ=UTC\n"), "Europe/Rome");
  EXPECT_EQ(defaultFound(nullptr, "ZONE =Europe/Paris\nzone=UTC\nZONEX=UTC\nZONE=\nZONE=UTC\n", "TZ=Asia/Tokyo\n"),
            "Asia/Tokyo");
  EXPECT_EQ(defaultFound(nullptr, nullptr, nullptr), "<none>");
  // A default that would not pass as a client's name is not used either.
  EXPECT_EQ(defaultFound("Europe/Berlin\";id;\"\n", nullptr, nullptr), "<none>");
  EXPECT_EQ(defaultFound(nullptr, "ZONE=\"\"\n", "TZ=UTC\n"), "<none>");
  // At most size - 1 characters of the value are examined.
  put(files_.timezoneConfig, "TZ=Europe/Berlin\n");
  char small[7];
  ASSERT_NE(TimezoneWorker::getValue(files_.timezoneConfig.c_str(), "TZ", small, sizeof small), nullptr);
  EXPECT_STREQ(small, "Europe");
}

// A failed timedatectl is taken neither for a change nor for a restore: the
// worker still knows its change, and its destructor puts it back.
TEST_F(TimezoneWorkerTest, FailedCommandsLeaveTheStateAsItWas) {
  put(files_.timezoneList, "Europe/Berlin\n");
  {
    TimezoneWorker w(files_, runner_);
    EXPECT_FALSE(w.changeToIP(nullptr));
    EXPECT_TRUE(w.changeToIP("America/Sao_Paulo"));
    runner_.setShellStatus(1 << 8);
    EXPECT_EQ(w.setTimezone("Asia/Tokyo"), TimezoneOutcome::kFailed);
    EXPECT_FALSE(w.restoreToDefault());
    EXPECT_TRUE(w.isChanged());
    runner_.setShellStatus(0);
  }
  const std::string set = "timedatectl set-timezone ";
  EXPECT_EQ(runner_.commands(), (std::vector<std::string>{set + "\"America/Sao_Paulo\"", set + "\"Asia/Tokyo\"",
                                                          set + "\"Europe/Berlin\"", set + "\"Europe/Berlin\""}));
}
