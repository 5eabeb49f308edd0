// The worker's crash report, run in child processes (it ends the process).
#include "daemon/daemon.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "daemon/safe_syslog.h"
#include <string>

namespace {

void writeCleanupMarker() {
  const char text[] = "crash clean-up ran\n";
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, text, sizeof text - 1);
}

class CrashReportTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  // Nothing from these children reaches the host's system log: their lines
  // go to a socket path that does not exist (the copy on standard error is
  // what the tests read).
  static void prepareChild() {
    static const std::string sockPath = ::testing::TempDir() + "tundrafox-no-such-log-socket";
    safeSyslogSetSocketPath(sockPath.c_str());
    installCrashHandlers();
  }
};

}  // namespace

TEST_F(CrashReportTest, FaultIsReportedWithAddressBacktraceAndStatusOne) {
  EXPECT_EXIT(
      {
        prepareChild();
        // Through a volatile pointer, so the compiler keeps the store.
        volatile int* volatile bad = reinterpret_cast<int*>(static_cast<uintptr_t>(0x10));
        *bad = 1;
      },
      ::testing::ExitedWithCode(1),
      "tundrafoxd: \\[DAEMON\\] Signal: Segmentation fault, Addr: 0x0000000000000010\n"
      "tundrafoxd: == Backtrace ==\n"
      "(tundrafoxd: [^\n]*\n)+"
      "tundrafoxd: == End Backtrace ==\n"
      "tundrafoxd: \\[DAEMON\\] Stopped\n");
}

TEST_F(CrashReportTest, SignalSentByKillReportsAddressZeroAndRunsCleanup) {
  EXPECT_EXIT(
      {
        prepareChild();
        setCrashCleanup(writeCleanupMarker);
        ::kill(::getpid(), SIGSEGV);
        for (;;) ::pause();
      },
      ::testing::ExitedWithCode(1),
      "Signal: Segmentation fault, Addr: 0x0000000000000000\n"
      "(.|\n)*\\[DAEMON\\] Stopped\ncrash clean-up ran\n");
}

TEST_F(CrashReportTest, OtherCrashSignalsUseTheirDescription) {
  EXPECT_EXIT(
      {
        prepareChild();
        ::raise(SIGBUS);
        for (;;) ::pause();
      },
      ::testing::ExitedWithCode(1), "Signal: Bus error, Addr: 0x0000000000000000\n");
}
