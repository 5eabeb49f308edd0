#include "control/update_authorization.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "base/error_text.h"
#include "base/io.h"
#include "base/process.h"
#include "base/unique_fd.h"
#include "control/access_rule.h"

namespace {

// The link text of the socket looked for, "socket:[INODE]".
struct SocketLink {
  char text[48] = {};
  size_t size = 0;
};

bool isNumber(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// The pid of a process whose descriptor is the socket `arg` (a SocketLink),
// -1 if none is visible. Run in a child that took the peer's uid (the
// daemon may not look into other users' /proc/PID/fd: no CAP_SYS_PTRACE), so
// async-signal-safe: system calls and buffers on the stack only.
long findSocketHolder(const void* arg) {
  const SocketLink& want = *static_cast<const SocketLink*>(arg);
  const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return -1;
  alignas(dirent64) char procBuf[4096];
  alignas(dirent64) char fdBuf[4096];
  long found = -1;
  for (long n; found < 0 && (n = ::syscall(SYS_getdents64, proc, procBuf, sizeof procBuf)) > 0;) {
    for (long at = 0; found < 0 && at < n;) {
      const dirent64* p = reinterpret_cast<const dirent64*>(procBuf + at);
      at += p->d_reclen;
      if (!isNumber(p->d_name) || std::strlen(p->d_name) > 20) continue;
      char path[32];
      std::memcpy(path, p->d_name, std::strlen(p->d_name));
      std::memcpy(path + std::strlen(p->d_name), "/fd", 4);
      const int dir = ::openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir < 0) continue;
      for (long m; found < 0 && (m = ::syscall(SYS_getdents64, dir, fdBuf, sizeof fdBuf)) > 0;) {
        for (long at2 = 0; at2 < m;) {
          const dirent64* f = reinterpret_cast<const dirent64*>(fdBuf + at2);
          at2 += f->d_reclen;
          char link[sizeof want.text];
          const ssize_t len = ::readlinkat(dir, f->d_name, link, sizeof link);
          if (len != static_cast<ssize_t>(want.size) || std::memcmp(link, want.text, want.size) != 0) continue;
          found = 0;
          for (const char* c = p->d_name; *c != '\0'; ++c) found = found * 10 + (*c - '0');
          break;
        }
      }
      ::close(dir);
    }
  }
  ::close(proc);
  return found;
}

// Field 22 of /proc/PID/stat, counted after the command name (which may hold
// blanks and parentheses: the last ')' ends it).
std::optional<uint64_t> startTimeOf(const std::string& pid) {
  const char* why = nullptr;
  UniqueFd fd = openRegularFile("/proc/" + pid + "/stat", &why);
  std::string text;
  if (!fd || !readFromStart(fd.get(), &text)) return std::nullopt;
  size_t at = text.rfind(')');
  if (at == std::string::npos) return std::nullopt;
  // After ") " come field 3 (state) onwards: field 22 is the 20th of those.
  const char* p = text.c_str() + at + 1;
  for (int field = 3; field < 22; ++field) {
    p = std::strchr(p + 1, ' ');
    if (p == nullptr) return std::nullopt;
  }
  char* end = nullptr;
  unsigned long long v = std::strtoull(p + 1, &end, 10);
  if (end == p + 1) return std::nullopt;
  return v;
}

std::string errorDetail(const sd_bus_error& e, int r) {
  if (sd_bus_error_is_set(&e)) return std::string(e.name) + (e.message ? std::string(": ") + e.message : "");
  return errorText(-r);
}

}  // namespace

std::optional<PeerProcess> findPeerProcess(const PeerOwner& peer) {
  if (!peer.found || peer.inode == 0) return std::nullopt;
  SocketLink want;
  const std::string text = "socket:[" + std::to_string(peer.inode) + "]";
  std::memcpy(want.text, text.data(), text.size());
  want.size = text.size();
  UserCredentials user;
  long pid = -1;
  if (peer.uid == ::geteuid()) {
    pid = findSocketHolder(&want);
  } else if (lookupUserCredentials(peer.uid, &user)) {
    pid = runAsUser(user, findSocketHolder, &want);
  }
  if (pid <= 0) return std::nullopt;
  // The owner is checked here again: the scan ran with the peer's rights.
  struct stat st;
  const std::string dir = "/proc/" + std::to_string(pid);
  if (::stat(dir.c_str(), &st) != 0 || st.st_uid != peer.uid) return std::nullopt;
  std::optional<uint64_t> start = startTimeOf(std::to_string(pid));
  if (!start) return std::nullopt;
  return PeerProcess{static_cast<pid_t>(pid), *start, peer.uid};
}

