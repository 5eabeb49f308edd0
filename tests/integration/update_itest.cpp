// Command 10 against the real daemon: the refusals, the delayed update job and
// what it runs (through the recording stubs, and with the real su).
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/io.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const std::string kJobScript = std::string(kDataDir) + "/autoupdate-job.sh", kDownloads = "/tmp/downloads/";
const std::array<unsigned char, kMessageReplySize> kNo = {0};

bool outputPolicyIs(const std::string& policy) {
  return runCommand("iptables -S OUTPUT").output.find("-P OUTPUT " + policy) != std::string::npos;
}

// The recorded calls but those of sudo (the job's `sudo kill -9 PID` lines), then forgets them.
std::vector<std::string> takeCalls() {
  std::vector<std::string> calls = stubCalls();
  std::erase_if(calls, [](const std::string& c) { return c.starts_with("sudo "); });
  std::filesystem::remove("/var/log/sandbox/stubs.log");
  return calls;
}

void setLogin(const std::string& user) {
  std::ofstream("/var/log/sandbox/who.out") << user << "    tty7  2025-01-01 10:00 (:0)\n";
}

class RealSuTest : public DaemonTest {};  // itest_main.cpp runs it with `--real su`

}  // namespace

// Every class of path the daemon refuses, each for its own reason, leaves the kill switch on and the daemon serving.
// A good one is answered before its job, which about 5 s later, through a worker restart, stops the service and
// installs that package only. Until the daemon starts anew, no worker switches the kill switch on again.
TEST_F(DaemonTest, UpdateRefusesUnsafePathsThenRepliesAtOnceAndInstallsAfterDelay) {
  const std::string pkg = kDownloads + "tundra fox_2.0_amd64.deb", unsafe = "holds a quote, $, backquote, backslash";
  std::filesystem::create_directory(kDownloads);
  std::ofstream(pkg) << "!<arch>\n";
  ASSERT_EQ(mkfifo((kDownloads + "fifo.deb").c_str(), 0644), 0);
  ASSERT_TRUE(startDaemon());
  // --block-ipv6: its foreground save waits for the rule scripts, so none runs from the data directory below.
  ASSERT_TRUE(runCtl({"firewall", "on", "--servers", "10.20.30.40", "--interface", "tun0", "--block-ipv6"}).ok());
  ASSERT_TRUE(waitUntil([] { return outputPolicyIs("DROP"); }));
  const std::pair<std::string, std::string> cases[] = {
      {"", "(empty path)"}, {pkg.substr(1), "(not an absolute path)"},
      {"/" + std::string(600, 'a'), "AA_COMMAND_INSTALL_UPDATE refused: "},
      {kDownloads + "x\";touch /tmp/pwned;\".deb", unsafe}, {kDownloads + "$(touch /tmp/pwned).deb", unsafe},
      {kDownloads + "`touch /tmp/pwned`.deb", unsafe}, {kDownloads + "x\\", unsafe},
      {kDownloads + "x\ntouch /tmp/pwned\n.deb", unsafe}, {kDownloads + "missing.deb", "(no such file)"},
      {kDownloads + "fifo.deb", "(not a regular file)"}, {"/tmp/downloads", "(not a regular file)"}};
  for (const auto& [path, reason] : cases) {
    if (reason == unsafe) std::ofstream(path) << "!<arch>\n";  // refused though it exists
    const size_t mark = syslogMark();
    MessagePacket packet;
    ASSERT_TRUE(encodePackagePath(&packet, std::u32string(path.begin(), path.end())));
    EXPECT_EQ(exchangeRecord(packet), kNo) << path;
    EXPECT_EQ(countLog(reason, mark), 1u) << path;
  }
  // A job script that cannot be written stops nothing either.
  const std::string dir = kDataDir;
  ASSERT_TRUE(runCommand("mount --bind " + dir + " " + dir + " && mount -o remount,ro,bind " + dir).ok());
  EXPECT_EQ(runCtl({"install-update", pkg}).status >> 8, 1);
  EXPECT_EQ(countLog("install update failed: cannot write " + kJobScript), 1u);
  ASSERT_TRUE(runCommand("umount " + dir).ok());
  // A member of the group (no polkit here): a file it cannot open, or a link, is refused; its own file is taken, but
  // polkit cannot be asked and nothing happens.
  std::ofstream("/etc/group", std::ios::app) << "tundrafox:x:979:nobody\n";
  ASSERT_TRUE(runCommand("cp '" + pkg + "' /tmp/secret.deb && chmod 600 /tmp/secret.deb && ln -s '" + pkg + "' /tmp/l.deb").ok());
  const auto asNobody = [](const std::string& path) {
    return runCommand("setpriv --reuid 65534 --regid 65534 --init-groups " + ctlPath() + " install-update " + path);
  };
  for (const std::string path : {"/tmp/secret.deb", "/tmp/l.deb"}) EXPECT_EQ(asNobody(path).status >> 8, 1) << path;
  EXPECT_EQ(countLog("install update refused (cannot copy the package: "), 2u);
  EXPECT_TRUE(asNobody("'" + pkg + "' >/dev/null 2>&1 &").ok());  // it waits for an authorization that never comes
  EXPECT_TRUE(waitForLog("install update refused: not authorized (no system bus: "));
  EXPECT_TRUE(outputPolicyIs("DROP")) << "the kill switch must stay on";

  const int listening = readPidFile(kSocketIdFile);
  // The listener is stopped through its own socket, never by the number in the socket-id file: a lie must not matter.
  ASSERT_TRUE(replaceFileAtomically(kSocketIdFile, "0", 0644));
  const size_t mark = syslogMark();
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_TRUE(runCtl({"install-update", pkg}).ok()) << "the listener must still serve";
  EXPECT_TRUE(stubCalls().empty()) << "the reply comes before the job runs";
  // Firewall off, listener stopped, then the job launched.
  EXPECT_TRUE(waitUntil([] { return outputPolicyIs("ACCEPT"); }));
  const std::string launch = "install update: (sleep 5 && sh \"" + kJobScript + "\" >/dev/null) &";
  EXPECT_TRUE(waitForLog(launch, kDefaultTimeoutMs, mark));
  EXPECT_LT(logPosition("close(" + std::to_string(listening) + ")", mark), logPosition(launch, mark));
  EXPECT_FALSE(connectControl().valid()) << "control port still open after the update command";
  const pid_t worker = workerPid();
  ASSERT_TRUE(worker > 0 && ::kill(worker, SIGKILL) == 0);  // the restart ends the worker's programs, never the job
  // The new worker holds the firewall off for the update too.
  ASSERT_TRUE(waitForLogCount("firewallImpl.reset();", 2));
  EXPECT_EQ(runCtl({"firewall", "on", "--servers", "10.20.30.40", "--interface", "tun0"}).status >> 8, 1);
  EXPECT_TRUE(outputPolicyIs("ACCEPT"));

  // The job stops the client and the service, installs the daemon's root-only copy of the package (removed then) and
  // asks who is on the display (nobody here: no client is started).
  const std::string script = fileText(kJobScript), at = "dpkg -i \"/var/cache/tundrafoxd/update-";
  const std::string copy = script.substr(script.find(at) + 9, script.find('"', script.find(at) + 9) - script.find(at) - 9);
  EXPECT_EQ(fileText(copy), "!<arch>\n") << script;
  const std::string dpkg = "dpkg [-i] [" + copy + "]";
  ASSERT_TRUE(waitForStubCall(dpkg, 20000) && waitForStubCall("who"));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(4500));
  sleepMs(300);
  EXPECT_EQ(takeCalls(), (std::vector<std::string>{"pgrep [tundra_fox]", "systemctl [stop] [tundrafoxd]", dpkg, "who"}));
  EXPECT_FALSE(std::filesystem::exists("/tmp/pwned") || std::filesystem::exists(copy));
  // The job killed what was left of the daemon (the stubbed systemctl could not).
  EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0; }));
  ASSERT_TRUE(startDaemon());  // a new start: the hold is over
  EXPECT_TRUE(runCtl({"firewall", "on", "--servers", "10.20.30.40", "--interface", "tun0"}).ok());
}

