// Command 10 against the real daemon: the delayed update job, its script,
// what it runs (through the recording stubs), and the refusals.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "control/text.h"
#include "daemon/io.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const std::string kJobScript = std::string(kDataDir) + "/autoupdate-job.sh";

MessagePacket updatePacket(const std::string& packagePath) {
  MessagePacket packet = makePacket(10);
  std::u32string units;
  EXPECT_TRUE(utf8ToWide(packagePath, &units));
  EXPECT_TRUE(encodePackagePath(&packet, units));
  return packet;
}

MessagePacket killSwitchOnPacket() {
  MessagePacket packet = makePacket(1);
  FirewallRequest request;
  request.serverAddresses = "10.20.30.40";
  request.killSwitch = true;
  EXPECT_TRUE(encodeFirewallRequest(&packet, 1, request));
  return packet;
}

std::string makePackageFile(const std::string& path) {
  ::mkdir("/tmp/downloads", 0755);
  std::ofstream(path) << "!<arch>\n";
  return path;
}

int socketIdInFile() {
  std::string text;
  if (!readFile(kSocketIdFile, &text)) return 0;
  return std::atoi(text.c_str());
}

bool outputPolicyIs(const std::string& policy) {
  return runCommand("iptables -S OUTPUT").output.find("-P OUTPUT " + policy) != std::string::npos;
}

size_t indexOf(const std::vector<std::string>& calls, const std::string& prefix) {
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].starts_with(prefix)) return i;
  }
  return calls.size();
}

// Kill switch on and confirmed in the sandbox's filter table.
void switchKillSwitchOn() {
  auto reply = exchangeRecord(killSwitchOnPacket());
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ((*reply)[0], 1);
  ASSERT_TRUE(waitUntil([] { return outputPolicyIs("DROP"); }));
}

}  // namespace

TEST_F(DaemonTest, UpdateRepliesAtOnceThenJobStopsServiceAndInstallsAfterDelay) {
  ASSERT_TRUE(startDaemon());
  switchKillSwitchOn();
  const int listeningFd = socketIdInFile();
  ASSERT_GT(listeningFd, 0);
  const std::string pkg = makePackageFile("/tmp/downloads/tundra fox_2.0_amd64.deb");
  const size_t mark = syslogMark();

  const auto sent = std::chrono::steady_clock::now();
  auto reply = exchangeRecord(updatePacket(pkg));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ((*reply)[0], 1);
  // The reply comes before the job has done anything.
  EXPECT_EQ(indexOf(stubCalls(), "dpkg"), stubCalls().size());
  EXPECT_EQ(indexOf(stubCalls(), "systemctl"), stubCalls().size());

  // Firewall off, listener stopped through its own socket, job launched.
  EXPECT_TRUE(waitUntil([] { return outputPolicyIs("ACCEPT"); }));
  EXPECT_TRUE(waitForLog("close(" + std::to_string(listeningFd) + ")", kDefaultTimeoutMs, mark));
  const std::string launch = "install update: (sleep 5 && sh \"" + kJobScript + "\" >/dev/null) &";
  EXPECT_TRUE(waitForLog(launch, kDefaultTimeoutMs, mark));
  EXPECT_LT(logPosition("close(" + std::to_string(listeningFd) + ")", mark), logPosition("install update: ", mark));
  EXPECT_EQ(logSeverity("install update: ", mark), 6);
  EXPECT_TRUE(waitUntil([] { return socketIdInFile() == 0; })) << "socket-id file should hold 0";
  EXPECT_FALSE(connectControl().valid()) << "control port still open after the update command";

  std::string script;
  ASSERT_TRUE(readFile(kJobScript, &script));
  EXPECT_TRUE(script.starts_with("#!/bin/bash\n#dpkg -r tundra-fox\n"));
  EXPECT_TRUE(script.ends_with("  tundra_fox -style=gtk &\nfi\n"));
  EXPECT_EQ(std::count(script.begin(), script.end(), '\n'), 29);
  EXPECT_NE(script.find("\nsudo systemctl stop tundrafoxd\n"), std::string::npos);
  EXPECT_NE(script.find("\ndpkg -i \"" + pkg + "\"\n"), std::string::npos);

  // The job, about 5 seconds later: the service stopped, then the package
  // installed as one argument.
  const std::string dpkgCall = "dpkg [-i] [" + pkg + "]";
  ASSERT_TRUE(waitForStubCall(dpkgCall, 20000));
  const auto ran = std::chrono::steady_clock::now();
  EXPECT_GE(ran - sent, std::chrono::milliseconds(4500));
  const std::vector<std::string> calls = stubCalls();
  const size_t stop = indexOf(calls, "systemctl [stop] [tundrafoxd]");
  const size_t install = indexOf(calls, dpkgCall);
  ASSERT_LT(stop, calls.size());
  EXPECT_LT(stop, install);
  EXPECT_LT(indexOf(calls, "sudo [systemctl] [stop] [tundrafoxd]"), stop);
  EXPECT_LT(indexOf(calls, "pgrep [tundra_fox]"), stop);
  // The client is started again after the installation.
  EXPECT_TRUE(waitUntil([&] {
    auto now = stubCalls();
    size_t su = indexOf(now, "su [-l]");
    return su < now.size() && su > install;
  }));
  // The job killed what was left of the daemon (the stubbed systemctl could not).
  EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0; }));
}

