#include "framework/Mapi.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "framework/SysUtils.h"

namespace zr {

namespace {

std::string Text(const char* text) {
    return text ? std::string(text) : std::string();
}

bool IsBlank(const std::string& text) {
    return text.find_first_not_of(" \t") == std::string::npos;
}

// Address books hand out addresses as "SMTP:name@host"; the transport
// wants the address alone.
std::string WithoutAddressType(std::string address) {
    if (address.size() > 5 && SameText(std::string_view(address).substr(0, 5), "SMTP:"))
        address.erase(0, 5);
    return address;
}

std::string EntryIdText(const MapiRecipDesc& recip) {
    if (recip.lpEntryID == nullptr || recip.ulEIDSize == 0) return {};
    std::string id(static_cast<const char*>(recip.lpEntryID), recip.ulEIDSize);
    const std::size_t zero = id.find('\0');
    return zero == std::string::npos ? id : id.substr(0, zero);
}

// MAPI_E_BAD_RECIPTYPE, MAPI_E_UNKNOWN_RECIPIENT, or SUCCESS_SUCCESS with
// the recipient added to `message` (or left out for the user to fill in).
ULONG AddRecipient(const MapiRecipDesc& recip, FLAGS flags, os::TMailMessage& message) {
    if (recip.ulRecipClass != MAPI_TO && recip.ulRecipClass != MAPI_CC &&
        recip.ulRecipClass != MAPI_BCC)
        return MAPI_E_BAD_RECIPTYPE;
    const std::string name = Text(recip.lpszName);
    std::string address = WithoutAddressType(Text(recip.lpszAddress));
    if (IsBlank(address)) address = WithoutAddressType(EntryIdText(recip));
    if (IsBlank(address)) address = name;
    if (IsBlank(address)) return (flags & MAPI_DIALOG) ? SUCCESS_SUCCESS : MAPI_E_UNKNOWN_RECIPIENT;
    message.Recipients.push_back(
        {recip.ulRecipClass, name.empty() ? address : name, Trim(address)});
    return SUCCESS_SUCCESS;
}

ULONG ToMailMessage(const MapiMessage& in, FLAGS flags, os::TMailMessage& out) {
    if (in.nRecipCount > 0 && in.lpRecips == nullptr) return MAPI_E_INVALID_RECIPS;
    if (in.nFileCount > 0 && in.lpFiles == nullptr) return MAPI_E_ATTACHMENT_NOT_FOUND;
    out.Subject = Text(in.lpszSubject);
    out.Body = Text(in.lpszNoteText);
    for (ULONG i = 0; i < in.nRecipCount; ++i)
        if (const ULONG code = AddRecipient(in.lpRecips[i], flags, out); code != SUCCESS_SUCCESS)
            return code;
    for (ULONG i = 0; i < in.nFileCount; ++i) {
        const MapiFileDesc& file = in.lpFiles[i];
        const std::string path = Text(file.lpszPathName);
        if (path.empty()) return MAPI_E_ATTACHMENT_NOT_FOUND;
        const std::string name = Text(file.lpszFileName);
        out.Attachments.push_back({path, name.empty() ? ExtractFileName(path) : name});
    }
    return SUCCESS_SUCCESS;
}

// The records MapiResolveName handed out and nobody released yet, so that
// MapiFreeBuffer frees only what is ours.
std::mutex allocationsMutex;
std::set<void*> allocations;

// One block: the record, then its name, address and entry identifier.
MapiRecipDesc* NewResolvedRecord(const os::TResolvedName& resolved) {
    const std::string& name = resolved.Name;
    const std::string& address = resolved.Address;
    const std::size_t size = sizeof(MapiRecipDesc) + name.size() + 1 + 2 * (address.size() + 1);
    auto* block = static_cast<char*>(std::calloc(1, size));
    if (block == nullptr) return nullptr;
    auto* record = reinterpret_cast<MapiRecipDesc*>(block);
    char* text = block + sizeof(MapiRecipDesc);
    record->ulRecipClass = MAPI_TO;
    record->lpszName = text;
    std::memcpy(text, name.c_str(), name.size() + 1);
    text += name.size() + 1;
    record->lpszAddress = text;
    std::memcpy(text, address.c_str(), address.size() + 1);
    text += address.size() + 1;
    record->lpEntryID = text;
    record->ulEIDSize = static_cast<ULONG>(address.size());
    std::memcpy(text, address.c_str(), address.size() + 1);
    try {
        std::lock_guard lock(allocationsMutex);
        allocations.insert(block);
    } catch (const std::bad_alloc&) {
        std::free(block);
        return nullptr;
    }
    return record;
}

}  // namespace

ULONG MapiSendMail(LHANDLE session, ULONG_PTR uiParam, const MapiMessage* message, FLAGS flags,
                   ULONG reserved) {
    if (message == nullptr) return MAPI_E_INVALID_MESSAGE;
    try {
        os::TMailMessage mail;
        if (const ULONG code = ToMailMessage(*message, flags, mail); code != SUCCESS_SUCCESS)
            return code;
        return os::MailProvider()->Send(mail, flags);
    } catch (const std::bad_alloc&) {
        return MAPI_E_INSUFFICIENT_MEMORY;
    } catch (...) {
        return MAPI_E_FAILURE;
    }
}

ULONG MapiResolveName(LHANDLE session, ULONG_PTR uiParam, const char* name, FLAGS flags,
                      ULONG reserved, lpMapiRecipDesc* recip) {
    if (recip == nullptr) return MAPI_E_FAILURE;
    *recip = nullptr;
    try {
        os::TResolvedName resolved;
        const ULONG code = os::MailProvider()->ResolveName(Text(name), flags, resolved);
        if (code != SUCCESS_SUCCESS) return code;
        *recip = NewResolvedRecord(resolved);
        return *recip ? SUCCESS_SUCCESS : MAPI_E_INSUFFICIENT_MEMORY;
    } catch (const std::bad_alloc&) {
        return MAPI_E_INSUFFICIENT_MEMORY;
    } catch (...) {
        return MAPI_E_FAILURE;
    }
}

ULONG MapiFreeBuffer(LPVOID buffer) {
    if (buffer == nullptr) return SUCCESS_SUCCESS;
    {
        std::lock_guard lock(allocationsMutex);
        if (allocations.erase(buffer) == 0) return MAPI_E_FAILURE;
    }
    std::free(buffer);
    return SUCCESS_SUCCESS;
}

char* CopyToMapiBuffer(TMapiTextBuffer& buffer, std::string_view text) {
    std::size_t length = std::min(text.size(), buffer.size() - 1);
    // Back off to the start of a character: continuation bytes are 10xxxxxx.
    if (length < text.size())
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    std::memcpy(buffer.data(), text.data(), length);
    buffer[length] = '\0';
    return buffer.data();
}

}  // namespace zr
