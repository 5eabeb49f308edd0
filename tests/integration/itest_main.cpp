// Entry of the integration tests.
//
// Outside a sandbox, this program runs no test itself: it starts each
// selected test in its own fresh sandbox (`tundrafox-sandbox -- <self>
// --gtest_filter=<test>`), prints one result line per test and a summary
// "N passed, N failed", and ends with status 1 when any test failed. Inside a
// sandbox it is an ordinary GoogleTest program. Listing (--gtest_list_tests)
// works anywhere and needs no root.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "daemon/process.h"
#include "support/daemon_fixture.h"

namespace {

// A test that runs longer than this is killed and counted as failed.
constexpr auto kPerTestLimit = std::chrono::seconds(120);

// GoogleTest's pattern syntax: '*' any text, '?' one character.
bool globMatch(const char* pattern, const char* text) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '*') return globMatch(pattern + 1, text) || (*text != '\0' && globMatch(pattern, text + 1));
  if (*text == '\0') return false;
  return (*pattern == '?' || *pattern == *text) && globMatch(pattern + 1, text + 1);
}

bool matchesAny(const std::string& patterns, const std::string& name) {
  size_t start = 0;
  for (;;) {
    size_t end = patterns.find(':', start);
    std::string p = patterns.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!p.empty() && globMatch(p.c_str(), name.c_str())) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// "POSITIVE[-NEGATIVE]", each a ':'-separated list of patterns.
bool filterSelects(const std::string& filter, const std::string& name) {
  size_t dash = filter.find('-');
  std::string positive = filter.substr(0, dash);
  std::string negative = dash == std::string::npos ? std::string() : filter.substr(dash + 1);
  if (positive.empty()) positive = "*";
  return matchesAny(positive, name) && !matchesAny(negative, name);
}

std::string selfPath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = '\0';
  return buf;
}

// Runs one test in a sandbox. Returns true when it passed.
bool runInSandbox(const std::string& self, const std::string& test, bool color) {
  std::vector<std::string> argv = {itest::sandboxPath(), "--", self, "--gtest_filter=" + test, "--gtest_brief=1",
                                   std::string("--gtest_color=") + (color ? "yes" : "no")};
  std::fflush(stdout);
  pid_t pid = spawnProcess(argv);
  if (pid < 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", argv[0].c_str(), std::strerror(errno));
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kPerTestLimit;
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "%s: still running after %lld s, killed\n", test.c_str(),
                   static_cast<long long>(kPerTestLimit.count()));
      // The sandbox takes everything inside down with it.
      ::kill(pid, SIGTERM);
      waitProcess(pid);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (itest::insideSandbox() || GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();

  if (std::getenv("SANDBOX_DIR") != nullptr) {
    std::fprintf(stderr, "SANDBOX_DIR is set but this is not a separate network namespace: refusing to run\n");
    return 1;
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "integration tests need root: each test runs the daemon in a tundrafox-sandbox\n");
    return 1;
  }

  const std::string filter = GTEST_FLAG_GET(filter);
  const bool withDisabled = GTEST_FLAG_GET(also_run_disabled_tests);
  const bool color = ::isatty(1) != 0;
  std::vector<std::string> tests;
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  for (int i = 0; i < unit.total_test_suite_count(); ++i) {
    const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
    for (int j = 0; j < suite.total_test_count(); ++j) {
      const ::testing::TestInfo& info = *suite.GetTestInfo(j);
      std::string name = std::string(suite.name()) + "." + info.name();
      bool disabled = name.find("DISABLED_") != std::string::npos;
      if (filterSelects(filter, name) && (withDisabled || !disabled)) tests.push_back(name);
    }
  }

  const std::string self = selfPath();
  int passed = 0;
  std::vector<std::string> failed;
  for (const std::string& test : tests) {
    auto start = std::chrono::steady_clock::now();
    bool ok = runInSandbox(self, test, color);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ %s ] %s (%lld ms)\n", ok ? "    OK    " : "  FAILED  ", test.c_str(), static_cast<long long>(ms));
    if (ok)
      ++passed;
    else
      failed.push_back(test);
  }
  for (const std::string& f : failed) std::printf("FAILED: %s\n", f.c_str());
  std::printf("%d passed, %zu failed\n", passed, failed.size());
  return failed.empty() ? 0 : 1;
}
