// The socket-id file: one signed decimal number, the descriptor number of
// the worker's listening socket, or 0 when no socket is recorded.
#pragma once

#include <string>

// The daemon's socket-id file.
inline constexpr const char kSocketIdFile[] = "/tmp/tundrafoxd-socket.id";

// Returns the number at the start of the file at `path` (leading white space
// skipped), or 0 when the file is missing, empty, not a regular file, does
// not start with a number or holds one outside the int range. Does not
// follow a symlink and never blocks on a FIFO planted at `path`.
int getSocketIdFromFile(const std::string& path);

// Replaces the file at `path` with the decimal text of `n` (no newline).
// The new file is written beside it and renamed over it, so a symlink or
// any other file planted at `path` is replaced, never written through (the
// directory may be world-writable). Created with mode 0666 less the umask.
// Returns false (and leaves `path` as it was) when the file cannot be
// written; the daemon ignores that.
bool setSocketIdToFile(const std::string& path, int n);
