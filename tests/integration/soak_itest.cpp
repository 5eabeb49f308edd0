// The daemon under load: worker faults amid thousands of requests, and what a
// burst of good and hostile connections leaves behind in the worker.
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "base/io.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

using Clock = std::chrono::steady_clock;
const MessagePacket kSupported = makePacket(AA_COMMAND_FIREWALL_SUPPORTED);
const std::array<unsigned char, kMessageReplySize> kYes = {1};

// What became of one request: kRefused (nobody listened) is none; a fault may
// leave one kLost (closed unanswered), never kBad (wrong, cut short or hung).
enum Fate { kCorrect, kRefused, kLost, kBad };
struct Tally {
  std::atomic<int> n[4] = {};
  std::string text() const { return "correct/refused/lost/bad: " + testing::PrintToString(std::vector<int>(n, n + 4)); }
};

Fate request() {
  UniqueFd fd = connectControl();
  if (!fd) return errno == ECONNREFUSED ? kRefused : kLost;
  // A dead worker's connections are reset at once: 10 s without a reply is a hang.
  const ReadResult r = sendBytes(fd.get(), kSupported.bytes, kMessagePacketSize, 10000)
                           ? readBytes(fd.get(), kMessageReplySize, 10000) : ReadResult{};
  if (r.kind == ReadResult::kComplete) return std::equal(kYes.begin(), kYes.end(), r.bytes.begin()) ? kCorrect : kBad;
  return r.kind != ReadResult::kTimeout && r.bytes.empty() ? kLost : kBad;
}

// The worker's open descriptors and threads.
std::pair<long, long> usage(pid_t pid) {
  auto count = [pid](const char* sub) {
    std::error_code ec;  // a process that is gone has none
    return std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + sub, ec), {});
  };
  return {count("/fd"), count("/task")};
}

}  // namespace

// 10,000 requests from 64 clients while the worker is killed and crashed three
// times each: none is answered wrongly, and the daemon serves again within 2 s.
TEST_F(DaemonTest, SoakWithWorkerKillsAndCrashesNeverAnswersWrongly) {
  constexpr int kRequests = 10000;
  ASSERT_TRUE(startDaemon());
  const pid_t monitor = monitorPid();
  Tally tally;
  std::atomic<int> accepted{0};
  const auto deadline = Clock::now() + std::chrono::minutes(2);
  std::vector<std::thread> clients;
  for (int c = 0; c < 64; ++c)
    clients.emplace_back([&] {
      while (accepted < kRequests && Clock::now() < deadline) {
        const Fate f = request();
        ++tally.n[f];
        if (f == kRefused) sleepMs(10);  // the worker is restarting
        else ++accepted;
      }
    });
  int faults = 0;  // spread evenly over the run
  for (int sig : {SIGKILL, SIGSEGV, SIGKILL, SIGSEGV, SIGKILL, SIGSEGV}) {
    if (!waitUntil([&] { return accepted >= kRequests * (faults + 1) / 7; }, 60000, 2)) break;
    const pid_t victim = workerPid(1000);
    if (victim <= 0 || ::kill(victim, sig) != 0) break;
    const auto fault = Clock::now();
    // It may still answer while it writes its crash report: served again once it is gone.
    EXPECT_TRUE(waitProcessGone(victim) && waitUntil([] { return exchangeRecord(kSupported, 1000) == kYes; }, 5000, 5));
    EXPECT_LT(Clock::now() - fault, std::chrono::seconds(2)) << "fault " << faults << ": signal " << sig;
    ++faults;
  }
  for (auto& t : clients) t.join();
  SCOPED_TRACE(tally.text());
  EXPECT_EQ(tally.n[kBad], 0);
  EXPECT_GE(accepted, kRequests);
  EXPECT_GE(tally.n[kCorrect], kRequests / 2);  // faults cut requests in flight, not the service
  EXPECT_EQ(faults, 6);
  EXPECT_EQ(countLog("[DAEMON] Signal: Segmentation fault") + countLog("[MONITOR] Childer restart"), 6u);
  EXPECT_EQ(childrenOf(monitor).size(), 1u);
}

