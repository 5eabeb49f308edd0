// Command 10 against the real daemon, sent with the control tool as an
// administrator would: the delayed update job, what it runs (through the
// recording stubs), and the refusals.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "base/io.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const std::string kJobScript = std::string(kDataDir) + "/autoupdate-job.sh";

// The control tool's exit status: 0 when the daemon answered 1, 1 when it
// answered 0, 3 when no reply came.
int ctl(const std::vector<std::string>& args) {
  CommandResult r = runCtl(args);
  return WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
}

std::string makePackageFile(const std::string& name) {
  ::mkdir("/tmp/downloads", 0755);
  std::ofstream("/tmp/downloads/" + name) << "!<arch>\n";
  return "/tmp/downloads/" + name;
}

bool outputPolicyIs(const std::string& policy) {
  return runCommand("iptables -S OUTPUT").output.find("-P OUTPUT " + policy) != std::string::npos;
}

// Index of the first call starting with `prefix`, calls.size() when none does.
size_t indexOf(const std::vector<std::string>& calls, const std::string& prefix) {
  return std::find_if(calls.begin(), calls.end(), [&](const std::string& c) { return c.starts_with(prefix); }) -
         calls.begin();
}

// Starts the daemon with the kill switch on. Returns the listening socket's number.
int startWithKillSwitchOn() {
  EXPECT_TRUE(startDaemon());
  EXPECT_EQ(ctl({"firewall", "on", "--servers", "10.20.30.40", "--interface", "tun0"}), 0);
  EXPECT_TRUE(waitUntil([] { return outputPolicyIs("DROP"); }));
  std::string id;
  EXPECT_TRUE(readFile(kSocketIdFile, &id));
  return std::atoi(id.c_str());
}

}  // namespace

TEST_F(DaemonTest, UpdateRepliesAtOnceThenJobStopsServiceAndInstallsAfterDelay) {
  const int listeningFd = startWithKillSwitchOn();
  ASSERT_GT(listeningFd, 0);
  // The listener is stopped through its own socket, never through a number
  // read from the socket-id file: a file that lies must not matter.
  ASSERT_TRUE(writeFull(UniqueFd(::open(kSocketIdFile, O_WRONLY | O_TRUNC | O_CLOEXEC)).get(), "0"));
  const std::string pkg = makePackageFile("tundra fox_2.0_amd64.deb");
  std::ofstream("/var/log/sandbox/who.out") << "alice    tty7  2025-01-01 10:00 (:0)\n";
  const size_t mark = syslogMark();
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(ctl({"install-update", pkg}), 0);
  EXPECT_EQ(indexOf(stubCalls(), "dpkg"), stubCalls().size()) << "the reply comes before the job runs";

  // Firewall off, listener stopped, then the job launched.
  EXPECT_TRUE(waitUntil([] { return outputPolicyIs("ACCEPT"); }));
  const std::string launch = "install update: (sleep 5 && sh \"" + kJobScript + "\" >/dev/null) &";
  EXPECT_TRUE(waitForLog(launch, kDefaultTimeoutMs, mark));
  EXPECT_LT(logPosition("close(" + std::to_string(listeningFd) + ")", mark), logPosition(launch, mark));
  EXPECT_EQ(logSeverity("install update: ", mark), 6);
  EXPECT_FALSE(connectControl().valid()) << "control port still open after the update command";

  // About 5 seconds later the job stops the client and the service, installs
  // the package as one argument and starts the client again.
  const std::string dpkgCall = "dpkg [-i] [" + pkg + "]";
  ASSERT_TRUE(waitForStubCall(dpkgCall, 20000));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(4500));
  const std::vector<std::string> calls = stubCalls();
  const size_t stop = indexOf(calls, "systemctl [stop] [tundrafoxd]"), install = indexOf(calls, dpkgCall);
  EXPECT_LT(indexOf(calls, "pgrep [tundra_fox]"), stop);
  EXPECT_LT(stop, install);
  ASSERT_TRUE(waitForStubCall("su [-l] [alice]"));
  EXPECT_GT(indexOf(stubCalls(), "su [-l] [alice]"), install);
  // The job killed what was left of the daemon (the stubbed systemctl could not).
  EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0; }));
}

TEST_F(DaemonTest, UpdateRefusesUnsafeOrMissingPackageAndKeepsServing) {
  startWithKillSwitchOn();
  const size_t mark = syslogMark();
  // An existing file whose name would close the quotes in the job script.
  const std::string evil = makePackageFile("x\";touch /tmp/pwned;\".deb");
  const std::vector<std::string> refused = {evil, "/tmp/downloads/missing.deb", "/tmp/downloads"};
  for (const std::string& path : refused) EXPECT_EQ(ctl({"install-update", path}), 1) << path;
  EXPECT_EQ(countLog("install update refused", mark), refused.size());
  EXPECT_TRUE(outputPolicyIs("DROP")) << "the kill switch must stay on";
  EXPECT_EQ(ctl({"raw", "--command", "5"}), 0) << "the listener must keep serving";
  // Nothing runs later either (the job would start after 5 seconds).
  sleepMs(6000);
  EXPECT_NE(::access(kJobScript.c_str(), F_OK), 0) << "no job script may be written";
  EXPECT_NE(::access("/tmp/pwned", F_OK), 0);
  EXPECT_EQ(indexOf(stubCalls(), "dpkg"), stubCalls().size());
}
