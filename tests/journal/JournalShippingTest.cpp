// What a fleet does with the entries: the private journal shipped by
// systemd-journal-upload to a systemd-journal-remote on 127.0.0.1, and the
// catalog zrevent prints, installed in the private namespace only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/EventJournal.h"
#include "tests/journal/JournalTestSupport.h"

namespace {

using namespace zr::testing;
using JournalShipping = EventJournalFixture;

// A listening socket on 127.0.0.1 at a port the kernel chose.
int ListenOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// The fields an entry carries, without the ones a journal file gives each
// copy of its own (cursor, timestamps as stored).
TJournalRecord Carried(TJournalRecord record) {
    std::erase_if(record, [](const auto& field) { return field.first.starts_with("__"); });
    return record;
}

}  // namespace

TEST_F(JournalShipping, UploadedEntriesArriveWithEveryField) {
    RegisterMessageFile("Ship", "Shipper", messageFile_);
    const std::string data("\x00\xfe\n", 3);
    ASSERT_TRUE(
        Report("Ship", "Shipper", EVENTLOG_ERROR_TYPE, 3, QueueFull, {"out", "2\nlines"}, data));
    ASSERT_TRUE(Report("Ship", "Shipper", EVENTLOG_AUDIT_SUCCESS, 0, 9, {}));
    const auto local = journal_->WaitForEntries({"SYSLOG_IDENTIFIER=Shipper"}, 2);
    ASSERT_EQ(local.size(), 2u);

    int port = 0;
    const int listening = ListenOnLoopback(port);
    ASSERT_GE(listening, 0);
    const std::string received = dir_ + "/received";
    std::filesystem::create_directories(received);
    const pid_t remote = StartProgram(
        {"/lib/systemd/systemd-journal-remote", "--listen-http=-3", "--output=" + received + "/"},
        dir_ + "/remote.out", listening);
    ::close(listening);
    const pid_t upload =
        StartProgram({"/lib/systemd/systemd-journal-upload", "-D", TPrivateJournal::Directory,
                      "--save-state=" + dir_ + "/upload.state", "-u",
                      "http://127.0.0.1:" + std::to_string(port), "--follow=no"},
                     dir_ + "/upload.out");
    EXPECT_EQ(WaitForProgram(upload, 10), 0);
    StopProgram(remote);

    const auto shipped = ReadJournal(received, {"SYSLOG_IDENTIFIER=Shipper"});
    ASSERT_EQ(shipped.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(Carried(shipped[i]), Carried(local[i]));
    EXPECT_EQ(FieldOf(shipped[0], "ZR_DATA"), data);
    EXPECT_EQ(shipped[0].at("ZR_INSERT"), (std::vector<std::string>{"out", "2\nlines"}));
}

TEST_F(JournalShipping, TheCatalogExplainsEachEntry) {
    if (!PrivateCatalog()) GTEST_SKIP() << "no private catalog folders in this namespace";
    // Lines a catalog would read as another entry or a comment.
    std::ofstream(messageFile_, std::ios::app)
        << "MessageId=0x21\nSeverity=Warning\nFacility=Application\nLanguage=English\n"
           "Spool %1 moved.\n-- 0123456789abcdef0123456789abcdef\n# kept\n.\n";
    RegisterMessageFile("Ship", "Shipper", messageFile_);
    const std::string catalogFile = "/usr/lib/systemd/catalog/shipper.catalog";
    ASSERT_EQ(RunCommand(std::string(ZR_ZREVENT) + " catalog Shipper > " + catalogFile), 0);
    ASSERT_EQ(RunCommand("journalctl --update-catalog 2>&1"), 0);
    ASSERT_TRUE(Report("Ship", "Shipper", EVENTLOG_WARNING_TYPE, 0, 0x80000021, {"north"}));
    ASSERT_EQ(journal_->WaitForEntries({"SYSLOG_IDENTIFIER=Shipper"}, 1).size(), 1u);

    // journalctl -x shows the catalog's text beside the entry.
    std::string shown;
    ASSERT_EQ(RunCommand("journalctl -D /run/log/journal -x --no-pager SYSLOG_IDENTIFIER=Shipper",
                         &shown),
              0);
    EXPECT_NE(shown.find("Subject: Shipper event 2147483681: Spool %1 moved."), std::string::npos)
        << shown;
    // The whole text, in the catalog's database, under the id the entries carry.
    std::string stored;
    RunCommand(
        "journalctl --dump-catalog " + zr::os::eventlog::EventMessageId("shipper", 0x80000021),
        &stored);
    for (const char* line : {"Defined-By: Shipper\n", "\nSpool %1 moved.\n",
                             "\n -- 0123456789abcdef0123456789abcdef\n", "\n # kept\n"})
        EXPECT_NE(stored.find(line), std::string::npos) << line << " in\n" << stored;
}
