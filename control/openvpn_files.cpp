#include "control/openvpn_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/state_file.h"
#include "control/access_rule.h"

namespace {

constexpr size_t kMaxFileBytes = 256 * 1024;
constexpr int kReadTimeoutMs = 5000;

// Whether every step of `path` (from "/") is owned by root and writable by
// neither group nor others, a directory but the last, a regular file the
// last; `follow`: each step looked at through links (stat), else as it
// lies (lstat). "" when it is, else what is wrong.
std::string rootOnlySteps(const std::string& path, bool follow) {
  for (size_t end = 0;; end = path.find('/', end + 1)) {
    const bool last = end == std::string::npos;
    const std::string step = last ? path : end == 0 ? "/" : path.substr(0, end);
    struct stat st;
    if ((follow ? ::stat(step.c_str(), &st) : ::lstat(step.c_str(), &st)) != 0) return step + ": cannot be inspected";
    if (st.st_uid != 0) return step + " is not owned by root";
    if ((st.st_mode & 022) != 0) return step + " is writable by others than root";
    if (last && !S_ISREG(st.st_mode)) return step + " is not a program";
    if (!last && !S_ISDIR(st.st_mode)) return step + " is not a directory";
    if (last) return "";
  }
}

}  // namespace

bool PeerPolicySources::readFile(const std::string& path, std::string* content, std::string* why) {
  UserCredentials user;
  if (!lookupUserCredentials(uid_, &user)) {
    *why = "the user is not in the user database";
    return false;
  }
  return readFileAsUser(user, path, kMaxFileBytes, kReadTimeoutMs, content, why);
}

bool PeerPolicySources::rootOwnedProgram(const std::string& path, std::string* resolved, std::string* why) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (real == nullptr) {
    *why = "cannot be resolved";
    return false;
  }
  // The path as given, each step through its links, and the path openvpn
  // will get, with no link left in it.
  *why = rootOnlySteps(path, true);
  if (why->empty()) *why = rootOnlySteps(real.get(), false);
  *resolved = real.get();
  return why->empty();
}

std::string writeOpenvpnConfig(const std::string& config) {
  uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (unsigned char c : config) hash = (hash ^ c) * 1099511628211ULL;
  char name[32];
  std::snprintf(name, sizeof name, "/%016llx.conf", static_cast<unsigned long long>(hash));
  if (::mkdir(kRunStateDir, 0700) != 0 && errno != EEXIST) return "";
  const std::string path = kOpenvpnConfigDir + std::string(name);
  return saveStateFile(path, config) ? path : "";
}
