// Event log entries and log texts in a private journal (see
// tests/support/PrivateJournal.h), read back with journalctl.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "core/LogBase.h"
#include "exception/ExceptionLogSupport.h"
#include "platform/EventJournal.h"
#include "platform/EventLog.h"
#include "platform/Registry.h"
#include "tests/journal/JournalTestSupport.h"

namespace {

using namespace zr;
using namespace zr::os;
using namespace zr::testing;
using EventJournal = EventJournalFixture;

// The records of `log` in the store, as "source:id:insert,insert".
std::vector<std::string> StoredEntries(const std::string& log) {
    std::vector<std::string> entries;
    HANDLE handle = OpenEventLogA(nullptr, log.c_str());
    std::vector<std::uint8_t> buffer(0x10000);
    DWORD read = 0, needed = 0;
    while (ReadEventLogA(handle, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0,
                         buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed)) {
        for (DWORD at = 0; at < read;) {
            const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
            const char* strings = reinterpret_cast<const char*>(record) + record->StringOffset;
            std::string entry = std::string(reinterpret_cast<const char*>(record + 1)) + ":" +
                                std::to_string(record->EventID) + ":";
            for (WORD i = 0; i < record->NumStrings; ++i, strings += std::strlen(strings) + 1)
                entry += (i ? "," : "") + std::string(strings);
            entries.push_back(entry);
            at += record->Length;
        }
    }
    CloseEventLog(handle);
    return entries;
}

// A datagram socket of the test's own where the syslog socket belongs: it
// takes the lines a program sends to syslog while no journal reads them.
class SyslogCatcher {
  public:
    SyslogCatcher() {
        ::unlink(Path);
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, Path);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval wait{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~SyslogCatcher() { ::close(fd_); }
    std::string Next() {
        char line[4096];
        const ssize_t size = ::recv(fd_, line, sizeof line, 0);
        return size > 0 ? std::string(line, static_cast<std::size_t>(size)) : "";
    }

  private:
    static constexpr const char* Path = "/run/systemd/journal/dev-log";
    int fd_ = -1;
};

}  // namespace

TEST_F(EventJournal, EntriesOfEachTypeArriveWithEveryField) {
    RegisterMessageFile("Mail", "Mailer", messageFile_);
    const std::string data("\x00\x01\n\xff=raw", 7);
    const std::string sid = CurrentUserSid();
    const struct {
        WORD type;
        const char* priority;
        const char* name;
    } types[] = {{EVENTLOG_ERROR_TYPE, "3", "error"},
                 {EVENTLOG_WARNING_TYPE, "4", "warning"},
                 {EVENTLOG_INFORMATION_TYPE, "6", "information"},
                 {EVENTLOG_AUDIT_SUCCESS, "5", "audit success"},
                 {EVENTLOG_AUDIT_FAILURE, "4", "audit failure"}};
    WORD category = 7;
    for (const auto& t : types)
        ASSERT_TRUE(Report("Mail", "Mailer", t.type, category++, QueueFull,
                           {"outgoing", "90%\nof it"}, data, const_cast<char*>(sid.data())));
    // Without a message file the inserts are the text; without data no ZR_DATA.
    ASSERT_TRUE(Report("Mail", "Plain", EVENTLOG_INFORMATION_TYPE, 0, 7, {"raw", "strings"}));

    const auto entries = journal_->WaitForEntries({"SYSLOG_IDENTIFIER=Mailer"}, 5);
    ASSERT_EQ(entries.size(), 5u);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const TJournalRecord& e = entries[i];
        SCOPED_TRACE(types[i].name);
        EXPECT_EQ(FieldOf(e, "_TRANSPORT"), "journal");
        EXPECT_EQ(FieldOf(e, "MESSAGE"), "Queue outgoing is 90%\nof it full.\nSee the spool.");
        EXPECT_EQ(FieldOf(e, "PRIORITY"), types[i].priority);
        // The derivation the README documents: uuid5(namespace, "mailer/2147483680").
        EXPECT_EQ(e.at("MESSAGE_ID"), std::vector<std::string>{"5661df6cd138505a8077d361398cca18"});
        EXPECT_EQ(FieldOf(e, "ZR_LOG"), "Mail");
        EXPECT_EQ(FieldOf(e, "ZR_EVENT_ID"), "2147483680");
        EXPECT_EQ(FieldOf(e, "ZR_EVENT_TYPE"), types[i].name);
        EXPECT_EQ(FieldOf(e, "ZR_CATEGORY"), std::to_string(7 + i));
        EXPECT_EQ(FieldOf(e, "ZR_RECORD_NUMBER"), std::to_string(1 + i));
        EXPECT_EQ(e.at("ZR_INSERT"), (std::vector<std::string>{"outgoing", "90%\nof it"}));
        EXPECT_EQ(e.at("ZR_DATA"), std::vector<std::string>{data});
        EXPECT_EQ(FieldOf(e, "ZR_USER_SID"), "S-1-22-1-" + std::to_string(::getuid()));
    }
    const auto plain = journal_->WaitForEntries({"SYSLOG_IDENTIFIER=Plain"}, 1);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(FieldOf(plain[0], "MESSAGE"), "raw strings");
    EXPECT_EQ(plain[0].count("ZR_DATA"), 0u);
    EXPECT_EQ(FieldOf(plain[0], "ZR_RECORD_NUMBER"), "6");
    // Nothing went the syslog way as well.
    EXPECT_TRUE(ReadJournal(TPrivateJournal::Directory, {"_TRANSPORT=syslog"}).empty());
}

