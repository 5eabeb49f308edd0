// How the listener reports the peers it refuses: a line each, a few lines a
// second at most.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/thread_annotations.h"
#include "control/access_rule.h"

// Passes refusal lines on to `sink`, at most kLinesPerWindow of them in each
// window of one second; the lines left out are counted, and the count is
// written ("N more refused requests not logged") before the next line that
// goes out. Thread-safe.
class RefusalLog {
 public:
  static constexpr int kLinesPerWindow = 5;
  using Clock = std::chrono::steady_clock;

  explicit RefusalLog(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {}

  void log(std::string_view line) { log(line, Clock::now()); }
  // The same at the time `now` (tests).
  void log(std::string_view line, Clock::time_point now) EXCLUDES(mu_);

 private:
  const std::function<void(std::string_view)> sink_;
  Mutex mu_;
  Clock::time_point windowStart_ GUARDED_BY(mu_){};
  int linesInWindow_ GUARDED_BY(mu_) = 0;
  uint64_t leftOut_ GUARDED_BY(mu_) = 0;
};

// The log line for a refused peer: "refused request from uid N: not root,
// not in group tundrafox, no active local session", or, when the owner was
// not found, "refused request from an unknown peer: " and why.
std::string refusalLine(bool ownerFound, uid_t uid, const std::string& lookupFailure);
