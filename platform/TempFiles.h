// The temporary folder and unique temporary files, with the Windows calls'
// contracts (buffer sizes, results, the unique number) over $TMPDIR.
#pragma once

#include <cstdint>
#include <string>

#include "LastError.h"

namespace zr::os {

using UINT = unsigned int;

// The longest path, terminating zero included, that these calls hand out.
constexpr DWORD MAX_PATH = 260;

// The temporary folder with a trailing "/": $TMPDIR when it names a folder,
// else /tmp. Returns the length copied, without the terminating zero; when
// `bufferLength` is too small nothing is copied and the length needed,
// zero included, is returned.
DWORD GetTempPathA(DWORD bufferLength, char* buffer);

// Forms "<path>/<prefix><hex>.tmp" in `tempFileName` (a buffer of MAX_PATH
// characters) from at most the first three characters of `prefix`.
// With `unique` 0 it picks the number itself and creates the file, empty and
// readable by its owner only, with an exclusive create, so no other process
// can be given the same name; it returns that number. With another `unique`
// it only forms the name from (unique & 0xFFFF) and returns it. 0 on failure
// (GetLastError says why: ERROR_INVALID_PARAMETER, ERROR_BUFFER_OVERFLOW for
// a name of MAX_PATH or more, ERROR_FILE_EXISTS when every number is taken,
// or the system's error).
UINT GetTempFileNameA(const char* pathName, const char* prefix, UINT unique, char* tempFileName);

// A new folder in `parent` that only this user may enter (mode 0700), named
// `prefix` and six random characters, with a trailing "/". Files made in it
// cannot be read, replaced or planted by other local users, and nobody can
// use up its names in advance. Empty on failure (GetLastError says why).
std::string CreatePrivateFolder(const std::string& parent, const std::string& prefix);
// Removes a folder made by CreatePrivateFolder once it is empty.
bool RemovePrivateFolder(const std::string& folder);

}  // namespace zr::os
