// Entry of the integration tests.
//
// Outside a sandbox, this program runs no test itself: it starts each
// selected test in its own fresh sandbox (`tundrafox-sandbox [FLAGS] --
// <self> --gtest_filter=<test>`, FLAGS from kSandboxFlags), prints one result
// line per test and a summary "N passed, N failed", and ends with status 1
// when any test failed. Inside a sandbox it is an ordinary GoogleTest
// program. Listing (--gtest_list_tests) works anywhere and needs no root.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/process.h"
#include "support/daemon_fixture.h"

namespace {

// A test that runs longer than this is killed and counted as failed.
constexpr int kPerTestLimitSeconds = 120;

// GoogleTest's pattern syntax: '*' any text, '?' one character.
bool globMatch(const char* pattern, const char* text) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '*') return globMatch(pattern + 1, text) || (*text != '\0' && globMatch(pattern, text + 1));
  if (*text == '\0') return false;
  return (*pattern == '?' || *pattern == *text) && globMatch(pattern + 1, text + 1);
}

// True when one of the ':'-separated `patterns` matches `name`.
bool matchesAny(const std::string& patterns, const std::string& name) {
  for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
    end = patterns.find(':', start);
    const std::string pattern = patterns.substr(start, end == std::string::npos ? end : end - start);
    if (!pattern.empty() && globMatch(pattern.c_str(), name.c_str())) return true;
  }
  return false;
}

// A GoogleTest filter: "POSITIVE[-NEGATIVE]"; an empty POSITIVE means "*".
bool filterSelects(const std::string& filter, const std::string& name) {
  const size_t dash = filter.find('-');
  const bool positive = dash == 0 || filter.empty() || matchesAny(filter.substr(0, dash), name);
  return positive && (dash == std::string::npos || !matchesAny(filter.substr(dash + 1), name));
}

// Extra sandbox flags for the tests that match a pattern; every other test
// gets the plain sandbox, with stand-ins for every program it stubs.
const std::pair<const char*, std::vector<std::string>> kSandboxFlags[] = {
    {"RealVpnTest.*", {"--real", "openvpn"}},  // a real tunnel (vpn_itest.cpp)
};

// Runs one test in a sandbox; true when it passed. At the time limit
// `timeout` ends the sandbox, which takes everything inside down with it.
bool runInSandbox(const std::string& test, bool color) {
  std::vector<std::string> argv = {"timeout", "--foreground", std::to_string(kPerTestLimitSeconds),
                                   itest::sandboxPath()};
  for (const auto& extra : kSandboxFlags)
    if (globMatch(extra.first, test.c_str())) argv.insert(argv.end(), extra.second.begin(), extra.second.end());
  argv.insert(argv.end(), {"--", std::filesystem::read_symlink("/proc/self/exe"), "--gtest_filter=" + test,
                           "--gtest_brief=1", color ? "--gtest_color=yes" : "--gtest_color=no"});
  std::fflush(stdout);
  const pid_t pid = spawnProcess(argv, SpawnOptions{.searchPath = true});
  const int status = pid < 0 ? -1 : waitProcess(pid);
  if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 124)
    std::fprintf(stderr, "%s: still running after %d s, killed\n", test.c_str(), kPerTestLimitSeconds);
  return exitedZero(status);
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
  const bool color = ::isatty(1) != 0;
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  std::vector<std::string> failed;
  size_t run = 0;
  for (int i = 0; i < unit.total_test_suite_count(); ++i) {
    const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
    for (int j = 0; j < suite.total_test_count(); ++j) {
      const std::string name = std::string(suite.name()).append(".").append(suite.GetTestInfo(j)->name());
      const bool disabled = name.find("DISABLED_") != std::string::npos;
      if (!filterSelects(filter, name) || (disabled && !GTEST_FLAG_GET(also_run_disabled_tests))) continue;
      ++run;
      const auto start = std::chrono::steady_clock::now();
      const bool ok = runInSandbox(name, color);
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      std::printf("[ %s ] %s (%lld ms)\n", ok ? "    OK    " : "  FAILED  ", name.c_str(),
                  static_cast<long long>(ms.count()));
      if (!ok) failed.push_back(name);
    }
  }
  for (const std::string& f : failed) std::printf("FAILED: %s\n", f.c_str());
  std::printf("%zu passed, %zu failed\n", run - failed.size(), failed.size());
  return failed.empty() ? 0 : 1;
}
