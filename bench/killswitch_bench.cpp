// How long the kill switch takes to be in force, against the same scripts
// run by hand.
//
// Daemon side: FireWall::firewallOn on an object with the real command
// runner and a private data directory, timed from the call until its last
// rule script has finished (waitIdle): the moment the last kill-switch rule
// is in force. By hand: the same commands typed one after the other, each
// through its own shell ("iptables-save > ...", "sh fw.sh >/dev/null", ...),
// with the scripts the daemon wrote. Rounds alternate the two sides; between
// rounds the user's rules are restored.
//
// It changes the firewall, so it only runs inside a tundrafox-sandbox (its
// own network namespace); started outside one it re-runs itself in one.
//
//   killswitch_bench [ROUNDS]      (default 30)
//
// Ends with status 1 when the ratio misses its target (for ./run-bench).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/command_runner.h"
#include "base/process.h"
#include "base/unique_fd.h"
#include "firewall/firewall.h"

namespace {

using Clock = std::chrono::steady_clock;

bool insideSandbox() {
  const char* outer = std::getenv("SANDBOX_OUTER_NETNS");
  struct stat st {};
  if (outer == nullptr || ::stat("/proc/self/ns/net", &st) != 0) return false;
  return std::to_string(st.st_ino) != outer;
}

int rerunInSandbox(char** argv) {
#ifdef TUNDRAFOX_SANDBOX_PATH
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  std::vector<std::string> args = {TUNDRAFOX_SANDBOX_PATH, "--", self};
  for (char** a = argv + 1; *a; ++a) args.emplace_back(*a);
  pid_t pid = spawnProcess(args);
  if (pid < 0) {
    std::perror("tundrafox-sandbox");
    return 1;
  }
  int status = waitProcess(pid);
  return exitedZero(status) ? 0 : 1;
#else
  (void)argv;
  std::fprintf(stderr, "run me inside tundrafox-sandbox: it changes the firewall\n");
  return 1;
#endif
}

bool sh(const std::string& cmd) {
  if (exitedZero(runShellCommand(cmd))) return true;
  std::fprintf(stderr, "failed: %s\n", cmd.c_str());
  return false;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? 0 : s / static_cast<double>(v.size());
}

// Standard output and error go to /dev/null around the daemon side, as in
// the detached daemon (switching off prints the tools' complaints about the
// delete lines of rules that the restore already removed).
class QuietStdout {
 public:
  QuietStdout() : savedOut_(::fcntl(1, F_DUPFD_CLOEXEC, 3)), savedErr_(::fcntl(2, F_DUPFD_CLOEXEC, 3)) {
    std::fflush(stdout);
    UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    ::dup2(null.get(), 1);
    ::dup2(null.get(), 2);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    ::dup2(savedOut_.get(), 1);
    ::dup2(savedErr_.get(), 2);
  }

 private:
  UniqueFd savedOut_, savedErr_;
};

}  // namespace

int main(int argc, char** argv) {
  if (!insideSandbox()) return rerunInSandbox(argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;

  char tmpl[] = "/tmp/killswitch_bench.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::string dir = std::string(tmpl) + "/data", hand = std::string(tmpl) + "/hand";
  ::umask(027);

  // A modest user firewall to save and restore.
  if (!sh("iptables -N USERCHAIN && iptables -A USERCHAIN -j RETURN && iptables -A INPUT -s 203.0.113.9 -j USERCHAIN"
          " && iptables -P FORWARD DROP && iptables-save > " + std::string(tmpl) + "/user.rules"))
    return 1;
  const std::string restoreUser = "iptables-restore < " + std::string(tmpl) + "/user.rules";
  const std::string addresses = "192.0.2.2;198.51.100.0/24";

  FireWall fw(dir, realCommandRunner());
  fw.setInterfaceToSkip("tun0");

  // One untimed switch-on leaves the daemon's scripts on disk; copy them for
  // the by-hand side (the local-network script is run twice: add, then the
  // delete that closes it again).
  {
    QuietStdout quiet;
    fw.firewallOn(addresses, true, false, false, false);
    fw.waitIdle();
  }
  bool copied = sh("mkdir -p " + hand + " && cp " + dir + "/fw.sh " + dir + "/fw_zeph.sh " + dir + "/fw_dns.sh " +
                   hand + "/ && cp " + dir + "/fw_local_devs.sh " + hand + "/fw_local_devs_del.sh");
  {
    QuietStdout quiet;
    fw.firewallOff();
    fw.waitIdle();
  }
  if (!copied || !sh("printf '# Enable access traffic to the LAN network\\n"
                     "iptables -A INPUT -s 192.168.0.0/16 -j ACCEPT\\n"
                     "iptables -A OUTPUT -d 192.168.0.0/16 -j ACCEPT\\n' > " +
                     hand + "/fw_local_devs_add.sh && " + restoreUser))
    return 1;
  const std::vector<std::string> byHand = {
      "iptables-save > " + hand + "/iptables.rules",   "sh " + hand + "/fw.sh >/dev/null",
      "sh " + hand + "/fw_local_devs_add.sh >/dev/null", "sh " + hand + "/fw_zeph.sh >/dev/null",
      "sh " + hand + "/fw_dns.sh >/dev/null",           "sh " + hand + "/fw_local_devs_del.sh >/dev/null",
  };

  std::vector<double> daemonMs, handMs;
  for (int round = 0; round < rounds * 2; ++round) {
    bool daemonSide = (round % 2 == 0) == (round / 2 % 2 == 0);  // ABBA order
    if (daemonSide) {
      QuietStdout quiet;
      auto t0 = Clock::now();
      fw.firewallOn(addresses, true, false, false, false);
      fw.waitIdle();
      daemonMs.push_back(ms(Clock::now() - t0));
      fw.firewallOff();
      fw.waitIdle();
    } else {
      auto t0 = Clock::now();
      for (const std::string& cmd : byHand) runShellCommand(cmd);
      handMs.push_back(ms(Clock::now() - t0));
    }
    if (!sh(restoreUser)) return 1;
  }

  const double d = median(daemonMs), h = median(handMs);
  std::printf("kill switch on, %d rounds each (median / mean, ms)\n", rounds);
  std::printf("  firewallOn until the last rule is in force: %8.2f / %8.2f\n", d, mean(daemonMs));
  std::printf("  the same commands by hand:                  %8.2f / %8.2f\n", h, mean(handMs));
  const double ratio = h > 0 ? d / h : 0.0;
  std::printf("  ratio (medians): %.3f (target: at most 1.2) %s\n", ratio, ratio <= 1.2 ? "met" : "MISSED");
  return ratio <= 1.2 ? 0 : 1;
}
