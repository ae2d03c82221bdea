// Opening the trace facility's output files.
//
// The trace directory may be writable by others than the process that traces,
// and that process is usually root: whatever sits under a trace file's name
// must not make it write, truncate or even block on something else. A trace
// file is opened only when it is a regular file of the process's effective
// user with a single name; anything else is refused untouched.
#pragma once

#include <sys/types.h>

#include <string>

// Opens path for reading and writing, creating it with mode (less the umask)
// when missing, and empties it only after it passed the checks above. A file
// that exists with permissions beyond mode loses them. Returns the descriptor
// (close-on-exec), or -1: with errno set and `why` empty when the file could
// not be opened, with the reason for the refusal in words in `why` when what
// is there is a symbolic link, has a second hard link, is a device or FIFO, or
// belongs to another user.
int openTraceFile(const std::string& path, mode_t mode, std::string& why);
