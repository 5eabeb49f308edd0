// Move-only owner of one file descriptor.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

// Flags every descriptor of the daemon is opened with: nothing we open may
// leak into a program that the daemon starts.
inline constexpr int kOpenBaseFlags = O_CLOEXEC;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }

  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership; the caller must close the result.
  int release() { return std::exchange(fd_, -1); }

  // Closes the held descriptor (if any) and takes ownership of `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};
