// Whole files read or written in one go. Every descriptor is opened
// close-on-exec: a helper program that another thread starts at the same
// moment (the mail transport, the opener) must not inherit it.
#pragma once

#include <cstddef>
#include <string>

namespace zr::os {

// The whole content of `path`; false when it cannot be opened or read (errno
// says why), with `content` then empty.
bool ReadFileContent(const std::string& path, std::string& content);

struct TWriteResult {
    bool Opened = false;  // the file was created or emptied
    int Error = 0;        // errno of what failed; 0 when every byte reached the file
};

// Creates or empties `path` (a new file gets mode 0666 less the umask) and
// writes `size` bytes to it; closing is part of the write, as a full disk may
// only show then.
TWriteResult WriteFileContent(const std::string& path, const void* data, std::size_t size);

}  // namespace zr::os
