// Entry of the integration tests. Outside a sandbox it runs each selected test
// in a fresh tundrafox-sandbox of its own, prints a result line per test and
// "N passed, N failed", and fails when any test did. Inside a sandbox, and for
// --gtest_list_tests, it is an ordinary GoogleTest program.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "base/process.h"
#include "support/daemon_fixture.h"

namespace {

constexpr int kPerTestLimitSeconds = 120;  // then the test is killed and counts as failed

// The tests GoogleTest selects (filter, disabled tests, sharding): a listing
// run marks them as it would for a real run; its listing is thrown away.
std::vector<std::string> selectedTests() {
  GTEST_FLAG_SET(list_tests, true);
  std::fflush(stdout);
  UniqueFd saved(::fcntl(1, F_DUPFD_CLOEXEC, 0)), null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  ::dup2(null.get(), 1);
  [[maybe_unused]] const int listed = RUN_ALL_TESTS();
  std::fflush(stdout);
  ::dup2(saved.get(), 1);
  std::vector<std::string> names;
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  for (int i = 0; i < unit.total_test_suite_count(); ++i)
    for (int j = 0; j < unit.GetTestSuite(i)->total_test_count(); ++j)
      if (const ::testing::TestInfo* t = unit.GetTestSuite(i)->GetTestInfo(j); t->should_run())
        names.push_back(std::string(t->test_suite_name()) + "." + t->name());
  return names;
}

// Runs one test in a sandbox and prints its result line; true when it passed. `timeout` ends the sandbox, and
// everything in it, at the time limit.
bool runInSandbox(const std::string& test) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> argv = {"timeout", "--foreground", std::to_string(kPerTestLimitSeconds),
                                   itest::sandboxPath()};
  for (const auto& [suite, real] : {std::pair{"RealVpnTest.", "openvpn"}, {"RealSuTest.", "su"}})
    if (test.starts_with(suite)) argv.insert(argv.end(), {"--real", real});  // the others get its stub
  if (test.find("Step") != std::string::npos) argv.push_back("--count-steps");
  argv.insert(argv.end(), {"--", std::filesystem::read_symlink("/proc/self/exe"), "--gtest_filter=" + test,
                           "--gtest_brief=1", ::isatty(1) ? "--gtest_color=yes" : "--gtest_color=no"});
  std::fflush(stdout);
  const pid_t pid = spawnProcess(argv, SpawnOptions{.searchPath = true});
  const int status = pid < 0 ? -1 : waitProcess(pid);
  if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 124)
    std::fprintf(stderr, "%s: still running after %d s, killed\n", test.c_str(), kPerTestLimitSeconds);
  const long long ms = (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
  std::printf("[ %s ] %s (%lld ms)\n", exitedZero(status) ? "    OK    " : "  FAILED  ", test.c_str(), ms);
  return exitedZero(status);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (itest::insideSandbox() || GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  if (std::getenv("SANDBOX_DIR") != nullptr || ::geteuid() != 0) {  // SANDBOX_DIR: a sandbox that shares our network
    std::fprintf(stderr, "integration tests need root, outside a sandbox: each test runs in a tundrafox-sandbox\n");
    return 1;
  }
  std::vector<std::string> failed;
  const std::vector<std::string> tests = selectedTests();
  for (const std::string& name : tests)
    if (!runInSandbox(name)) failed.push_back(name);
  for (const std::string& f : failed) std::printf("FAILED: %s\n", f.c_str());
  std::printf("%zu passed, %zu failed\n", tests.size() - failed.size(), failed.size());
  return failed.empty() ? 0 : 1;
}
