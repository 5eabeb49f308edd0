// Whole-buffer read and write on descriptors.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "base/unique_fd.h"

// Reads exactly `len` bytes. Retries EINTR; an end of input before `len`
// bytes counts as an error. Returns true when all bytes arrived.
bool readFull(int fd, void* buf, size_t len);

// Writes exactly `len` bytes. Retries EINTR and short writes. Returns true
// when all bytes were handed to the system.
bool writeFull(int fd, const void* buf, size_t len);
inline bool writeFull(int fd, const std::string& s) { return writeFull(fd, s.data(), s.size()); }

// Reads a whole file into `out`. Returns false when the file cannot be
// opened or read.
bool readFile(const std::string& path, std::string* out);

// Reads everything from offset 0 of the open file `fd` into `out` (the file
// offset is left alone). Returns false when it cannot be read.
bool readFromStart(int fd, std::string* out);

// Opens `path` for reading only when it is a regular file: a symlink is not
// followed and a FIFO or device is never waited on. On failure returns an
// invalid UniqueFd with *why set to the reason ("not a regular file" or the
// system's error text).
UniqueFd openRegularFile(const std::string& path, const char** why);

// Writes `text` to a new file with a unique name beside `path` (`path` plus
// a suffix), created exclusively with `mode` (the umask still applies).
// Returns its name, or "" when it could not be written whole (nothing is
// left behind then, and errno tells why).
std::string writeFileBeside(const std::string& path, const std::string& text, mode_t mode);

// Writes `text` to a new file beside `path` and renames it over `path`, so a
// reader sees either the old or the new content, never a mix. `mode` is the
// creation mode (the umask still applies). Does not follow a symlink at
// `path`: the rename replaces the link itself (or a FIFO, never opened).
// Returns false on any failure, with errno telling why, and leaves nothing
// behind.
bool replaceFileAtomically(const std::string& path, const std::string& text, mode_t mode);
