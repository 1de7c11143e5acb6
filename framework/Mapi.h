// Simple MAPI: the records and calls through which a program hands a mail
// message to the machine's mail system. The records keep their published
// layouts and field names; underneath, the mail provider chosen by
// ZORIRIVE_MAIL (platform/MailProvider.h) does the work.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../platform/MailProvider.h"

namespace zr {

// The result codes (SUCCESS_SUCCESS, MAPI_USER_ABORT, MAPI_E_FAILURE, ...
// MAPI_E_NOT_SUPPORTED), the flags MAPI_LOGON_UI (1) and MAPI_DIALOG (8), and
// the recipient classes MAPI_ORIG, MAPI_TO, MAPI_CC, MAPI_BCC.
using namespace os::mapi_codes;

using ULONG = std::uint32_t;
using FLAGS = ULONG;
using LHANDLE = std::uintptr_t;
using ULONG_PTR = std::uintptr_t;
using LPSTR = char*;
using LPVOID = void*;

struct MapiRecipDesc {
    ULONG ulReserved;
    ULONG ulRecipClass;  // MAPI_TO, MAPI_CC or MAPI_BCC
    LPSTR lpszName;
    LPSTR lpszAddress;
    ULONG ulEIDSize;
    LPVOID lpEntryID;
};
using lpMapiRecipDesc = MapiRecipDesc*;

struct MapiFileDesc {
    ULONG ulReserved;
    ULONG flFlags;
    ULONG nPosition;  // 0xFFFFFFFF: no place in the text
    LPSTR lpszPathName;
    LPSTR lpszFileName;  // the name the receiver sees; nil: that of the path
    LPVOID lpFileType;
};
using lpMapiFileDesc = MapiFileDesc*;

struct MapiMessage {
    ULONG ulReserved;
    LPSTR lpszSubject;
    LPSTR lpszNoteText;
    LPSTR lpszMessageType;
    LPSTR lpszDateReceived;
    LPSTR lpszConversationID;
    FLAGS flFlags;
    lpMapiRecipDesc lpOriginator;
    ULONG nRecipCount;
    lpMapiRecipDesc lpRecips;
    ULONG nFileCount;
    lpMapiFileDesc lpFiles;
};

// Hands the message to the mail provider. With MAPI_DIALOG the message is
// opened for the user (the mail client's compose window) rather than sent
// silently. A recipient is sent to its address, else to its entry
// identifier (what MapiResolveName returned), else to its name; an
// "SMTP:" before an address is dropped. A recipient with none of them is
// left for the user to fill in with MAPI_DIALOG and refused
// (MAPI_E_UNKNOWN_RECIPIENT) without. Never throws.
ULONG MapiSendMail(LHANDLE session, ULONG_PTR uiParam, const MapiMessage* message, FLAGS flags,
                   ULONG reserved);

// Looks `name` up (an address stands for itself; other names are the user's
// mail aliases). On success `*recip` is a record that the caller releases
// with MapiFreeBuffer; its names and entry identifier live inside it. The
// entry identifier holds the resolved address.
ULONG MapiResolveName(LHANDLE session, ULONG_PTR uiParam, const char* name, FLAGS flags,
                      ULONG reserved, lpMapiRecipDesc* recip);

// Releases a record of MapiResolveName. Nil is accepted; a pointer that
// did not come from this library is refused with MAPI_E_FAILURE, not freed.
ULONG MapiFreeBuffer(LPVOID buffer);

// Texts go to Simple MAPI in buffers of their own of 257 bytes: at most 256
// characters and the terminating zero. A longer text is cut to its first
// 256 bytes (less, so as not to split a UTF-8 character), never written
// past the buffer.
constexpr std::size_t MapiTextBufferSize = 257;
using TMapiTextBuffer = std::array<char, MapiTextBufferSize>;
// Copies `text` into `buffer` as described; returns the buffer's text.
char* CopyToMapiBuffer(TMapiTextBuffer& buffer, std::string_view text);

}  // namespace zr
