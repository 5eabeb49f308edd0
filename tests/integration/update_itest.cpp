// Command 10 against the real daemon: the delayed update job, what it runs
// (through the recording stubs), and the refusals.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "base/io.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const std::string kJobScript = std::string(kDataDir) + "/autoupdate-job.sh", kDownloads = "/tmp/downloads/";
const std::array<unsigned char, kMessageReplySize> kYes = {1}, kNo = {0};

bool outputPolicyIs(const std::string& policy) {
  return runCommand("iptables -S OUTPUT").output.find("-P OUTPUT " + policy) != std::string::npos;
}

// Index of the first stub call starting with `prefix`, calls.size() when none does.
size_t indexOf(const std::vector<std::string>& calls, const std::string& prefix) {
  return std::find_if(calls.begin(), calls.end(), [&](const std::string& c) { return c.starts_with(prefix); }) -
         calls.begin();
}

// Starts the daemon with the kill switch on.
void startWithKillSwitchOn() {
  std::filesystem::create_directory(kDownloads);
  ASSERT_TRUE(startDaemon());
  ASSERT_TRUE(runCtl({"firewall", "on", "--servers", "10.20.30.40", "--interface", "tun0"}).ok());
  ASSERT_TRUE(waitUntil([] { return outputPolicyIs("DROP"); }));
}

}  // namespace

TEST_F(DaemonTest, UpdateRepliesAtOnceThenJobStopsServiceAndInstallsAfterDelay) {
  startWithKillSwitchOn();
  const int listening = readPidFile(kSocketIdFile);
  // The listener is stopped through its own socket, never through a number
  // read from the socket-id file: a file that lies must not matter.
  ASSERT_TRUE(replaceFileAtomically(kSocketIdFile, "0", 0644));
  const std::string pkg = kDownloads + "tundra fox_2.0_amd64.deb";
  std::ofstream(pkg) << "!<arch>\n";
  std::ofstream("/var/log/sandbox/who.out") << "alice    tty7  2025-01-01 10:00 (:0)\n";
  const size_t mark = syslogMark();
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_TRUE(runCtl({"install-update", pkg}).ok());
  EXPECT_EQ(indexOf(stubCalls(), "dpkg"), stubCalls().size()) << "the reply comes before the job runs";
  // Firewall off, listener stopped, then the job launched.
  EXPECT_TRUE(waitUntil([] { return outputPolicyIs("ACCEPT"); }));
  const std::string launch = "install update: (sleep 5 && sh \"" + kJobScript + "\" >/dev/null) &";
  EXPECT_TRUE(waitForLog(launch, kDefaultTimeoutMs, mark));
  EXPECT_LT(logPosition("close(" + std::to_string(listening) + ")", mark), logPosition(launch, mark));
  EXPECT_EQ(logSeverity("install update: ", mark), 6);
  EXPECT_FALSE(connectControl().valid()) << "control port still open after the update command";

  // About 5 s later the job stops the client and the service, installs the
  // package as one argument and starts the client again.
  const std::string dpkg = "dpkg [-i] [" + pkg + "]";
  ASSERT_TRUE(waitForStubCall(dpkg, 20000) && waitForStubCall("su [-l] [alice]"));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(4500));
  const std::vector<std::string> calls = stubCalls();
  const size_t stop = indexOf(calls, "systemctl [stop] [tundrafoxd]"), install = indexOf(calls, dpkg);
  EXPECT_TRUE(indexOf(calls, "pgrep [tundra_fox]") < stop && stop < install && install < indexOf(calls, "su [-l]"));
  // The job killed what was left of the daemon (the stubbed systemctl could not).
  EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0; }));
}

// Every class of path the daemon refuses, each for its own reason, leaves the
// kill switch on, the daemon serving, and nothing to run later.
TEST_F(DaemonTest, UpdateRefusesUnsafeOrMissingPackageAndKeepsServing) {
  startWithKillSwitchOn();
  ASSERT_EQ(mkfifo((kDownloads + "fifo.deb").c_str(), 0644), 0);
  std::ofstream(kDownloads + "p.deb") << "!<arch>\n";
  const std::string unsafe = "holds a quote, $, backquote, backslash or newline";
  const std::pair<std::string, std::string> cases[] = {
      {"", "(empty path)"},
      {"tmp/downloads/p.deb", "(not an absolute path)"},
      {"/" + std::string(600, 'a'), "AA_COMMAND_INSTALL_UPDATE refused: "},
      {kDownloads + "x\";touch /tmp/pwned;\".deb", unsafe},
      {kDownloads + "$(touch /tmp/pwned).deb", unsafe},
      {kDownloads + "`touch /tmp/pwned`.deb", unsafe},
      {kDownloads + "x\\", unsafe},
      {kDownloads + "x\ntouch /tmp/pwned\n.deb", unsafe},
      {kDownloads + "missing.deb", "(no such file)"},
      {kDownloads + "fifo.deb", "(not a regular file)"},
      {"/tmp/downloads", "(not a regular file)"},
  };
  for (const auto& [path, reason] : cases) {
    if (reason == unsafe) std::ofstream(path) << "!<arch>\n";  // refused though it exists
    const size_t mark = syslogMark();
    MessagePacket packet;
    ASSERT_TRUE(encodePackagePath(&packet, std::u32string(path.begin(), path.end())));
    EXPECT_EQ(exchangeRecord(packet), kNo) << path;
    EXPECT_EQ(countLog(reason, mark), 1u) << path;
  }
  EXPECT_TRUE(outputPolicyIs("DROP")) << "the kill switch must stay on";
  EXPECT_EQ(exchangeRecord(makePacket(5)), kYes) << "the listener must keep serving";
  sleepMs(6000);  // the job would start after 5 seconds
  EXPECT_FALSE(std::filesystem::exists(kJobScript) || std::filesystem::exists("/tmp/pwned"));
  EXPECT_EQ(indexOf(stubCalls(), "dpkg"), stubCalls().size());
}
