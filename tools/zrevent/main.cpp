// zrevent: writes an entry to the event log store, lists a log's records with
// their message texts, and registers the message files of an event source.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "framework/DateUtils.h"
#include "framework/Exceptions.h"
#include "platform/EventJournal.h"
#include "platform/EventLog.h"
#include "platform/EventMessageText.h"
#include "platform/Registry.h"
#include "tools/common/EscapedText.h"
#include "tools/common/Version.h"
#include "watchers/LogNT.h"

namespace {

using namespace zr::os;

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "usage: zrevent write LOG SOURCE (error|warning|information) ID [STRING...]\n"
    "       zrevent list LOG\n"
    "       zrevent register SOURCE MESSAGEFILE[;MESSAGEFILE...] [--log LOG]\n"
    "       zrevent catalog SOURCE [--log LOG]\n"
    "       zrevent --help | --version\n"
    "\n"
    "write appends one entry with the STRINGs as its insertion strings; ID is the\n"
    "full event identifier, decimal or 0x hexadecimal. list shows each record's\n"
    "number, time (UTC), type, source, id and message text, oldest first. register\n"
    "names the message files whose texts belong to SOURCE's entries in LOG\n"
    "(Application when not given); a file name may hold %VARIABLE%s.\n"
    "catalog prints a journal catalog of SOURCE's messages (LOG: the log whose\n"
    "registration lists SOURCE, else Application), one entry per message keyed by\n"
    "the MESSAGE_ID its journal entries carry. Run it as the user who registered\n"
    "SOURCE (the registry store is per user) and install it as root:\n"
    "  zrevent catalog SOURCE | sudo tee /usr/lib/systemd/catalog/SOURCE.catalog\n"
    "  sudo journalctl --update-catalog\n"
    "then journalctl -x shows the text beside each entry.\n"
    "\n"
    "Each entry written also goes to the system journal with its fields (MESSAGE,\n"
    "PRIORITY, SYSLOG_IDENTIFIER=SOURCE, MESSAGE_ID, ZR_LOG, ZR_EVENT_ID, ZR_EVENT_TYPE,\n"
    "ZR_CATEGORY, ZR_RECORD_NUMBER, ZR_INSERT...) when a journal is listening, else\n"
    "to syslog as one line.\n"
    "\n"
    "The event log store is $ZORIRIVE_EVENTLOG, else $XDG_STATE_HOME/zoririve/eventlog\n"
    "($XDG_STATE_HOME is ~/.local/state when unset; without HOME the home folder comes\n"
    "from the password database); it is private to its user (folders 0700, files 0600);\n"
    "the registry store is $ZORIRIVE_REGISTRY, else $XDG_STATE_HOME/zoririve/registry.\n"
    "Exit status: 0 on success, 1 when the store refused, 2 for a wrong command line.\n";

struct TUsageError {
    std::string Text;
};
struct TFailure {
    std::string Text;
};

std::string ErrorText(DWORD code) {
    const std::string text = SystemErrorText(code);
    return text.empty() ? "error " + std::to_string(code) : text;
}

WORD ParseType(const std::string& name) {
    if (name == "error") return EVENTLOG_ERROR_TYPE;
    if (name == "warning") return EVENTLOG_WARNING_TYPE;
    if (name == "information") return EVENTLOG_INFORMATION_TYPE;
    throw TUsageError{"unknown type '" + name + "' (error, warning, information)"};
}

DWORD ParseId(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long id = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end || errno || id > 0xFFFFFFFFull)
        throw TUsageError{"'" + text + "' is no event id (0 to 4294967295, or 0x hexadecimal)"};
    return static_cast<DWORD>(id);
}

using zr::tools::Escaped;

constexpr const char* Damaged = "  (damaged record, skipped)\n";

std::string IdText(DWORD id) {
    char text[16];
    std::snprintf(text, sizeof text, id <= 0xFFFF ? "%u" : "0x%08X", id);
    return text;
}

void Write(const std::vector<std::string>& args) {
    if (args.size() < 4) throw TUsageError{"write needs LOG SOURCE TYPE ID"};
    const WORD type = ParseType(args[2]);
    const DWORD id = ParseId(args[3]);
    std::vector<const char*> strings;
    for (std::size_t i = 4; i < args.size(); ++i) strings.push_back(args[i].c_str());
    if (strings.size() > 0xFFFF) throw TUsageError{"too many STRINGs"};
    HANDLE source = RegisterEventSourceInLogA(nullptr, args[0].c_str(), args[1].c_str());
    if (!source)
        throw TFailure{"cannot write to log " + args[0] + ": " + ErrorText(GetLastError())};
    const BOOL written =
        ReportEventA(source, type, 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
                     strings.data(), nullptr);
    const DWORD error = GetLastError();
    DeregisterEventSource(source);
    if (!written) throw TFailure{"cannot write to log " + args[0] + ": " + ErrorText(error)};
}

