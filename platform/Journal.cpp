// Callers give the code location themselves (or none): libsystemd's own
// location (this file) would only mislead.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include "platform/Journal.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>

namespace zr::os {

TJournalEntry& TJournalEntry::Add(std::string_view name, std::string_view value) {
    std::string field;
    field.reserve(name.size() + 1 + value.size());
    field.append(name).append(1, '=').append(value);
    fields_.push_back(std::move(field));
    return *this;
}

TJournalEntry& TJournalEntry::Add(std::string_view name, std::uint64_t value) {
    return Add(name, std::string_view(std::to_string(value)));
}

TJournalEntry& TJournalEntry::Add(std::string_view name, TJournalPriority priority) {
    return Add(name, static_cast<std::uint64_t>(priority));
}

TJournalEntry& TJournalEntry::Append(const TJournalEntry& more) {
    fields_.insert(fields_.end(), more.fields_.begin(), more.fields_.end());
    return *this;
}

std::string JournalText(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r')
            result += text[i];
        else if (i + 1 == text.size() || text[i + 1] != '\n')
            result += '\n';
    }
    while (!result.empty() && result.back() == '\n') result.pop_back();
    return result;
}

bool JournalListening() {
    struct stat status;
    return ::stat(JournalSocketPath, &status) == 0 && S_ISSOCK(status.st_mode);
}

bool SendToJournal(const TJournalEntry& entry) {
    if (entry.Fields().empty() || !JournalListening()) return false;
    std::vector<iovec> parts;
    parts.reserve(entry.Fields().size());
    for (const std::string& field : entry.Fields())
        parts.push_back({const_cast<char*>(field.data()), field.size()});
    return ::sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0;
}

}  // namespace zr::os
