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

class SystemAccessSources final : public AccessSources {
 public:
  bool groupsOf(uid_t uid, std::vector<gid_t>* groups) override {
    std::vector<char> buf(4096);
    struct passwd pw;
    struct passwd* found = nullptr;
    for (;;) {
      int rc = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
      if (rc == ERANGE && buf.size() < kMaxEntryBuffer) {
        buf.resize(buf.size() * 2);
        continue;
      }
      if (rc != 0 || found == nullptr) return false;
      break;
    }
    int count = 32;
    for (;;) {
      groups->assign(static_cast<size_t>(count), 0);
      int n = count;
      if (::getgrouplist(pw.pw_name, pw.pw_gid, groups->data(), &n) >= 0) {
        groups->resize(static_cast<size_t>(n));
        return true;
      }
      // n now holds the number needed.
      if (n <= count || n > kMaxGroups) return false;
      count = n;
    }
  }

  bool groupId(const char* name, gid_t* gid) override {
    std::vector<char> buf(4096);
    struct group gr;
    struct group* found = nullptr;
    for (;;) {
      int rc = ::getgrnam_r(name, &gr, buf.data(), buf.size(), &found);
      if (rc == ERANGE && buf.size() < kMaxEntryBuffer) {
        buf.resize(buf.size() * 2);
        continue;
      }
      if (rc != 0 || found == nullptr) return false;
      *gid = gr.gr_gid;
      return true;
    }
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
