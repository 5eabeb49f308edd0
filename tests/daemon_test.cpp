// The worker's crash report, run in child processes (it ends the process).
#include "daemon/crash_report.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "base/safe_syslog.h"

namespace {

void writeCleanupMarker() {
  const char text[] = "crash clean-up ran\n";
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, text, sizeof text - 1);
}

}  // namespace

TEST(CrashReportTest, ReportNamesSignalAndAddressThenBacktraceCleanupAndStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Signal 0: a real fault at address 0x10. A signal sent by a process has no address.
  const std::pair<int, std::string> cases[] = {
      {0, "Segmentation fault, Addr: 0x0000000000000010"},
      {SIGSEGV, "Segmentation fault, Addr: 0x0000000000000000"},
      {SIGBUS, "Bus error, Addr: 0x0000000000000000"}};
  for (const auto& [sig, what] : cases) {
    EXPECT_EXIT(
        {
          // The children's lines go to a log socket that does not exist; the
          // copy on standard error is what is checked.
          const std::string sockPath = ::testing::TempDir() + "tundrafox-no-such-log-socket";
          safeSyslogSetSocketPath(sockPath.c_str());
          installCrashHandlers();
          setCrashCleanup(writeCleanupMarker);
          volatile int* volatile bad = reinterpret_cast<int*>(static_cast<uintptr_t>(0x10));
          if (sig == 0) *bad = 1;
          ::kill(::getpid(), sig);
          for (;;) ::pause();
        },
        ::testing::ExitedWithCode(1),
        "tundrafoxd: \\[DAEMON\\] Signal: " + what + "\n" +
            "tundrafoxd: == Backtrace ==\n(tundrafoxd: [^\n]*\n)+tundrafoxd: == End Backtrace ==\n"
            "tundrafoxd: \\[DAEMON\\] Stopped\ncrash clean-up ran\n");
  }
}
