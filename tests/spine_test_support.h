// What the unit tests share: the standard headers most of them use, and a
// temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// A fresh directory under the test temp dir, removed with its content.
class ScopedTempDir {
 public:
  ScopedTempDir() : path_(::testing::TempDir() + "unit-XXXXXX") {
    if (::mkdtemp(path_.data()) == nullptr) std::abort();
  }
  ~ScopedTempDir() { std::filesystem::remove_all(path_); }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
