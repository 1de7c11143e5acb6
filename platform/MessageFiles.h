// Message files and FormatMessage. A message file is read in the message
// compiler's source format and loaded as data:
//
//   ; comment
//   SeverityNames=(Success=0x0 Informational=0x1 Warning=0x2 Error=0x3)
//   FacilityNames=(System=0x0FF Application=0x0)
//   LanguageNames=(English=0x409:MSG00409)
//   MessageId=0x100
//   Severity=Error
//   Facility=Application
//   SymbolicName=MSG_DISK_FULL
//   Language=English
//   Disk %1 is full.
//   .
//
// The names above are the defaults; the header lines may add or change names.
// A message's identifier is composed as the host composes it: severity in
// bits 30-31, the customer bit 29 (clear), the facility in bits 16-27 and the
// code (MessageId) in bits 0-15. MessageId empty or missing is one more than
// the facility's previous code, "+n" adds n to it; Severity and Facility carry
// over from the message before (at first Success and facility 0). Each text
// line ends with CR LF in the loaded text. Pairs may share a line, blanks may
// stand around "=" and a list may open on the next line; a UTF-16 source
// with its byte-order mark is read too, and its texts are given as UTF-8.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "LastError.h"
#include "Sync.h"

namespace zr::os {

using HMODULE = void*;
using DWORD_PTR = std::uintptr_t;

constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x00000002;
constexpr DWORD LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x00000020;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE = 0x00000040;

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

constexpr DWORD LANG_ENGLISH_US = 0x0409;

// The texts of a message file: identifier -> language -> text.
struct MessageTable {
    std::map<DWORD, std::map<DWORD, std::string>> messages;
};

// Reads a message file's source text. False with a line number and reason in
// `error` (when given) for text that is not one.
bool ParseMessageFile(std::string_view source, MessageTable& table, std::string* error = nullptr);

// Reads the message file `fileName` into `table`: ERROR_SUCCESS, or the
// error LoadLibraryExA fails with for that file.
DWORD LoadMessageTable(const char* fileName, MessageTable& table);

// Loads a message file as data; only the data-file flags are accepted
// (ERROR_INVALID_PARAMETER otherwise, or with a file handle). A missing file
// fails with ERROR_MOD_NOT_FOUND, one that is no message file (or larger
// than 16 MB) with ERROR_BAD_FORMAT, one that is no regular file (a FIFO, a
// device) with ERROR_ACCESS_DENIED before anything is read. Null on failure.
HMODULE LoadLibraryExA(const char* fileName, HANDLE file, DWORD flags);
BOOL FreeLibrary(HMODULE module);

// The text of a table's message in the language asked for (0: the neutral
// text, else US English, else the first there is); null when it has none.
const std::string* MessageText(const MessageTable& table, DWORD messageId, DWORD languageId);

// Formats message `messageId` of the module (FROM_HMODULE), of the system's
// error texts (FROM_SYSTEM) or the text `source` itself (FROM_STRING). Language
// 0 takes the neutral text, else US English, else the first there is.
//
// Inserts %1 to %99 take `arguments[n - 1]` (the host's argument array: a
// string's address for the default !s!, a number for !d!, !u!, !x!, ...; with
// flags, width and precision as in printf). An insert numbered beyond
// `argumentCount` is left in the text as it stands and nothing is read for it
// (the host has no count and would read past the array). Escapes: %0 ends the
// text, %n CR LF, %r CR, %t tab, %b and "% " a space, %% %. %! the sign itself.
//
// With ALLOCATE_BUFFER `buffer` receives a block that LocalFree releases;
// otherwise the text and its zero must fit in `size` characters
// (ERROR_INSUFFICIENT_BUFFER). Returns the length without the zero; 0 on
// failure: ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND,
// ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER.
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     char* buffer, DWORD size, const DWORD_PTR* arguments, DWORD argumentCount);
void* LocalFree(void* memory);

// Replaces each %NAME% by the environment variable's value; a name that is
// not set stays as it is. Returns the size of the result with its zero,
// written only when it fits in `size`; 0 on failure.
DWORD ExpandEnvironmentStringsA(const char* source, char* destination, DWORD size);

}  // namespace zr::os