// Anyone may create files in /tmp/.X11-unix and may be listed by `who`. User nobody plants a socket name made of grep
// options (that once made grep read nobody's own line below as the user's name) and shells of its own; root's update
// then starts the client, through the real su, only for a real account other than a root one, and never with an
// option taken from a name.
TEST_F(RealSuTest, UpdateJobStartsTheClientOnlyForARealUserNeverWithOptionsFromNames) {
  const std::string pkg = kDownloads + "tundra-fox.deb", ran = "/tmp/pwn/ran", shell = "#!/bin/sh\necho \"$(id -u) $*\" >>";
  ASSERT_TRUE(std::filesystem::create_directories("/tmp/pwn") && std::filesystem::create_directories(kDownloads));
  ASSERT_TRUE(runCommand("mkdir -m 1777 /tmp/.X11-unix && touch '/tmp/.X11-unix/0 -h -D skip -r -e zzpwnzz tmp -e zzq'"
                         " && echo '--shell=/tmp/pwn/evil zzpwnzz' >/tmp/pwn/line").ok());
  ASSERT_TRUE(replaceFileAtomically("/tmp/pwn/evil", shell + ran + "\n", 0755));
  ASSERT_TRUE(runCommand("chown -R 65534:65534 /tmp/pwn /tmp/.X11-unix/*").ok());
  ASSERT_TRUE(replaceFileAtomically("/tmp/alice-shell", shell + "/tmp/alice-ran\n", 0755));
  std::ofstream("/etc/passwd", std::ios::app) << "alice:x:1234:1234::/:/tmp/alice-shell\ntoor:x:0:0::/:/tmp/pwn/evil\n";
  std::ofstream("/etc/shadow", std::ios::app) << "alice:!:1::::::\ntoor:!:1::::::\n";
  std::ofstream(pkg) << "!<arch>\n";
  setLogin("alice");
  ASSERT_TRUE(startDaemon());
  ASSERT_TRUE(runCtl({"install-update", pkg}).ok());
  EXPECT_TRUE(waitUntil([] { return std::filesystem::exists("/tmp/alice-ran"); }, 20000));
  for (const std::string login : {"--shell=/tmp/pwn/evil", "root", "toor", "0"}) {
    setLogin(login);
    EXPECT_TRUE(runCommand("sh " + kJobScript).ok()) << login;
  }
  sleepMs(300);  // anything started in the background has written its line by then
  EXPECT_FALSE(std::filesystem::exists(ran)) << fileText(ran);
  EXPECT_EQ(fileText("/tmp/alice-ran"), "1234 -c tundra_fox -style=gtk &\n");
}

