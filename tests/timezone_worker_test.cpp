#include "timezone/timezone_worker.h"

#include <fstream>

#include "fake_command_runner.h"
#include "spine_test_support.h"

// The list decides alone when it can be read: its last name. Otherwise the
// first word of ZONE in the clock file, double quotes dropped, then TZ; keys
// are compared exactly and the first match decides. A name that would not
// pass as a client's is not used either.
TEST(TimezoneWorkerTest, FindsTheDefaultTimezone) {
  ScopedTempDir dir;
  const TimezoneFiles files{dir.file("timezone"), dir.file("clock"), dir.file("TIMEZONE")};
  FakeCommandRunner runner;
  const std::string longLine = std::string(127, '#') + "Europe/Oslo\n";  // read in pieces of 127
  const struct {
    const char *list, *clock, *config, *found;
  } cases[] = {
      {"# c\nEurope/Berlin\n\n  #x\nAsia/Tokyo  more\n", "ZONE=UTC\n", nullptr, "Asia/Tokyo"},
      {"", "ZONE=Europe/Paris\n", "TZ=UTC\n", ""},
      {longLine.c_str(), nullptr, nullptr, "Europe/Oslo"},
      {nullptr, "UTC=true\n==ZONE=  Eu\"rope\"/Rome more\n", "TZ=UTC\n", "Europe/Rome"},
      {nullptr, "ZONE =Europe/Paris\nzone=UTC\nZONEX=UTC\nZONE=\nZONE=UTC\n", "TZ=Asia/Tokyo\n", "Asia/Tokyo"},
      {nullptr, nullptr, nullptr, ""},
      {"Europe/Berlin\";id;\"\n", nullptr, nullptr, ""},
      {nullptr, "ZONE=\"\"\n", "TZ=UTC\n", ""},
  };
  for (const auto& c : cases) {
    for (auto [path, text] : {std::pair{files.timezoneList, c.list}, {files.sysconfigClock, c.clock},
                              {files.timezoneConfig, c.config}}) {
      std::filesystem::remove(path);
      if (text != nullptr) std::ofstream(path) << text;
    }
    TimezoneWorker worker(files, runner);
    EXPECT_EQ(worker.isSupported() ? worker.getDefaultTimezone() : "", c.found) << "case " << &c - cases;
  }
}