TEST_F(EventJournal, TheSameSourceAndIdGiveTheSameMessageIdInEveryProcess) {
    auto write = [](const std::string& source, const char* id) {
        return RunCommand(std::string(ZR_ZREVENT) + " write Mail " + source + " warning " + id +
                          " x");
    };
    ASSERT_EQ(write("Mailer", "0x80000020"), 0);
    ASSERT_EQ(write("MAILER", "0x80000020"), 0);  // source names know no case
    ASSERT_EQ(write("Mailer", "0x80000021"), 0);
    ASSERT_EQ(write("Mailer2", "0x80000020"), 0);
    const auto a = journal_->WaitForEntries({"SYSLOG_IDENTIFIER=Mailer"}, 2);
    const auto b = journal_->WaitForEntries({"SYSLOG_IDENTIFIER=MAILER"}, 1);
    const auto c = journal_->WaitForEntries({"SYSLOG_IDENTIFIER=Mailer2"}, 1);
    ASSERT_EQ(a.size(), 2u);
    ASSERT_EQ(b.size(), 1u);
    ASSERT_EQ(c.size(), 1u);
    const std::string here = eventlog::EventMessageId("Mailer", QueueFull);
    EXPECT_EQ(FieldOf(a[0], "MESSAGE_ID"), here);
    EXPECT_EQ(FieldOf(b[0], "MESSAGE_ID"), here);
    EXPECT_EQ(FieldOf(a[1], "MESSAGE_ID"), "61d7566ccb265e728502664f4af39d29");
    EXPECT_NE(FieldOf(c[0], "MESSAGE_ID"), here);
    EXPECT_NE(FieldOf(a[0], "_PID"), FieldOf(b[0], "_PID"));
}