AuthorizationResult checkAuthorization(const PeerProcess& process, const char* action,
                                       std::chrono::seconds timeout) {
  static std::atomic<unsigned> counter{0};
  constexpr const char* kService = "org.freedesktop.PolicyKit1";
  constexpr const char* kPath = "/org/freedesktop/PolicyKit1/Authority";
  constexpr const char* kInterface = "org.freedesktop.PolicyKit1.Authority";
  constexpr uint32_t kAllowUserInteraction = 1;

  sd_bus* raw = nullptr;
  int r = sd_bus_open_system(&raw);
  if (r < 0) return {AuthorizationVerdict::kUnavailable, std::string("no system bus: ") + errorText(-r)};
  std::unique_ptr<sd_bus, sd_bus* (*)(sd_bus*)> bus(raw, sd_bus_flush_close_unref);

  const std::string cancelId = "tundrafoxd-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  sd_bus_message* rawCall = nullptr;
  r = sd_bus_message_new_method_call(bus.get(), &rawCall, kService, kPath, kInterface, "CheckAuthorization");
  std::unique_ptr<sd_bus_message, sd_bus_message* (*)(sd_bus_message*)> call(rawCall, sd_bus_message_unref);
  if (r >= 0)
    r = sd_bus_message_append(call.get(), "(sa{sv})sa{ss}us", "unix-process", 3, "pid", "u",
                              static_cast<uint32_t>(process.pid), "start-time", "t", process.startTime, "uid", "i",
                              static_cast<int32_t>(process.uid), action, 0, kAllowUserInteraction, cancelId.c_str());
  if (r < 0) return {AuthorizationVerdict::kDenied, std::string("cannot build the request: ") + errorText(-r)};

  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* rawReply = nullptr;
  const uint64_t usec = static_cast<uint64_t>(std::chrono::microseconds(timeout).count());
  r = sd_bus_call(bus.get(), call.get(), usec, &error, &rawReply);
  std::unique_ptr<sd_bus_message, sd_bus_message* (*)(sd_bus_message*)> reply(rawReply, sd_bus_message_unref);
  AuthorizationResult result;
  if (r < 0) {
    const bool absent = sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                        sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
    if (r == -ETIMEDOUT || sd_bus_error_has_name(&error, SD_BUS_ERROR_TIMEOUT) ||
        sd_bus_error_has_name(&error, SD_BUS_ERROR_NO_REPLY)) {
      // The agent's dialog must not stay open for a request that is over.
      sd_bus_call_method(bus.get(), kService, kPath, kInterface, "CancelCheckAuthorization", nullptr, nullptr, "s",
                         cancelId.c_str());
      result = {AuthorizationVerdict::kDenied, "no answer within " + std::to_string(timeout.count()) + " s"};
    } else {
      result = {absent ? AuthorizationVerdict::kUnavailable : AuthorizationVerdict::kDenied,
                (absent ? "polkit is not available: " : "") + errorDetail(error, r)};
    }
    sd_bus_error_free(&error);
    return result;
  }
  int authorized = 0, challenge = 0;
  r = sd_bus_message_enter_container(reply.get(), 'r', "bba{ss}");
  if (r >= 0) r = sd_bus_message_read(reply.get(), "bb", &authorized, &challenge);
  if (r < 0) return {AuthorizationVerdict::kDenied, std::string("unreadable answer: ") + errorText(-r)};
  if (authorized) return {AuthorizationVerdict::kAllowed, "authorized"};
  return {AuthorizationVerdict::kDenied, challenge ? "authentication needed and not given" : "denied by polkit"};
}
