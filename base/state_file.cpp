#include "base/state_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "base/error_text.h"
#include "base/io.h"
#include "base/log.h"
#include "base/unique_fd.h"

namespace {

// The directory part of `path` ("" when it has none).
std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Makes sure `dir` is a directory owned by us that no one else can write.
bool ensurePrivateDir(const std::string& dir) {
  if (dir.empty()) return true;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

// Why `st` may be changed by someone other than this process's user.
const char* notOurs(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "a link";
  if (st.st_uid != ::geteuid()) return "owned by another user";
  if ((st.st_mode & 022) != 0) return "writable by group or others";
  return nullptr;
}

}  // namespace

bool saveStateFile(const std::string& path, const std::string& text) {
  return ensurePrivateDir(parentOf(path)) && replaceFileAtomically(path, text, 0600);
}

bool loadStateFile(const std::string& path, std::string* text) {
  const char* why = nullptr;
  UniqueFd fd = openRegularFile(path, &why);
  return fd && readFromStart(fd.get(), text);
}

bool removeStateFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

const char* dataDirProblem(const std::string& dir) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return errno == ENOENT ? nullptr : "cannot be examined";
  if (const char* why = notOurs(st)) return why;
  if (!S_ISDIR(st.st_mode)) return "not a directory";
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  std::unique_ptr<DIR, int (*)(DIR*)> entries(fd < 0 ? nullptr : ::fdopendir(fd), ::closedir);
  if (!entries) {
    if (fd >= 0) ::close(fd);
    return "cannot be read";
  }
  while (const dirent* e = ::readdir(entries.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (::fstatat(::dirfd(entries.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return "cannot be read";
    // Directories are allowed (the desktop client's package may keep files
    // here); the daemon runs and reads only files at the top.
    if (notOurs(st) != nullptr || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
      return "holds an entry that is not a file of its own";
  }
  return nullptr;
}

bool ensureOwnDataDir(const std::string& dir) {
  if (const char* why = dataDirProblem(dir)) {
    // Renamed, never emptied: what someone planted there stays for the
    // administrator to look at, and nothing in it is run or read.
    std::string aside;
    for (int n = 1; n < 100; ++n) {
      aside = dir + ".untrusted-" + std::to_string(n);
      struct stat st;
      if (::lstat(aside.c_str(), &st) != 0 && errno == ENOENT) break;
    }
    if (::rename(dir.c_str(), aside.c_str()) != 0) {
      logInfo("Data directory " + dir + " not used (" + why + ") and cannot be moved aside: " + errorText(errno));
      return false;
    }
    logInfo("Data directory " + dir + " not used (" + why + "): moved aside to " + aside + ", a fresh one made");
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    logInfo("Data directory " + dir + " cannot be made: " + errorText(errno));
    return false;
  }
  return true;
}
