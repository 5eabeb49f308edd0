#include "control/access_rule.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Limits for the buffers of the reentrant user-database calls: they grow on
// ERANGE up to this size.
constexpr size_t kMaxEntryBuffer = size_t{1} << 20;
constexpr int kMaxGroups = 65536;

// Runs a reentrant user-database lookup, `lookup(buffer, size)` returning its
// error number, with a buffer that grows while the entry does not fit.
// True when the lookup succeeded (whether it found an entry is the caller's
// to check).
template <class Lookup>
bool lookupWithBuffer(std::vector<char>& buf, const Lookup& lookup) {
  for (buf.resize(4096);; buf.resize(buf.size() * 2)) {
    const int rc = lookup(buf.data(), buf.size());
    if (rc != ERANGE || buf.size() >= kMaxEntryBuffer) return rc == 0;
  }
}

class SystemAccessSources final : public AccessSources {
 public:
  bool groupsOf(uid_t uid, std::vector<gid_t>* groups) override {
    UserCredentials user;
    if (!lookupUserCredentials(uid, &user)) return false;
    *groups = std::move(user.groups);
    return true;
  }

  bool groupId(const char* name, gid_t* gid) override {
    std::vector<char> buf;
    struct group gr;
    struct group* found = nullptr;
    auto byName = [&](char* b, size_t n) { return ::getgrnam_r(name, &gr, b, n, &found); };
    if (!lookupWithBuffer(buf, byName) || found == nullptr) return false;
    *gid = gr.gr_gid;
    return true;
  }

  int activeSeats(uid_t uid) override {
    // Without systemd as init, or with logind not running, the files that
    // sd-login reads are not kept by anyone: no session counts.
    struct stat st;
    if (::sd_booted() <= 0 || ::stat("/run/systemd/seats", &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
    return ::sd_uid_get_seats(uid, /*require_active=*/1, nullptr);
  }
};

}  // namespace

bool lookupUserCredentials(uid_t uid, UserCredentials* user) {
  std::vector<char> buf;
  struct passwd pw;
  struct passwd* found = nullptr;
  auto byUid = [&](char* b, size_t n) { return ::getpwuid_r(uid, &pw, b, n, &found); };
  if (!lookupWithBuffer(buf, byUid) || found == nullptr) return false;
  user->uid = uid;
  user->gid = pw.pw_gid;
  for (int count = 32;;) {
    user->groups.assign(static_cast<size_t>(count), 0);
    int n = count;
    if (::getgrouplist(pw.pw_name, pw.pw_gid, user->groups.data(), &n) >= 0) {
      user->groups.resize(static_cast<size_t>(n));
      return true;
    }
    // n now holds the number needed.
    if (n <= count || n > kMaxGroups) return false;
    count = n;
  }
}

Access decideAccess(uid_t uid, AccessSources& sources) {
  if (uid == 0) return Access::kRoot;
  // The desktop's user first: one small file, where the group needs the
  // user database.
  if (sources.activeSeats(uid) > 0) return Access::kActiveSeat;
  gid_t accessGid;
  std::vector<gid_t> groups;
  if (sources.groupId(kAccessGroup, &accessGid) && sources.groupsOf(uid, &groups) &&
      std::find(groups.begin(), groups.end(), accessGid) != groups.end()) {
    return Access::kGroupMember;
  }
  return Access::kRefused;
}

AccessSources& systemAccessSources() {
  static SystemAccessSources sources;
  return sources;
}
