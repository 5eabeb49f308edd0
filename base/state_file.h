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
