// Small helpers shared by the daemon-process and control-channel tests.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "daemon/io.h"

// A fresh directory under the test temp dir, removed with its content.
class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::string tmpl = ::testing::TempDir() + "spine-XXXXXX";
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~ScopedTempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
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

// Points file descriptor `fd` (1 or 2) at a file while in scope.
class ScopedFdCapture {
 public:
  ScopedFdCapture(int fd, const std::string& path) : fd_(fd), path_(path) {
    saved_ = ::dup(fd);
    int f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(f, fd);
    ::close(f);
  }
  ~ScopedFdCapture() { restore(); }
  ScopedFdCapture(const ScopedFdCapture&) = delete;
  ScopedFdCapture& operator=(const ScopedFdCapture&) = delete;

  // Restores the descriptor and returns what was written meanwhile.
  std::string finish() {
    restore();
    return readWholeFile(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, fd_);
    ::close(saved_);
    saved_ = -1;
  }
  int fd_;
  std::string path_;
  int saved_ = -1;
};
