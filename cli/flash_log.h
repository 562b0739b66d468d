// The record of upgrades (--log FILE): one JSON line per board, appended.
#pragma once

#include <string>

// Opens (creating) `path` for appending, so a log that cannot be written is found before a board
// is touched: it must be a regular file (not a symbolic link, a FIFO, a device or a directory).
// False with the reason in `error`.
bool CheckFlashLog(const std::string& path, std::string* error);

// Appends `line` (one JSON object and its newline). Several boards append at once and a process
// may have died half-way through a line: each record goes in under an exclusive lock, after a
// newline if the file does not end with one, and is synced before the lock is released. A record
// that cannot be written whole (a full disk, a file-size limit, a failed sync) is cut off again
// under the lock, so the file ends as it did; false with the reason in `error`.
bool AppendFlashLog(const std::string& path, const std::string& line, std::string* error);

// A new upgrade's id: 32 hexadecimal digits from the kernel's random source. The "started" line
// and the outcome line of one upgrade carry the same id.
std::string NewUpgradeId();
