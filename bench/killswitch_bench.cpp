// How long the kill switch takes to be in force as the server list grows,
// against the same scripts run by hand and against one iptables-restore of
// the rules they leave.
//
// For 1, 10, 100 and 1000 server addresses:
// - daemon: FireWall::firewallOn on an object with the real command runner
//   and a private data directory, timed from the call until its last rule
//   script has finished (waitIdle): the moment the last kill-switch rule is
//   in force;
// - by hand: the same commands typed one after the other, each through its
//   own shell ("iptables-save > ...", "sh fw.sh >/dev/null", ...), with the
//   scripts the daemon wrote;
// - iptables-restore: one "iptables-restore < FILE" of the rule set the
//   by-hand commands leave (the user's rules and the kill switch's), the
//   least it takes to get those rules into the kernel.
// Rounds take the three sides in turn (over six rounds each side takes
// every position twice); between sides the user's rules are restored. The
// target compares the two sides within each round (see pairedRatio).
//
// It changes the firewall, so it only runs inside a tundrafox-sandbox (its
// own network namespace); started outside one it re-runs itself in one.
//
//   killswitch_bench [ROUNDS [MAX]]   (default 30 rounds, fewer for the larger
//                                      lists; sizes up to MAX addresses, 1000)
//
// Ends with status 1 when the daemon is slower than 1.2x the same commands
// by hand at any size (for ./run-bench).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/command_runner.h"
#include "base/io.h"
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

// `count` server addresses, from the range set aside for benchmarks.
std::string serverAddresses(int count) {
  std::string list;
  for (int i = 0; i < count; ++i) {
    if (i > 0) list += ';';
    list += "198.18." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
  }
  return list;
}

// Lines of `path` that start with `prefix`.
int countLines(const std::string& path, const std::string& prefix) {
  std::string text;
  if (!readFile(path, &text)) return -1;
  int n = 0;
  for (size_t at = 0; at < text.size();) {
    if (text.compare(at, prefix.size(), prefix) == 0) ++n;
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  return n;
}

struct SizeResult {
  int addresses = 0;
  int rounds = 0;
  int rules = 0;  // kill-switch and user rules in force at the end
  double daemon = 0, hand = 0, restore = 0;
  // The median over the rounds of daemon / by hand within one round: the
  // two sides of a round run minutes apart at most, so a change in the
  // machine's load between rounds (which at 1000 addresses last minutes)
  // falls on both.
  double pairedRatio = 0;
};

// Measures one list size; false when the run itself failed.
bool measure(FireWall& fw, const std::string& tmp, const std::string& restoreUser, int addressCount, int rounds,
             SizeResult* out) {
  const std::string dir = tmp + "/data", hand = tmp + "/hand-" + std::to_string(addressCount);
  const std::string addresses = serverAddresses(addressCount);
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
    return false;
  const std::vector<std::string> byHand = {
      "iptables-save > " + hand + "/iptables.rules",   "sh " + hand + "/fw.sh >/dev/null",
      "sh " + hand + "/fw_local_devs_add.sh >/dev/null", "sh " + hand + "/fw_zeph.sh >/dev/null",
      "sh " + hand + "/fw_dns.sh >/dev/null",           "sh " + hand + "/fw_local_devs_del.sh >/dev/null",
  };
  // The rule set the by-hand commands leave, for the restore side.
  for (const std::string& cmd : byHand) runShellCommand(cmd);
  if (!sh("iptables-save > " + hand + "/final.rules") || !sh(restoreUser)) return false;
  const std::string restoreFinal = "iptables-restore < " + hand + "/final.rules";

  std::vector<double> daemonMs, handMs, restoreMs;
  for (int round = 0; round < rounds; ++round) {
    for (int step = 0; step < 3; ++step) {
      // Over six rounds each side takes every position twice.
      const int side = ((round % 2 == 0 ? step : 2 - step) + round) % 3;
      const auto t0 = Clock::now();
      if (side == 0) {
        QuietStdout quiet;
        fw.firewallOn(addresses, true, false, false, false);
        fw.waitIdle();
        daemonMs.push_back(ms(Clock::now() - t0));
        fw.firewallOff();
        fw.waitIdle();
      } else if (side == 1) {
        for (const std::string& cmd : byHand) runShellCommand(cmd);
        handMs.push_back(ms(Clock::now() - t0));
      } else {
        runShellCommand(restoreFinal);
        restoreMs.push_back(ms(Clock::now() - t0));
      }
      if (!sh(restoreUser)) return false;
    }
  }
  std::vector<double> ratios;
  for (size_t i = 0; i < daemonMs.size() && i < handMs.size(); ++i) ratios.push_back(daemonMs[i] / handMs[i]);
  *out = {addressCount, rounds, countLines(hand + "/final.rules", "-A "), median(daemonMs), median(handMs),
          median(restoreMs), median(ratios)};
  std::printf("  %4d addresses, %2d rounds: daemon %9.2f / %9.2f  by hand %9.2f / %9.2f  restore %8.2f / %8.2f\n",
              addressCount, rounds, out->daemon, mean(daemonMs), out->hand, mean(handMs), out->restore,
              mean(restoreMs));
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!insideSandbox()) return rerunInSandbox(argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const int maxAddresses = argc > 2 ? std::atoi(argv[2]) : 1000;

  char tmpl[] = "/tmp/killswitch_bench.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::string tmp = tmpl;
  ::umask(027);

  // A modest user firewall to save and restore.
  if (!sh("iptables -N USERCHAIN && iptables -A USERCHAIN -j RETURN && iptables -A INPUT -s 203.0.113.9 -j USERCHAIN"
          " && iptables -P FORWARD DROP && iptables-save > " + tmp + "/user.rules"))
    return 1;
  const std::string restoreUser = "iptables-restore < " + tmp + "/user.rules";

  FireWall fw(tmp + "/data", realCommandRunner());
  fw.setInterfaceToSkip("tun0");

  // A switch-on with 1000 addresses runs over 2000 iptables commands: the
  // larger lists get fewer rounds.
  const int sizes[] = {1, 10, 100, 1000};
  const int divisors[] = {1, 1, 5, 10};
  std::printf("kill switch on (tunnel interface, DNS allowed, local network not), median / mean in ms\n");
  std::vector<SizeResult> results;
  for (size_t i = 0; i < std::size(sizes) && sizes[i] <= maxAddresses; ++i) {
    SizeResult r;
    if (!measure(fw, tmp, restoreUser, sizes[i], std::max(1, rounds / divisors[i]), &r)) return 1;
    results.push_back(r);
  }

  std::printf("\naddresses | rules | rounds | daemon ms | by hand ms | iptables-restore ms | daemon / by hand | "
              "same, paired by round | daemon / restore | by hand / restore\n");
  bool met = true;
  for (const SizeResult& r : results) {
    const double toHand = r.hand > 0 ? r.daemon / r.hand : 0;
    met &= r.pairedRatio > 0 && r.pairedRatio <= 1.2;
    std::printf("%9d | %5d | %6d | %9.2f | %10.2f | %19.2f | %15.3fx | %20.3fx | %15.1fx | %16.1fx\n", r.addresses,
                r.rules, r.rounds, r.daemon, r.hand, r.restore, toHand, r.pairedRatio,
                r.restore > 0 ? r.daemon / r.restore : 0, r.restore > 0 ? r.hand / r.restore : 0);
  }
  std::printf("target: daemon at most 1.2x by hand (paired by round) at every size: %s\n", met ? "met" : "MISSED");
  return met ? 0 : 1;
}
