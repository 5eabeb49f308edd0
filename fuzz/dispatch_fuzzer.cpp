// libFuzzer target: decodes and dispatches one request record (the input,
// cut or zero-padded to 64005 bytes) against a firewall and a timezone
// worker that run nothing: their commands go to a counting runner and their
// files to a private work directory. Every command is reachable, and no
// input can touch the system.
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>

#include "control/dispatcher.h"
#include "base/command_runner.h"
#include "firewall/firewall.h"
#include "timezone/timezone_worker.h"

namespace {

// Records nothing, so memory stays flat however long the fuzzer runs.
// Alternates success and failure so both paths of every caller are taken.
class CountingRunner final : public CommandRunner {
 public:
  int runShell(const std::string& commandLine) override {
    return (count_.fetch_add(1) + commandLine.size()) % 5 == 4 ? (1 << 8) : 0;
  }
  bool startDetached(const std::vector<std::string>& argv) override {
    return (count_.fetch_add(1) + argv.size()) % 5 != 4;
  }
  int runWithFiles(const std::vector<std::string>& argv, int, int) override {
    return (count_.fetch_add(1) + argv.size()) % 5 == 4 ? (1 << 8) : 0;
  }

 private:
  std::atomic<uint64_t> count_{0};
};

struct Env {
  CountingRunner runner;
  FireWall* firewall = nullptr;
  TimezoneWorker* timezone = nullptr;
  DaemonServices* services = nullptr;
};

Env* env = nullptr;

std::string makeWorkDir() {
  // Never under /tmp: run-fuzz.sh points this into the build directory.
  const char* base = std::getenv("TUNDRAFOX_FUZZ_WORKDIR");
  std::string templ = std::string(base && *base ? base : ".") + "/dispatch-fuzz.XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return templ;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The daemon's progress lines go to standard output and the system log;
  // neither is wanted millions of times over.
  int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devnull >= 0) {
    ::dup2(devnull, STDOUT_FILENO);
    ::close(devnull);
  }
  setlogmask(LOG_MASK(LOG_EMERG));

  const std::string dir = makeWorkDir();
  TimezoneFiles files;
  files.timezoneList = dir + "/timezone";
  files.sysconfigClock = dir + "/clock";
  files.timezoneConfig = dir + "/TIMEZONE";
  if (std::FILE* f = std::fopen(files.timezoneList.c_str(), "we")) {
    std::fputs("Europe/Berlin\n", f);
    std::fclose(f);
  }
  env = new Env;
  env->firewall = new FireWall(dir + "/fw", env->runner);
  env->timezone = new TimezoneWorker(files, env->runner);
  env->services = new DaemonServices{*env->firewall, *env->timezone, env->runner,
                                     [](const std::string& path, const PeerOwner&) { return path.size() % 2 == 0; }};
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MessagePacket packet;
  std::memset(packet.bytes, 0, sizeof packet.bytes);
  std::memcpy(packet.bytes, data, size < sizeof packet.bytes ? size : sizeof packet.bytes);
  MessageReply reply = processMessagePacket(packet, *env->services, PeerOwner{true, 0, 1, {}});
  if (reply.result > 1 || reply.value != 0) std::abort();
  // Rule scripts are queued; let them finish so nothing piles up.
  env->firewall->waitIdle();
  return 0;
}
