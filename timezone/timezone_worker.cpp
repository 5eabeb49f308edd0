#include "timezone/timezone_worker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/command_runner.h"
#include "base/error_text.h"
#include "base/io.h"
#include "base/log.h"
#include "base/process.h"
#include "base/state_file.h"
#include "timezone/zone_name.h"

namespace {

// The files are read in pieces of at most 127 characters, a newline ending a
// piece early, so an overlong line is taken as several lines.
constexpr size_t kLineBufferSize = 128;

std::vector<std::string> readLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t len = 0;
    while (pos + len < text.size() && len < kLineBufferSize - 1) {
      ++len;
      if (text[pos + len - 1] == '\n') break;
    }
    lines.push_back(text.substr(pos, len));
    pos += len;
  }
  return lines;
}

bool isWordSeparator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The first word of `s` (words separated by space, tab or newline).
std::string_view firstWord(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && isWordSeparator(s[b])) ++b;
  size_t e = b;
  while (e < s.size() && !isWordSeparator(s[e])) ++e;
  return s.substr(b, e - b);
}

std::string setTimezoneCommand(const std::string& name) { return "timedatectl set-timezone \"" + name + "\""; }

}  // namespace

TimezoneWorker::TimezoneWorker(TimezoneFiles files, CommandRunner& runner, std::string stateFile)
    : files_(std::move(files)), runner_(runner), stateFile_(std::move(stateFile)) {
  init();
}

void TimezoneWorker::init() {
  char buf[kLineBufferSize];
  if (findDefaultTZ(buf, sizeof buf) == nullptr) {
    logInfo("[TimezoneWorker] Unable to determine default timezone.");
    return;
  }
  // The default goes into a shell command line on restore: it must pass the
  // same check as a name from the client.
  if (const char* problem = timezoneNameProblem(buf)) {
    logInfof("[TimezoneWorker] Default timezone \"%s\" is not usable: %s.", buf, problem);
    return;
  }
  logInfof("%s - %s", "[TimezoneWorker] [19] Default timezone is", buf);
  defaultTimezone = buf;
  supported = true;
  MutexLock lock(mu_);
  restoreTo_ = defaultTimezone;
}

void TimezoneWorker::adoptEarlierChange() {
  std::string name;
  if (!supported || stateFile_.empty() || !loadStateFile(stateFile_, &name)) return;
  // The name goes into a command line: it must pass as a client's name would.
  if (!name.empty() && name.back() == '\n') name.pop_back();
  if (timezoneNameProblem(name) != nullptr) return;
  MutexLock lock(mu_);
  changed = true;
  restoreTo_ = name;
  logInfof("[TimezoneWorker] The timezone was changed by an earlier worker; %s is to be put back.", name.c_str());
}

TimezoneWorker::~TimezoneWorker() {
  MutexLock lock(mu_);
  if (changed) {
    restoreLocked();
    changed = false;
  }
}

bool TimezoneWorker::isChanged() const {
  MutexLock lock(mu_);
  return changed;
}

TimezoneOutcome TimezoneWorker::setTimezone(const std::string& name) {
  if (!supported) return TimezoneOutcome::kUnsupported;
  if (const char* problem = timezoneNameProblem(name)) {
    logInfof("[TimezoneWorker] Refused to set timezone: %s.", problem);
    return TimezoneOutcome::kRefused;
  }
  MutexLock lock(mu_);
  // Recorded first: a worker killed while or after timedatectl runs leaves
  // the record for the next one (putting back a timezone that did not
  // change after all does no harm).
  if (!stateFile_.empty() && !saveStateFile(stateFile_, restoreTo_ + "\n"))
    logInfof("[TimezoneWorker] Could not write %s: %s", stateFile_.c_str(), errorText(errno));
  if (!exitedZero(executeRootCommand(setTimezoneCommand(name)))) {
    logInfo("[TimezoneWorker] Setting the timezone failed.");
    if (!changed && !stateFile_.empty()) removeStateFile(stateFile_);
    return TimezoneOutcome::kFailed;
  }
  changed = true;
  return TimezoneOutcome::kDone;
}

TimezoneOutcome TimezoneWorker::restore() {
  MutexLock lock(mu_);
  return restoreLocked();
}

TimezoneOutcome TimezoneWorker::restoreLocked() {
  if (!supported) return TimezoneOutcome::kUnsupported;
  if (!changed) return TimezoneOutcome::kNothingToDo;
  if (!exitedZero(executeRootCommand(setTimezoneCommand(restoreTo_)))) {
    logInfo("[TimezoneWorker] Restoring the default timezone failed.");
    return TimezoneOutcome::kFailed;
  }
  changed = false;
  if (!stateFile_.empty()) removeStateFile(stateFile_);
  restoreTo_ = defaultTimezone;
  return TimezoneOutcome::kDone;
}

bool TimezoneWorker::restoreAfterCrash() {
  if (!mu_.try_lock()) return false;
  bool restored = restoreLocked() == TimezoneOutcome::kDone;
  mu_.unlock();
  return restored;
}

bool TimezoneWorker::changeToIP(const char* name) {
  return setTimezone(name ? std::string(name) : std::string()) == TimezoneOutcome::kDone;
}

bool TimezoneWorker::restoreToDefault() { return restore() == TimezoneOutcome::kDone; }

int TimezoneWorker::executeRootCommand(const std::string& commandLine) {
  return runLoggedCommand(runner_, CommandLog{"[TimezoneWorker]"}, commandLine);
}

char* TimezoneWorker::findDefaultTZ(char* buf, size_t size) const {
  if (size == 0) return nullptr;
  std::string text;
  if (readFile(files_.timezoneList, &text)) {
    // A readable list decides alone, even when it names nothing.
    bool found = false;
    for (const std::string& line : readLines(text)) {
      std::string_view word = firstWord(line);
      if (word.empty() || word[0] == '#') continue;
      // The last name in the file wins; the rest of the buffer is zeroed.
      size_t n = std::min(word.size(), size - 1);
      std::memset(buf, 0, size);
      std::memcpy(buf, word.data(), n);
      found = true;
    }
    return found ? buf : nullptr;
  }
  if (getValue(files_.sysconfigClock.c_str(), "ZONE", buf, size)) return buf;
  if (getValue(files_.timezoneConfig.c_str(), "TZ", buf, size)) return buf;
  return nullptr;
}

char* TimezoneWorker::getValue(const char* path, const char* key, char* buf, size_t size) {
  if (size == 0) return nullptr;
  std::string text;
  if (!readFile(path, &text)) return nullptr;
  for (const std::string& line : readLines(text)) {
    std::string_view rest(line);
    // Equal signs at the very start of a line are skipped; the key is what
    // stands before the next one, compared exactly (no trimming).
    size_t start = rest.find_first_not_of('=');
    if (start == std::string_view::npos) continue;
    rest.remove_prefix(start);
    size_t eq = rest.find('=');
    std::string_view name = rest.substr(0, eq);
    if (name != key) continue;
    std::string_view value = eq == std::string_view::npos ? std::string_view() : firstWord(rest.substr(eq + 1));
    if (value.empty()) return nullptr;
    // Double quotes open and close quoted stretches and are dropped; at most
    // size - 1 characters are examined, dropped quotes included.
    size_t out = 0;
    for (size_t i = 0; i < value.size() && i < size - 1; ++i) {
      if (value[i] == '"') continue;
      buf[out++] = value[i];
    }
    buf[out] = '\0';
    return buf;
  }
  return nullptr;
}
