#include "daemon/crash_report.h"

#include <execinfo.h>
#include <fcntl.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/error_text.h"
#include "base/safe_syslog.h"
#include "daemon/daemonize.h"
#include "daemon/worker.h"

namespace {

std::atomic<void (*)()> gCrashCleanup{nullptr};
// The thread that is writing the crash report (0: none yet).
std::atomic<pid_t> gCrashingThread{0};
// backtrace_symbols_fd writes into [1], the crash handler reads [0] back, so
// each symbol line can go to the system log without malloc.
int gBacktracePipe[2] = {-1, -1};

// Everything the crash handler needs that must not be set up inside it:
// loading the unwinder (backtrace's first call may allocate) and the pipe.
void prepareCrashReport() {
  safeSyslogInit(kLogIdent);
  void* warmUp[1];
  backtrace(warmUp, 1);
  if (gBacktracePipe[0] < 0) {
    if (::pipe2(gBacktracePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      gBacktracePipe[0] = gBacktracePipe[1] = -1;
    }
  }
}

// Reads back what backtrace_symbols_fd wrote and logs it line by line.
void logBacktraceLines() {
  static char line[1024];
  size_t len = 0;
  char chunk[512];
  for (;;) {
    ssize_t n = ::read(gBacktracePipe[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (len + 2 < sizeof line) line[len++] = chunk[i];
      if (chunk[i] == '\n') {
        line[len] = '\0';
        safeSyslog(LOG_INFO, line);
        len = 0;
      }
    }
  }
  if (len > 0) {
    line[len++] = '\n';
    line[len] = '\0';
    safeSyslog(LOG_INFO, line);
  }
}

void* programCounter(void* ptr) {
  if (ptr == nullptr) return nullptr;
  auto* uc = static_cast<ucontext_t*>(ptr);
#if defined(__x86_64__)
  return reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<void*>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return nullptr;
#endif
}

}  // namespace

void signal_error(int sig, siginfo_t* info, void* ptr) {
  const pid_t self = gettid();
  pid_t expected = 0;
  if (!gCrashingThread.compare_exchange_strong(expected, self)) {
    // A fault inside the report itself: stop at once.
    if (expected == self) _exit(1);
    // Another thread is already reporting and will end the process.
    for (;;) pause();
  }

  // Only a fault detected by the kernel carries an address; for a signal
  // sent by a process the same bytes hold the sender's pid and uid.
  uint64_t addr = 0;
  if (info != nullptr && info->si_code > 0) addr = reinterpret_cast<uintptr_t>(info->si_addr);
  char text[512];
  FixedLine head(text, sizeof text);
  head.add("[DAEMON] Signal: ");
  head.add(signalText(sig));
  head.add(", Addr: 0x");
  head.addHex16(addr);
  head.add("\n");
  safeSyslog(LOG_INFO, head.c_str());

  void* trace[16];
  int n = backtrace(trace, 16);
  // Entry 1 is the signal-delivery frame: show the faulting instruction.
  void* pc = programCounter(ptr);
  if (n > 1 && pc != nullptr) trace[1] = pc;
  if (n > 1 && gBacktracePipe[1] >= 0) {
    // Entry 0 is this handler: left out.
    backtrace_symbols_fd(trace + 1, n - 1, gBacktracePipe[1]);
    safeSyslog(LOG_INFO, "== Backtrace ==");
    logBacktraceLines();
    safeSyslog(LOG_INFO, "== End Backtrace ==\n");
  }
  safeSyslog(LOG_INFO, "[DAEMON] Stopped\n");

  DestroyWorkThread();
  if (void (*cleanup)() = gCrashCleanup.load()) cleanup();
  _exit(1);
}

void setCrashCleanup(void (*cleanup)()) { gCrashCleanup.store(cleanup); }

void installCrashHandlers() {
  prepareCrashReport();
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = signal_error;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_SIGINFO;
  for (int sig : {SIGFPE, SIGILL, SIGSEGV, SIGBUS}) sigaction(sig, &sa, nullptr);
}

