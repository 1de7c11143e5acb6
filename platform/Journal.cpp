// Callers give the code location themselves (or none): libsystemd's own
// location (this file) would only mislead.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include "platform/Journal.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace zr::os {

namespace {

// One datagram socket connected to the journal, shared by the process. A
// connected socket resolves the path once, not at every entry, and its
// connect is the test whether a journal listens, so nothing is sent to a
// journal that is not there.
std::mutex senderMutex;
std::atomic<int> connected{-1};

bool Connect() {
    if (connected >= 0) return true;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, JournalSocketPath, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    // Room for a burst of entries while the journal is busy, as libsystemd's
    // own sender asks for.
    const int size = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    connected = fd;
    return true;
}

void Disconnect() {
    const int fd = connected.exchange(-1);
    if (fd >= 0) ::close(fd);
}

// The journal's native datagram: "NAME=value\n" per field, or, for a value
// that holds a line break, "NAME\n", its length as 64-bit little endian, the
// value and "\n".
std::string Datagram(const TJournalEntry& entry) {
    std::size_t size = 0;
    for (const std::string& field : entry.Fields()) size += field.size() + 9;
    std::string datagram;
    datagram.reserve(size);
    for (const std::string& field : entry.Fields()) {
        const std::size_t equals = field.find('=');
        if (field.find('\n', equals) == std::string::npos) {
            datagram.append(field).append(1, '\n');
            continue;
        }
        const std::uint64_t length = field.size() - equals - 1;
        datagram.append(field, 0, equals).append(1, '\n');
        for (int i = 0; i < 8; ++i) datagram += static_cast<char>(length >> (8 * i) & 0xFF);
        datagram.append(field, equals + 1).append(1, '\n');
    }
    return datagram;
}

// An entry too large for one datagram: libsystemd's sender hands the journal
// a sealed memory file instead.
bool SendLarge(const TJournalEntry& entry) {
    std::vector<iovec> parts;
    parts.reserve(entry.Fields().size());
    for (const std::string& field : entry.Fields())
        parts.push_back({const_cast<char*>(field.data()), field.size()});
    return ::sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0;
}

}  // namespace

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
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    if (text.find('\r') == std::string_view::npos) return std::string(text);
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
    if (connected >= 0) return true;
    struct stat status;
    return ::stat(JournalSocketPath, &status) == 0 && S_ISSOCK(status.st_mode);
}

bool SendToJournal(const TJournalEntry& entry) {
    if (entry.Fields().empty()) return false;
    const std::string datagram = Datagram(entry);
    std::lock_guard lock(senderMutex);
    // A second try on a fresh connection: a journal that was restarted
    // listens on a new socket under the same name.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!Connect()) return false;
        if (::send(connected, datagram.data(), datagram.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(datagram.size()))
            return true;
        if (errno == EMSGSIZE || errno == ENOBUFS) return SendLarge(entry);
        Disconnect();
    }
    return false;
}

}  // namespace zr::os
