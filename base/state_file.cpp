#include "base/state_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/io.h"
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