void List(const std::vector<std::string>& args) {
    if (args.size() != 1) throw TUsageError{"list takes one LOG"};
    zr::TKVNTEventLog log(nullptr);
    log.SetLog(args[0]);
    try {
        log.Open();
        // Records are listed by their numbers: a damaged one keeps its
        // number (and is marked), also before the oldest whole record.
        DWORD oldest = 0;
        const std::uint32_t count = log.GetEventCount();
        if (count > 0 && !GetOldestEventLogRecord(log.EventLogHandle(), &oldest))
            throw TFailure{"cannot read log " + args[0] + ": " + ErrorText(GetLastError())};
        for (DWORD number = 1; count > 0 && number < oldest; ++number)
            std::cout << number << Damaged;
        for (std::uint32_t i = 0; i < count; ++i) {
            const DWORD number = oldest + i;
            try {
                log.ReadEvent(i);
            } catch (const zr::EOSError& e) {
                if (e.ErrorCode() != ERROR_EVENTLOG_FILE_CORRUPT) throw;
                std::cout << number << Damaged;
                continue;
            }
            std::vector<std::string> inserts;
            for (std::uint16_t s = 0; s < log.GetEventStringCount(); ++s)
                inserts.push_back(log.GetEventString(s));
            std::vector<const char*> strings;
            for (const std::string& insert : inserts) strings.push_back(insert.c_str());
            const std::string text =
                EventEntryText(args[0], log.GetEventSource(), log.GetEventID(), strings);
            std::cout << number << "  "
                      << zr::FormatDateTime("yyyy-mm-dd hh:nn:ss", log.GetEventTime()) << "  "
                      << EventTypeName(log.GetEventType()) << "  " << Escaped(log.GetEventSource())
                      << "  " << IdText(log.GetEventID()) << "  " << Escaped(text) << "\n";
        }
    } catch (const zr::EOSError& e) {
        throw TFailure{"cannot read log " + args[0] + ": " + e.Message()};
    }
}

// The arguments other than "--log LOG"; `logName` receives LOG when given.
std::vector<std::string> TakeLogOption(const std::vector<std::string>& args, std::string& logName) {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--log") {
            if (++i == args.size()) throw TUsageError{"--log needs a LOG"};
            logName = args[i];
        } else {
            rest.push_back(args[i]);
        }
    }
    return rest;
}

void Register(const std::vector<std::string>& args) {
    std::string logName = "Application";
    const std::vector<std::string> rest = TakeLogOption(args, logName);
    if (rest.size() != 2) throw TUsageError{"register takes SOURCE and MESSAGEFILE"};
    const std::string path =
        "SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + logName + "\\" + rest[0];
    HKEY key = 0;
    LSTATUS status = RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        const std::string& files = rest[1];
        // Expandable, as the host stores it: the names may hold %VARIABLE%s.
        status = RegSetValueEx(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                               reinterpret_cast<const BYTE*>(files.c_str()),
                               static_cast<DWORD>(files.size() + 1));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        throw TFailure{"cannot register " + rest[0] + ": " + ErrorText(status)};
}

void Catalog(const std::vector<std::string>& args) {
    std::string logName;
    const std::vector<std::string> rest = TakeLogOption(args, logName);
    if (rest.size() != 1) throw TUsageError{"catalog takes one SOURCE"};
    const std::string& source = rest[0];
    if (logName.empty()) logName = LogOfEventSource(source);
    std::string catalog;
    if (!eventlog::EventCatalog(logName, source, catalog))
        throw TFailure{"source " + source + " of log " + logName +
                       " names no message file that can be read"};
    std::cout << catalog;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (int status; zr::tools::AnswerHelpOrVersion(args, "zrevent", Usage, status)) return status;
    try {
        if (args.empty()) throw TUsageError{"no command given"};
        const std::string command = args[0];
        args.erase(args.begin());
        if (command == "write")
            Write(args);
        else if (command == "list")
            List(args);
        else if (command == "register")
            Register(args);
        else if (command == "catalog")
            Catalog(args);
        else
            throw TUsageError{"unknown command '" + command + "'"};
        return 0;
    } catch (const TUsageError& e) {
        std::cerr << "zrevent: " << e.Text << "\n" << Usage;
        return ExitUsage;
    } catch (const TFailure& e) {
        std::cerr << "zrevent: " << e.Text << "\n";
        return ExitFailed;
    }
}