// A data directory that anyone but root could change is never used as it is: at start one that others may write, that
// another user owns, that is a link or holds one is moved aside for a fresh one of root's alone. Made world-writable
// later, it gets no update job that nobody could swap during the delay: the update is refused and stops nothing.
TEST_F(DaemonTest, DataDirOthersCouldChangeIsMovedAsideAtStartAndGetsNoUpdateJob) {
  const std::string dir = kDataDir, pkg = kDownloads + "tundra-fox.deb";
  ASSERT_TRUE(runCommand("mkdir -m 755 /tmp/pwn " + kDownloads + " && chown 65534 /tmp/pwn && touch " + pkg).ok());
  for (const std::string plant : {"mkdir -m 777 $D", "mkdir $D && chown 65534 $D", "ln -s /tmp/pwn $D",
                                  "mkdir -m 700 $D && ln -s /etc/shadow $D/iptables.rules"}) {
    ASSERT_TRUE(runCommand("D=" + dir + " && rm -rf $D && " + plant + " && touch /tmp/pwn/fw.sh").ok()) << plant;
    const size_t mark = syslogMark();
    ASSERT_TRUE(startDaemon()) << plant;
    EXPECT_EQ(countLog("Data directory " + dir + " not used (", mark), 1u) << plant;
    struct stat st;
    EXPECT_TRUE(::lstat(kDataDir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & 077) == 0);
    EXPECT_TRUE(std::filesystem::exists("/tmp/pwn/fw.sh") && stopDaemon()) << plant;
  }
  ASSERT_TRUE(startDaemon() && runCommand("chmod 777 " + dir).ok());
  EXPECT_EQ(runCtl({"install-update", pkg}).status >> 8, 1);
  EXPECT_EQ(countLog("install update refused: data directory " + dir + " writable by group or others"), 1u);
  EXPECT_EQ(countLog("install update: "), 0u) << "no job may be launched";
  EXPECT_TRUE(runCtl({"firewall", "supported"}).ok()) << "the listener must still serve";
}
