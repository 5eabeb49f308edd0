// Small helpers shared by the daemon-process, control-channel and update tests.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "base/io.h"
#include "base/unique_fd.h"

// A fresh directory under the test temp dir, removed with its content.
class ScopedTempDir {
 public:
  ScopedTempDir() : path_(::testing::TempDir() + "spine-XXXXXX") {
    if (::mkdtemp(path_.data()) == nullptr) std::abort();
  }
  ~ScopedTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readWholeFile(const std::string& path) {
  std::string out;
  readFile(path, &out);
  return out;
}

// Runs `body` with descriptor `fd` (1 or 2) pointed at the file `path`;
// returns what was written to it meanwhile.
inline std::string captureFd(int fd, const std::string& path, const std::function<void()>& body) {
  UniqueFd saved(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  ::dup2(UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)).get(), fd);
  body();
  ::dup2(saved.get(), fd);
  return readWholeFile(path);
}
