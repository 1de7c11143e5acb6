#include "platform/EventMessageText.h"

#include "platform/MessageFiles.h"
#include "platform/Registry.h"

namespace zr::os {

namespace {

constexpr DWORD MessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY;
constexpr DWORD ExpandedNameSize = 260;

std::string ReadStringValue(HKEY key, const char* name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueEx(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return "";
    std::string data(size, '\0');
    LSTATUS status;
    // The value may grow between the two calls: ask again with its new size.
    while ((status = RegQueryValueEx(key, name, nullptr, &type,
                                     reinterpret_cast<BYTE*>(data.data()), &size)) ==
           ERROR_MORE_DATA)
        data.resize(size);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return "";
    data.resize(size);
    return data.substr(0, data.find('\0'));
}

std::string MessageFromModule(HMODULE module, DWORD eventId,
                              const std::vector<const char*>& strings) {
    std::vector<DWORD_PTR> arguments;
    arguments.reserve(strings.size());
    for (const char* s : strings) arguments.push_back(reinterpret_cast<DWORD_PTR>(s));
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(MessageFlags, module, eventId, 0, reinterpret_cast<char*>(&text), 0,
                       arguments.data(), static_cast<DWORD>(arguments.size()));
    std::string message;
    if (length > 0) {
        message.assign(text, length);
        // Only the line break that ends a message file's text is cut: a text
        // ended by %0 has none, and its last characters are the message's own.
        if (message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0)
            message.resize(message.size() - 2);
        LocalFree(text);
    }
    return message;
}

std::string JoinedStrings(const std::vector<const char*>& strings) {
    std::string text;
    for (std::size_t i = 0; i < strings.size(); ++i)
        text += (i ? " " : "") + std::string(strings[i]);
    return text;
}

}  // namespace

std::string EventMessageFiles(const std::string& logName, const std::string& source) {
    const std::string path =
        "SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + logName + "\\" + source;
    HKEY key = 0;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    std::string files = ReadStringValue(key, "EventMessageFile");
    RegCloseKey(key);
    return files;
}

std::vector<std::string> SplitMessageFiles(const std::string& files) {
    std::vector<std::string> names;
    for (std::size_t begin = 0; begin <= files.size();) {
        std::size_t end = files.find(';', begin);
        if (end == std::string::npos) end = files.size();
        const std::string name = files.substr(begin, end - begin);
        begin = end + 1;
        char expanded[ExpandedNameSize];
        const DWORD size = ExpandEnvironmentStringsA(name.c_str(), expanded, sizeof expanded);
        if (size == 0 || size > sizeof expanded) continue;  // did not fit: not loaded
        if (expanded[0]) names.emplace_back(expanded);
    }
    return names;
}

TSourceMessages::TSourceMessages(std::string logName, std::string source)
    : logName_(std::move(logName)), source_(std::move(source)) {}

TSourceMessages::~TSourceMessages() {
    Unload();
}

void TSourceMessages::Unload() {
    for (void* module : modules_) FreeLibrary(module);
    modules_.clear();
}

void TSourceMessages::Load() {
    const auto now = std::chrono::steady_clock::now();
    if (everLoaded_ && now - loaded_ < std::chrono::seconds(1)) return;
    Unload();
    for (const std::string& file : SplitMessageFiles(EventMessageFiles(logName_, source_)))
        if (HMODULE module = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE))
            modules_.push_back(module);
    loaded_ = now;
    everLoaded_ = true;
}

std::string TSourceMessages::Text(DWORD eventId, const std::vector<const char*>& strings) {
    Load();
    for (void* module : modules_) {
        std::string message = MessageFromModule(module, eventId, strings);
        if (!message.empty()) return message;
    }
    return "";
}

std::string TSourceMessages::EntryText(DWORD eventId, const std::vector<const char*>& strings) {
    std::string text = Text(eventId, strings);
    return text.empty() ? JoinedStrings(strings) : text;
}

std::string EventMessageText(const std::string& logName, const std::string& source, DWORD eventId,
                             const std::vector<const char*>& strings) {
    return TSourceMessages(logName, source).Text(eventId, strings);
}

std::string EventEntryText(const std::string& logName, const std::string& source, DWORD eventId,
                           const std::vector<const char*>& strings) {
    return TSourceMessages(logName, source).EntryText(eventId, strings);
}

std::string EventTypeName(WORD type) {
    switch (type) {
        case EVENTLOG_SUCCESS:
            return "success";
        case EVENTLOG_ERROR_TYPE:
            return "error";
        case EVENTLOG_WARNING_TYPE:
            return "warning";
        case EVENTLOG_INFORMATION_TYPE:
            return "information";
        case EVENTLOG_AUDIT_SUCCESS:
            return "audit success";
        case EVENTLOG_AUDIT_FAILURE:
            return "audit failure";
        default:
            return "type " + std::to_string(type);
    }
}

}  // namespace zr::os
