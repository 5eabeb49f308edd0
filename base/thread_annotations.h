// Lock annotations checked by clang's -Wthread-safety (the test command builds
// once with clang), and the one mutex type that carries them. With other
// compilers the macros expand to nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TF_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TF_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TF_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TF_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TF_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) TF_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TF_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TF_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TF_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TF_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// A std::mutex the analysis knows about.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds `mu` for its scope. unlock/lock in between are allowed (a condition
// wait does that through them).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_.unlock();
  }
  void lock() ACQUIRE() {
    mu_.lock();
    held_ = true;
  }
  void unlock() RELEASE() {
    held_ = false;
    mu_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  friend class CondVar;
  Mutex& mu_;
  bool held_ = true;
};

// Waits on a Mutex held through a MutexLock (a plain std::condition_variable
// on the mutex inside: no second mutex and no allocation per wait, as
// std::condition_variable_any would have). Callers loop on their condition
// themselves (while (!ready) cond.wait(lock);), so that the analysis sees
// every read of guarded state under the lock.
class CondVar {
 public:
  void wait(MutexLock& lock) {
    std::unique_lock<std::mutex> held(lock.mu_.mu_, std::adopt_lock);
    cv_.wait(held);
    held.release();  // still locked: the MutexLock keeps owning it
  }
  template <class Clock, class Duration>
  std::cv_status wait_until(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> held(lock.mu_.mu_, std::adopt_lock);
    const std::cv_status status = cv_.wait_until(held, deadline);
    held.release();
    return status;
  }
  void notify_one() { cv_.notify_one(); }
  void notify_all() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};
