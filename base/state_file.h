// Small state files that must outlive a worker process, though not a reboot.
#pragma once

#include <string>

// The daemon's directory for such state. /run is emptied at boot, and so is
// the state: a reboot ends everything it describes except what is noted with
// each file.
inline constexpr const char kRunStateDir[] = "/run/tundrafoxd";

// Replaces the file `path` with `text` (mode 0600): a new file renamed over
// it, so a reader sees the old or the new text and a link or FIFO planted
// there is replaced, not followed. Creates the parent directory (mode 0700)
// when it is missing; refuses one that is not a directory of its own owner.
// Returns false with errno set on failure.
bool saveStateFile(const std::string& path, const std::string& text);

// Reads `path` into `text` when it is a regular file (a link is not followed,
// a FIFO never waited on). False when there is none or it cannot be read.
bool loadStateFile(const std::string& path, std::string* text);

// Removes `path`. True when it is gone (or never was).
bool removeStateFile(const std::string& path);

// Why `dir`, which holds files that the daemon runs or reads back, may not be
// used as it is: it is a link or not a directory, it is owned by another user
// than this process's or group or others may write it, or it holds an entry
// that is not a regular file of this process's user that only that user may
// write (directories of its own are allowed). nullptr when it may be used
// (or does not exist: see below).
const char* dataDirProblem(const std::string& dir);

// Makes `dir` a directory of this process's user that no one else can
// change: a missing one is created (mode 0700); one with a dataDirProblem is
// never used as it is but renamed aside to `dir` + ".untrusted-N" (logged,
// with the reason) and a fresh one created in its place. False, logged, when
// no such directory could be had.
bool ensureOwnDataDir(const std::string& dir);