// A burst from 64 clients, complete requests and hostile ones, is all served
// rightly and leaves the same worker (no broken-pipe death) with as many
// descriptors and threads once its idle connection threads have ended.
TEST_F(DaemonTest, ConcurrentBurstLeavesNoDescriptorOrThreadBehind) {
#if defined(__SANITIZE_THREAD__)
  constexpr int kPerClient = 10;  // TSan makes the daemon many times slower
#else
  constexpr int kPerClient = 40;
#endif
  ASSERT_TRUE(startDaemon());
  const pid_t worker = workerPid();
  // Warm up (the system-log socket opens on first use); the baseline follows
  // once the idle connection thread has ended, 1 s after its last connection.
  for (int i = 0; i < 5; ++i) ASSERT_EQ(request(), kCorrect);
  sleepMs(2000);
  const auto before = usage(worker);
  Tally tally;
  std::vector<std::thread> clients;
  for (int c = 0; c < 64; ++c)
    clients.emplace_back([&, c] {
      for (int i = 0; i < kPerClient; ++i) {
        // 0: a record one byte short, 1: closed at once, 2: reset unread, else a request.
        const int kind = (c + i) % 8;
        UniqueFd fd = kind > 2 ? UniqueFd() : connectControl();
        const struct linger reset {1, 0};
        if (kind > 2) ++tally.n[request()];
        else if (!fd || !sendBytes(fd.get(), kSupported.bytes, kind == 1 ? 0 : kMessagePacketSize - (kind == 0)) ||
                 (kind == 2 && ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0))
          ++tally.n[kBad];
      }
    });
  std::vector<UniqueFd> silent(8);  // dropped after the daemon's 2-second time-out
  for (auto& fd : silent) fd = connectControl();
  for (auto& t : clients) t.join();
  for (auto& fd : silent) EXPECT_EQ(readBytes(fd.get(), 1, 6000).kind, ReadResult::kClosed) << "not dropped";
  SCOPED_TRACE(tally.text());
  // Every request (5 of 8 connections) answered rightly, every hostile connection made.
  EXPECT_TRUE(tally.n[kCorrect] == 64 * kPerClient * 5 / 8 && tally.n[kBad] == 0);
  // Counted only: the C library may reconnect its system-log socket (a new target).
  EXPECT_TRUE(waitUntil([&] { return usage(worker) == before; }, 5000, 20))
      << "descriptors/threads before: " << before.first << "/" << before.second << ", now:\n"
      << runCommand("ls -l /proc/" + std::to_string(worker) + "/fd /proc/" + std::to_string(worker) + "/task").output;
  EXPECT_EQ(workerPid(1000), worker);
  EXPECT_EQ(countLog("[DAEMON] Signal"), 0u);
}

// A started program finds openvpn on the daemon's inherited search path and
// gets none of the daemon's descriptors (control socket, a client's
// connection, the pid lock): only stdin on /dev/null, stdout and stderr.
TEST_F(DaemonTest, StartedProgramsGetTheInheritedPathAndNoDaemonDescriptor) {
  // The probe records PATH, then becomes ls listing its descriptors (a shell would add its own).
  const std::string dir = "/tmp/probe-bin", path = dir + ":" + std::getenv("PATH");
  std::filesystem::create_directory(dir);
  ASSERT_TRUE(replaceFileAtomically(dir + "/openvpn", "#!/bin/sh\nprintf '%s' \"$PATH\" >" + dir + "/path\n" +
                                                          "exec ls -l /proc/self/fd >" + dir + "/fds\n", 0755));
  ::setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(startDaemon());
  const UniqueFd held = connectControl();  // a client connection open in the worker meanwhile
  MessagePacket packet;
  ASSERT_TRUE(encodeOpenvpnArguments(&packet, U"--version") && exchangeRecord(packet) && held);
  // ls writes its whole listing when it ends.
  ASSERT_TRUE(waitUntil([&] { return fileText(dir + "/fds").find(" 2 -> ") != std::string::npos; }));
  EXPECT_EQ(fileText(dir + "/path"), path);
  const std::string fds = fileText(dir + "/fds");
  size_t open = 0;
  for (size_t at = 0; (at = fds.find(" -> ", at)) != std::string::npos; ++at) ++open;
  // Beyond 0-2, only ls's own handle on the directory it lists.
  EXPECT_TRUE(open == 4 && fds.find(" 0 -> /dev/null\n") != std::string::npos &&
              fds.find(" 3 -> /proc/") != std::string::npos) << fds;
}
