// Recipient names looked up the way the mail tools of the machine do: an
// entry holding "@" is an address already; other names are the user's mail
// aliases (~/.mailrc, or the file $MAILRC names) or the system's local
// aliases (/etc/aliases), which the local mail system delivers itself.
#pragma once

#include <cstdint>
#include <string>

#include "MailProvider.h"

namespace zr::os {

struct TAliasFiles {
    std::string MailRc;         // "alias name address..." and "group name address..." lines
    std::string SystemAliases;  // "name: destination, ..." lines
};

// $MAILRC, else ~/.mailrc; and /etc/aliases.
TAliasFiles DefaultAliasFiles();

// SUCCESS_SUCCESS with the name and address filled in; MAPI_E_UNKNOWN_RECIPIENT
// for a blank or unknown name; MAPI_E_AMBIGUOUS_RECIPIENT when the name only
// matches, ignoring letter case, several user aliases that lead to different
// addresses, or when it leads to more than 1000 addresses (a mistaken alias
// file, not a list anybody means to mail a log to). A user alias of several
// addresses resolves to all of them, each once, separated by ", "; an alias
// named again and again within one lookup is expanded once. A name of the
// system aliases resolves to that name, as the local mail system expands it
// on delivery.
std::uint32_t ResolveMailName(const std::string& name, const TAliasFiles& files,
                              TResolvedName& resolved);

}  // namespace zr::os
