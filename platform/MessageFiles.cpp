#include "platform/MessageFiles.h"

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/PrivateStore.h"

namespace zr::os {

namespace {

constexpr std::size_t MaxMessageFileSize = 16 << 20;

std::mutex modulesMutex;
std::map<HMODULE, std::shared_ptr<const MessageTable>> modules;

std::shared_ptr<const MessageTable> FindModule(HMODULE module) {
    std::lock_guard lock(modulesMutex);
    auto found = modules.find(module);
    return found == modules.end() ? nullptr : found->second;
}

DWORD Fail(DWORD code) {
    SetLastError(code);
    return 0;
}

// The text in the language asked for (0: neutral, then US English, then any).
const std::string* PickLanguage(const std::map<DWORD, std::string>& texts, DWORD language) {
    if (language != 0) {
        auto found = texts.find(language);
        return found == texts.end() ? nullptr : &found->second;
    }
    for (DWORD preferred : {DWORD{0}, LANG_ENGLISH_US})
        if (auto found = texts.find(preferred); found != texts.end()) return &found->second;
    return texts.empty() ? nullptr : &texts.begin()->second;
}

// A printf conversion of an insert's "!...!" form, checked so that snprintf
// gets nothing it could misread: flags, width, precision, a size letter that
// is dropped, and one conversion letter.
struct InsertFormat {
    std::string printfFormat = "%s";
    char conversion = 's';
};

bool ParseInsertFormat(std::string_view form, InsertFormat& out) {
    std::size_t at = 0;
    std::string flags;
    while (at < form.size() && std::strchr("-+ #0", form[at])) flags += form[at++];
    auto digits = [&](std::string& into) {
        while (at < form.size() && std::isdigit(static_cast<unsigned char>(form[at])))
            into += form[at++];
        return into.size() <= 4;
    };
    std::string width, precision;
    if (!digits(width)) return false;
    const bool hasPrecision = at < form.size() && form[at] == '.';
    if (hasPrecision && (++at, !digits(precision))) return false;
    while (at < form.size() && (form[at] == 'h' || form[at] == 'l')) ++at;
    if (at + 1 != form.size() || !std::strchr("sdiuxXoc", form[at])) return false;
    out.conversion = form[at];
    const char* size = std::strchr("sc", form[at]) ? "" : "ll";
    out.printfFormat =
        "%" + flags + width + (hasPrecision ? "." + precision : "") + size + form[at];
    return true;
}

void AppendInsert(std::string& out, const InsertFormat& format, DWORD_PTR argument) {
    char small[256];
    auto emit = [&](auto value) {
        const int needed = std::snprintf(small, sizeof small, format.printfFormat.c_str(), value);
        if (needed < 0) return;
        if (static_cast<std::size_t>(needed) < sizeof small) {
            out.append(small, static_cast<std::size_t>(needed));
            return;
        }
        std::string large(static_cast<std::size_t>(needed) + 1, '\0');
        std::snprintf(large.data(), large.size(), format.printfFormat.c_str(), value);
        out.append(large.data(), static_cast<std::size_t>(needed));
    };
    switch (format.conversion) {
        case 's': {
            const char* text = reinterpret_cast<const char*>(argument);
            emit(text ? text : "(null)");
            break;
        }
        case 'c':
            emit(static_cast<int>(static_cast<unsigned char>(argument)));
            break;
        case 'd':
        case 'i':
            emit(static_cast<long long>(static_cast<std::intptr_t>(argument)));
            break;
        default:
            emit(static_cast<unsigned long long>(argument));
            break;
    }
}

// Expands the escapes and inserts of a message text.
std::string ExpandInserts(std::string_view text, const DWORD_PTR* arguments, DWORD count,
                          bool ignoreInserts) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (c != '%' || at + 1 == text.size()) {
            out += c;
            ++at;
            continue;
        }
        const char next = text[at + 1];
        if (std::isdigit(static_cast<unsigned char>(next)) && next != '0') {
            std::size_t end = at + 2;
            unsigned number = static_cast<unsigned>(next - '0');
            if (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
                number = number * 10 + static_cast<unsigned>(text[end++] - '0');
            InsertFormat format;
            bool formatOk = true;
            if (end < text.size() && text[end] == '!') {
                const auto close = text.find('!', end + 1);
                if (close != std::string_view::npos) {
                    formatOk = ParseInsertFormat(text.substr(end + 1, close - end - 1), format);
                    end = close + 1;
                }
            }
            const bool given = arguments && number <= count;
            if (ignoreInserts || !given || !formatOk)
                out.append(text.substr(at, end - at));  // left as it stands, nothing read
            else
                AppendInsert(out, format, arguments[number - 1]);
            at = end;
            continue;
        }
        at += 2;
        switch (next) {
            case '0':
                return out;
            case 'n':
                out += "\r\n";
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
            case ' ':
                out += ' ';
                break;
            case '%':
            case '.':
            case '!':
                out += next;
                break;
            default:
                out += '%';  // not an escape: the text stays as written
                out += next;
                break;
        }
    }
    return out;
}

// The message text the flags name, or null with the error set.
bool FindText(DWORD flags, const void* source, DWORD messageId, DWORD language, std::string& text) {
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (!source) return Fail(ERROR_INVALID_PARAMETER), false;
        text = static_cast<const char*>(source);
        return true;
    }
    bool languageMissing = false;
    if ((flags & FORMAT_MESSAGE_FROM_HMODULE) && source) {
        auto table = FindModule(const_cast<void*>(source));
        if (!table) return Fail(ERROR_INVALID_HANDLE), false;
        if (auto found = table->messages.find(messageId); found != table->messages.end()) {
            if (const std::string* chosen = PickLanguage(found->second, language)) {
                text = *chosen;
                return true;
            }
            languageMissing = true;
        }
    }
    if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
        const std::string system = SystemErrorText(messageId);
        if (!system.empty()) {
            text = system + ".\r\n";
            return true;
        }
    }
    if (!(flags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM)))
        return Fail(ERROR_INVALID_PARAMETER), false;
    Fail(languageMissing ? ERROR_RESOURCE_LANG_NOT_FOUND : ERROR_MR_MID_NOT_FOUND);
    return false;
}

}  // namespace

