#include "control/peer_access.h"


void RefusalLog::log(std::string_view line, Clock::time_point now) {
  std::string leftOutLine;
  {
    MutexLock lock(mu_);
    if (now - windowStart_ >= std::chrono::seconds(1)) {
      windowStart_ = now;
      linesInWindow_ = 0;
    }
    if (linesInWindow_ >= kLinesPerWindow) {
      ++leftOut_;
      return;
    }
    ++linesInWindow_;
    if (leftOut_ > 0) {
      leftOutLine = std::to_string(leftOut_) + " more refused requests not logged";
      leftOut_ = 0;
    }
  }
  // Outside the lock: the sink may block on the log socket.
  if (!leftOutLine.empty()) sink_(leftOutLine);
  sink_(line);
}

std::string refusalLine(bool ownerFound, uid_t uid, const std::string& lookupFailure) {
  if (!ownerFound) return "refused request from an unknown peer: " + lookupFailure;
  return "refused request from uid " + std::to_string(uid) + ": not root, not in group " + kAccessGroup +
         ", no active local session";
}
