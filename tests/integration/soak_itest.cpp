// The daemon under load: worker faults amid thousands of requests, and what a burst of good and hostile connections
// leaves behind in the worker or a program it starts.
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
std::string describe(const std::atomic<int>* fates) {
  return "correct/refused/lost/bad: " + testing::PrintToString(std::vector<int>(fates, fates + 4));
}

Fate request() {
  UniqueFd fd = connectControl();
  if (!fd) return errno == ECONNREFUSED ? kRefused : kLost;
  // A dead worker's connections are reset at once: 10 s without a reply is a hang.
  const ReadResult r = sendBytes(fd.get(), kSupported.bytes, kMessagePacketSize, 10000)
                           ? readBytes(fd.get(), kMessageReplySize, 10000) : ReadResult{};
  if (r.kind == ReadResult::kComplete) return std::equal(kYes.begin(), kYes.end(), r.bytes.begin()) ? kCorrect : kBad;
  return r.kind != ReadResult::kTimeout && r.bytes.empty() ? kLost : kBad;
}

}  // namespace

// 10,000 requests from 64 clients while the worker is killed and crashed three times each: none is answered wrongly,
// and the daemon serves again within 2 s.
TEST_F(DaemonTest, SoakWithWorkerKillsAndCrashesNeverAnswersWrongly) {
  constexpr int kRequests = 10000;
  ASSERT_TRUE(startDaemon());
  std::atomic<int> fates[4] = {}, accepted{0};
  std::vector<std::jthread> clients;  // asked to stop and joined when they go
  for (int c = 0; c < 64; ++c)
    clients.emplace_back([&](std::stop_token stop) {
      for (Fate f; accepted < kRequests && !stop.stop_requested(); ++fates[f])
        if ((f = request()) == kRefused) sleepMs(10);  // the worker is restarting
        else ++accepted;
    });
  for (int n = 1; n <= 6; ++n) {  // killed and crashed in turn, spread evenly over the run
    ASSERT_TRUE(waitUntil([&] { return accepted >= kRequests * n / 7; }, 60000, 2)) << describe(fates);
    const pid_t victim = workerPid(1000);
    ASSERT_TRUE(victim > 0 && ::kill(victim, n % 2 ? SIGKILL : SIGSEGV) == 0);
    const auto fault = Clock::now();
    // It may still answer while it writes its crash report: served again once it is gone.
    EXPECT_TRUE(waitProcessGone(victim) && waitUntil([] { return exchangeRecord(kSupported, 1000) == kYes; }, 5000, 5));
    EXPECT_LT(Clock::now() - fault, std::chrono::seconds(2)) << "fault " << n;
  }
  EXPECT_TRUE(waitUntil([&] { return accepted >= kRequests; }, 60000));
  clients.clear();
  // Faults cut requests in flight, not the service; one worker is left.
  EXPECT_TRUE(fates[kBad] == 0 && fates[kCorrect] >= kRequests / 2) << describe(fates);
  EXPECT_EQ(childrenOf(monitorPid()).size(), 1u);
}

// A started program finds openvpn on the daemon's inherited search path and gets none of the daemon's descriptors
// (control socket, a client's connection, the pid lock): only stdin on /dev/null, stdout and stderr. A burst from 64
// clients, requests and hostile connections, is all served rightly and leaves the same worker (no broken-pipe death)
// with as many descriptors and threads once its idle connection threads have ended.
TEST_F(DaemonTest, ConcurrentBurstLeavesNoDescriptorOrThreadBehind) {
#if defined(__SANITIZE_THREAD__)
  constexpr int kPerClient = 10;  // TSan makes the daemon many times slower
#else
  constexpr int kPerClient = 40;
#endif
  // The probe records PATH, then becomes ls listing 0-2 and its handle on /proc/self/fd (a shell would add its own).
  const std::string dir = "/tmp/probe-bin", path = dir + ":" + std::getenv("PATH");
  std::filesystem::create_directory(dir);
  ASSERT_TRUE(replaceFileAtomically(dir + "/openvpn", "#!/bin/sh\necho \"$PATH\" >" + dir + "/out\n" +
                                                          "exec ls -l /proc/self/fd >>" + dir + "/out\n", 0755));
  ::setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(startDaemon());
  ASSERT_TRUE(runCtl({"openvpn", "--", "--version"}).ok());  // its connection is open in the worker meanwhile
  ASSERT_TRUE(waitUntil([&] { return fileText(dir + "/out").find(" 2 -> ") != std::string::npos; }));
  const std::string out = fileText(dir + "/out");
  EXPECT_TRUE(out.starts_with(path + "\n") && std::ranges::count(out, '>') == 4 &&
              out.find(" 0 -> /dev/null\n") != std::string::npos && out.find(" 3 -> /proc/") != std::string::npos)
      << out;

  const std::string proc = "/proc/" + std::to_string(workerPid());
  const auto usage = [&] { return runCommand("ls " + proc + "/fd | wc -l; ls " + proc + "/task | wc -l").output; };
  // Warm up (the system-log socket opens on first use); idle connection threads end 1 s after their last connection.
  for (int i = 0; i < 5; ++i) ASSERT_EQ(request(), kCorrect);
  sleepMs(2000);
  const std::string before = usage();
  std::atomic<int> fates[4] = {};
  std::vector<std::thread> clients;
  for (int c = 0; c < 64; ++c)
    clients.emplace_back([&, c] {
      for (int i = 0; i < kPerClient; ++i) {
        const int kind = (c + i) % 8;  // 0: a record one byte short, 1: closed at once, 2: reset unread, else a request
        const UniqueFd fd = kind > 2 ? UniqueFd() : connectControl();
        const linger reset{1, 0};
        if (kind > 2) ++fates[request()];
        else fates[kBad] += !fd || (kind == 2 && ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset)) ||
                            !sendBytes(fd.get(), kSupported.bytes, kind == 1 ? 0 : kMessagePacketSize - (kind == 0));
      }
    });
  std::vector<UniqueFd> silent(8);  // dropped after the daemon's 2-second time-out
  for (auto& fd : silent) fd = connectControl();
  for (auto& t : clients) t.join();
  for (auto& fd : silent) EXPECT_EQ(readBytes(fd.get(), 1, 6000).kind, ReadResult::kClosed) << "not dropped";
  // Every request (5 of 8 connections) answered rightly, every hostile connection made.
  EXPECT_TRUE(fates[kCorrect] == 64 * kPerClient * 5 / 8 && fates[kBad] == 0) << describe(fates);
  // Counted only: the C library may reconnect its system-log socket (a new target).
  waitUntil([&] { return usage() == before; }, 5000, 20);
  EXPECT_EQ(usage(), before) << "descriptors, threads";
  EXPECT_EQ("/proc/" + std::to_string(workerPid(1000)), proc);
}
