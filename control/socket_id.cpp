#include "control/socket_id.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "base/io.h"
#include "base/unique_fd.h"

int getSocketIdFromFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | kOpenBaseFlags));
  if (!fd) return 0;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;

  // A number and some white space fit easily; anything longer is not ours.
  char buf[64];
  size_t len = 0;
  while (len < sizeof buf - 1) {
    ssize_t n = ::read(fd.get(), buf + len, sizeof buf - 1 - len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    len += static_cast<size_t>(n);
  }
  buf[len] = '\0';

  char* end = nullptr;
  errno = 0;
  long v = std::strtol(buf, &end, 10);
  if (end == buf || errno == ERANGE || v < INT_MIN || v > INT_MAX) return 0;
  return static_cast<int>(v);
}

bool setSocketIdToFile(const std::string& path, int n) {
  return replaceFileAtomically(path, std::to_string(n), 0666);
}
