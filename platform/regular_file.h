// A file a program writes a record or a trace into, opened so that it cannot be turned against
// whoever writes it: a regular file only, never followed through a symbolic link.
#pragma once

#include <string>

namespace platform {

enum class FileStart {
    Append,    // records are added at the end
    Truncate,  // what was there before is dropped
};

// Opens (creating, 0644) `path` for writing. Only a regular file will do: a symbolic link could
// turn the writes against whoever makes them (a program run as root writing to a file it points
// at), a FIFO with no reader would hang the program, and a device such as a terminal would
// receive them. A file this call creates has its folder synced. Returns the descriptor (read
// and write where the account may read it back, else write only), or -1 with the reason in
// `error`, which names `purpose` ("the record", "the trace").
int OpenRegularFile(const std::string& path, FileStart start, const char* purpose,
                    std::string* error);

}  // namespace platform