const std::string* MessageText(const MessageTable& table, DWORD messageId, DWORD languageId) {
    auto found = table.messages.find(messageId);
    return found == table.messages.end() ? nullptr : PickLanguage(found->second, languageId);
}

DWORD LoadMessageTable(const char* fileName, MessageTable& table) {
    // Without blocking, so that a FIFO is refused rather than waited on; the
    // file's type and size are checked before anything is read (a device
    // such as /dev/zero never ends).
    const privstore::TFd opened(::open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!opened.Valid()) return errno == ENOENT ? ERROR_MOD_NOT_FOUND : ErrorFromErrno(errno);
    std::string source;
    const DWORD status = privstore::ReadStoreFile(opened.Get(), MaxMessageFileSize, source);
    if (status == ERROR_NOT_ENOUGH_MEMORY) return ERROR_BAD_FORMAT;
    if (status != ERROR_SUCCESS) return status;
    return ParseMessageFile(source, table) ? ERROR_SUCCESS : ERROR_BAD_FORMAT;
}

HMODULE LoadLibraryExA(const char* fileName, HANDLE file, DWORD flags) {
    const DWORD asData = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE |
                         LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE;
    if (!fileName || file || !(flags & asData)) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    auto table = std::make_shared<MessageTable>();
    if (const DWORD status = LoadMessageTable(fileName, *table); status != ERROR_SUCCESS)
        return Fail(status), nullptr;
    // Every loaded file gets an address of its own, which no other handle has.
    HMODULE module = new char;
    std::lock_guard lock(modulesMutex);
    modules.emplace(module, std::move(table));
    return module;
}

BOOL FreeLibrary(HMODULE module) {
    std::lock_guard lock(modulesMutex);
    auto found = modules.find(module);
    if (found == modules.end()) return Fail(ERROR_INVALID_HANDLE);
    modules.erase(found);
    delete static_cast<char*>(module);
    return TRUE;
}

DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     char* buffer, DWORD size, const DWORD_PTR* arguments, DWORD argumentCount) {
    if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
    std::string text;
    if (!FindText(flags, source, messageId, languageId, text)) return 0;
    const std::string result = ExpandInserts(text, arguments, arguments ? argumentCount : 0,
                                             flags & FORMAT_MESSAGE_IGNORE_INSERTS);
    const auto length = static_cast<DWORD>(result.size());
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char* block = static_cast<char*>(std::malloc(result.size() + 1));
        if (!block) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        std::memcpy(block, result.c_str(), result.size() + 1);
        *reinterpret_cast<char**>(buffer) = block;
        SetLastError(ERROR_SUCCESS);
        return length;
    }
    if (result.size() + 1 > size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, result.c_str(), result.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return length;
}

void* LocalFree(void* memory) {
    std::free(memory);
    return nullptr;
}

DWORD ExpandEnvironmentStringsA(const char* source, char* destination, DWORD size) {
    if (!source) return Fail(ERROR_INVALID_PARAMETER);
    const std::string_view text = source;
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const auto open = text.find('%', at);
        const auto close = open == std::string_view::npos ? open : text.find('%', open + 1);
        if (close == std::string_view::npos) {
            out.append(text.substr(at));
            break;
        }
        out.append(text.substr(at, open - at));
        const std::string name(text.substr(open + 1, close - open - 1));
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value) {
            out += value;
            at = close + 1;
        } else {
            out.append(text.substr(open, close - open));  // the closing % may open the next
            at = close;
        }
    }
    const auto needed = static_cast<DWORD>(out.size() + 1);
    if (destination && needed <= size) std::memcpy(destination, out.c_str(), needed);
    return needed;
}

}  // namespace zr::os