TEST_F(EventJournal, WithoutAJournalTheEntryIsStoredAndGoesToSyslog) {
    // The socket is gone while the journal still reads its syslog socket.
    ASSERT_EQ(::unlink(JournalSocketPath), 0);
    EXPECT_TRUE(Report("Mail", "Gone", EVENTLOG_AUDIT_FAILURE, 0, 5, {"a", "b"}));
    const auto lines = journal_->WaitForEntries({"_TRANSPORT=syslog"}, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(FieldOf(lines[0], "MESSAGE"), "Gone (Mail log, event 5): a b");
    EXPECT_EQ(FieldOf(lines[0], "PRIORITY"), "4");
    EXPECT_TRUE(journal_->WaitForEntries({"SYSLOG_IDENTIFIER=Gone"}, 0).empty());

    // A socket that a journal left behind takes nothing: the line goes to syslog.
    journal_->Stop();
    {
        ::unlink(JournalSocketPath);
        const int left = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, JournalSocketPath);
        ASSERT_EQ(::bind(left, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(left);  // bound, then nobody reads it
    }
    SyslogCatcher syslog;
    EXPECT_TRUE(Report("Mail", "Stale", EVENTLOG_ERROR_TYPE, 0, 6, {"c"}));
    const std::string line = syslog.Next();
    EXPECT_NE(line.find("<11>"), std::string::npos) << line;  // user, error
    EXPECT_NE(line.find("Stale (Mail log, event 6): c"), std::string::npos) << line;

    EXPECT_EQ(StoredEntries("Mail"), (std::vector<std::string>{"Gone:5:a,b", "Stale:6:c"}));
}

// ---- log texts ------------------------------------------------------------------

namespace {

class LogJournal : public ExceptionLogFixture {
  protected:
    void SetUp() override {
        ExceptionLogFixture::SetUp();
        if (!PrivateNamespaceRefusal().empty()) GTEST_SKIP() << PrivateNamespaceRefusal();
        journal_ = std::make_unique<TPrivateJournal>();
        ASSERT_TRUE(journal_->Running()) << "no private journald";
    }
    std::vector<TJournalRecord> Entries(std::size_t count) const {
        return journal_->WaitForEntries(
            {"SYSLOG_IDENTIFIER=" + std::string(program_invocation_short_name),
             "_TRANSPORT=journal"},
            count);
    }

    std::unique_ptr<TPrivateJournal> journal_;
};

}  // namespace

TEST_F(LogJournal, TextsGoToTheFileAndTheJournalWhenAsked) {
    TKVLogBase log(nullptr);
    log.SetName("AuditLog");
    log.SetLogFile(Path("audit.log"));
    log.WriteAsString("not in the journal\r\n");
    log.SetJournal(true);
    log.WriteAsString("line one\r\nline two\r\n");
    EXPECT_EQ(Content(Path("audit.log")), "not in the journal\r\nline one\r\nline two\r\n");
    auto entries = Entries(1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(FieldOf(entries[0], "MESSAGE"), "line one\nline two");
    EXPECT_EQ(FieldOf(entries[0], "PRIORITY"), "6");
    EXPECT_EQ(FieldOf(entries[0], "ZR_COMPONENT"), "AuditLog: TKVLogBase");
    EXPECT_EQ(FieldOf(entries[0], "ZR_LOG_FILE"), Path("audit.log"));
    EXPECT_EQ(entries[0].count("CODE_FILE"), 0u);

    // A journal that takes nothing never costs the file its text.
    journal_->Stop();
    log.WriteAsString("after the journal\r\n");
    EXPECT_TRUE(Content(Path("audit.log")).ends_with("after the journal\r\n"));
}

TEST_F(LogJournal, AReportIsAnErrorWithTheCodeLocationOfTheRaise) {
    Log().SetErrorDialog(edNone);
    Log().SetFormats({lfExceptionClassName, lfMessage});
    Log().MapFile()->SetMapFileName(WritePayrollMap(Path("app.map")));
    Log().SetJournal(true);
    EConvertError e("No employees");
    e.SetRaiseAddress(InPayrollMap(0x12));
    RaiseThroughApplication(e);
    Log().WriteAsString("a note of its own\r\n");

    EXPECT_NE(Logged().find("Classname: EConvertError"), std::string::npos);
    const auto entries = Entries(2);
    ASSERT_EQ(entries.size(), 2u);
    const TJournalRecord& report = entries[0];
    EXPECT_NE(FieldOf(report, "MESSAGE").find("No employees"), std::string::npos)
        << FieldOf(report, "MESSAGE");
    EXPECT_EQ(FieldOf(report, "PRIORITY"), "3");
    EXPECT_EQ(FieldOf(report, "ZR_EXCEPTION_CLASS"), "EConvertError");
    EXPECT_EQ(FieldOf(report, "ZR_COMPONENT"), "TKVExceptionLog");
    // One of each: the raise's, none of the library's own.
    EXPECT_EQ(report.at("CODE_FILE"), std::vector<std::string>{"payroll.cpp"});
    EXPECT_EQ(report.at("CODE_LINE"), std::vector<std::string>{"42"});
    EXPECT_EQ(report.at("CODE_FUNC"), std::vector<std::string>{"Payroll::Run()"});
    // The log's other texts are notes, not errors.
    EXPECT_EQ(FieldOf(entries[1], "PRIORITY"), "6");
    EXPECT_EQ(entries[1].count("CODE_FILE"), 0u);
}