TEST_F(DaemonTest, UpdateStopsTheListenerItselfWhateverTheSocketIdFileSays) {
  ASSERT_TRUE(startDaemon());
  const int listeningFd = socketIdInFile();
  ASSERT_GT(listeningFd, 0);
  // The listener is stopped through its own socket, never through a number
  // read from the file: a file that lies must not matter.
  ASSERT_TRUE(writeFull(UniqueFd(::open(kSocketIdFile, O_WRONLY | O_TRUNC | O_CLOEXEC)).get(), "0"));
  const size_t mark = syslogMark();
  auto reply = exchangeRecord(updatePacket(makePackageFile("/tmp/downloads/a.deb")));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ((*reply)[0], 1);
  EXPECT_TRUE(waitForLog("close(" + std::to_string(listeningFd) + ")", kDefaultTimeoutMs, mark));
  EXPECT_TRUE(waitForLog("install update: ", kDefaultTimeoutMs, mark));
  EXPECT_TRUE(waitUntil([] { return !connectControl().valid(); }));
}

TEST_F(DaemonTest, UpdateRefusesUnsafeOrMissingPackageAndKeepsServing) {
  ASSERT_TRUE(startDaemon());
  switchKillSwitchOn();
  const int listeningFd = socketIdInFile();
  const size_t mark = syslogMark();

  // An existing file whose name would close the quotes in the job script.
  const std::string evil = makePackageFile("/tmp/downloads/x\";touch /tmp/pwned;\".deb");
  const std::vector<std::string> refused = {evil, "/tmp/downloads/missing.deb", "downloads/a.deb", "/tmp/downloads"};
  for (const std::string& path : refused) {
    auto reply = exchangeRecord(updatePacket(path));
    ASSERT_TRUE(reply.has_value()) << path << ": the control port must stay open";
    EXPECT_EQ((*reply)[0], 0) << path;
  }
  EXPECT_EQ(countLog("install update refused", mark), refused.size());
  EXPECT_EQ(logSeverity("install update refused", mark), 6);
  // Only the connections' own close lines: the listener was not stopped.
  EXPECT_EQ(countLog("close(", mark), countLog("close(client_sock);", mark));
  EXPECT_EQ(countLog("install update: ", mark), 0u);

  struct stat st;
  EXPECT_NE(::stat(kJobScript.c_str(), &st), 0) << "no job script may be written";
  EXPECT_TRUE(outputPolicyIs("DROP")) << "the kill switch must stay on";
  EXPECT_EQ(socketIdInFile(), listeningFd);
  auto still = exchangeRecord(makePacket(5));
  ASSERT_TRUE(still.has_value());
  EXPECT_EQ((*still)[0], 1);
  // Nothing runs later either (the job would start after 5 seconds).
  sleepMs(6000);
  EXPECT_EQ(indexOf(stubCalls(), "dpkg"), stubCalls().size());
  EXPECT_NE(::stat("/tmp/pwned", &st), 0);
}
