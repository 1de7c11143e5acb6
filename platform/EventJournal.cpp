#include "platform/EventJournal.h"

#include <set>

#include "platform/MessageFiles.h"
#include "platform/NameBasedId.h"

namespace zr::os::eventlog {

namespace {

constexpr TId128 MessageIdNamespace{0xbd, 0x12, 0x90, 0x10, 0xb7, 0x62, 0x45, 0xab,
                                    0xa6, 0xba, 0x69, 0x84, 0x9a, 0x33, 0x4d, 0x29};

std::vector<const char*> InsertionStrings(const RecordFields& fields) {
    std::vector<const char*> strings;
    strings.reserve(fields.strings.size());
    for (const std::string& s : fields.strings) strings.push_back(s.c_str());
    return strings;
}

// A catalog line that begins with "-- " would begin another entry, one that
// begins with "#" would be dropped as a comment: such lines are indented.
void AppendCatalogText(std::string& catalog, const std::string& text) {
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + begin, end - begin);
        if (line.substr(0, 2) == "--" || line.substr(0, 1) == "#") catalog += ' ';
        catalog.append(line).append(1, '\n');
        begin = end + 1;
    }
}

// A header line's value: control characters (a line break in a source name)
// would end the line, so they become spaces.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    constexpr std::size_t Longest = 120;
    if (line.size() > Longest) {
        std::size_t cut = Longest;  // not inside a UTF-8 sequence
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        line = line.substr(0, cut) + "...";
    }
    return line;
}

}  // namespace

std::string EventMessageId(std::string_view source, DWORD eventId) {
    std::string name(source);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    name += '/';
    name += std::to_string(eventId);
    return Id128Hex(NameBasedId(MessageIdNamespace, name));
}

TJournalPriority EventPriority(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return TJournalPriority::Error;
        case EVENTLOG_WARNING_TYPE:
        case EVENTLOG_AUDIT_FAILURE:
            return TJournalPriority::Warning;
        case EVENTLOG_AUDIT_SUCCESS:
            return TJournalPriority::Notice;
        default:
            return TJournalPriority::Info;
    }
}

TJournalEntry EventJournalEntry(const std::string& logName, const RecordFields& fields,
                                const std::string& text) {
    TJournalEntry entry;
    entry.Add("MESSAGE", JournalText(text))
        .Add("PRIORITY", EventPriority(fields.type))
        .Add("SYSLOG_IDENTIFIER", fields.source)
        .Add("MESSAGE_ID", EventMessageId(fields.source, fields.eventId))
        .Add("ZR_LOG", logName)
        .Add("ZR_EVENT_ID", std::uint64_t{fields.eventId})
        .Add("ZR_EVENT_TYPE", EventTypeName(fields.type))
        .Add("ZR_CATEGORY", std::uint64_t{fields.category})
        .Add("ZR_RECORD_NUMBER", std::uint64_t{fields.number});
    for (const std::string& insert : fields.strings) entry.Add("ZR_INSERT", insert);
    if (!fields.userSid.empty())
        entry.Add("ZR_USER_SID",
                  SidToString(fields.userSid.data(), static_cast<DWORD>(fields.userSid.size())));
    if (!fields.data.empty()) entry.Add("ZR_DATA", fields.data);
    return entry;
}

bool SendEventToJournal(const std::string& logName, const RecordFields& fields,
                        TSourceMessages& messages) {
    if (!JournalListening()) return false;
    const std::string text = messages.EntryText(fields.eventId, InsertionStrings(fields));
    return SendToJournal(EventJournalEntry(logName, fields, text));
}

bool EventCatalog(const std::string& logName, const std::string& source, std::string& catalog) {
    catalog.clear();
    std::set<DWORD> done;  // the first file that holds an identifier gives its text
    bool anyFile = false;
    for (const std::string& file : SplitMessageFiles(EventMessageFiles(logName, source))) {
        MessageTable table;
        if (LoadMessageTable(file.c_str(), table) != ERROR_SUCCESS) continue;
        anyFile = true;
        for (const auto& [id, texts] : table.messages) {
            const std::string* text = MessageText(table, id, 0);
            if (!text || !done.insert(id).second) continue;
            const std::string body = JournalText(*text);
            catalog += "-- " + EventMessageId(source, id) + "\n";
            catalog += "Subject: " + OneLine(source) + " event " + std::to_string(id) + ": " +
                       OneLine(FirstLine(body)) + "\n";
            catalog += "Defined-By: " + OneLine(source) + "\n\n";
            AppendCatalogText(catalog, body);
            catalog += "\n";
        }
    }
    return anyFile;
}

}  // namespace zr::os::eventlog
