#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/EventJournal.h"
#include "tests/platform/EventLogTestSupport.h"

namespace {

using ZreventTool = zr::testing::ScratchEventLog;

struct TResult {
    int Status = -1;
    std::string Output;  // standard output and error
};

TResult Zrevent(const std::vector<std::string>& args) {
    std::string command = ZR_ZREVENT;
    for (const auto& arg : args) {
        command += " '";
        for (char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    command += " 2>&1";
    TResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    while (std::size_t n = ::fread(buffer, 1, sizeof buffer, pipe)) result.Output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

TEST_F(ZreventTool, WritesRegistersAndListsWithMessageTexts) {
    const auto help = Zrevent({"--help"});
    EXPECT_EQ(help.Status, 0);
    for (const char* word :
         {"write LOG SOURCE", "list LOG", "register SOURCE", "--log LOG", "catalog SOURCE"})
        EXPECT_NE(help.Output.find(word), std::string::npos) << word;

    const std::string file = dir_ + "/tool.mc";
    std::ofstream(file) << "MessageId=0x20\nSeverity=Warning\nFacility=Application\n"
                           "Language=English\nQueue %1 is %2 full.\n.\n";
    EXPECT_EQ(Zrevent({"register", "Mailer", "/nowhere.mc;" + file, "--log", "Mail"}).Status, 0);
    EXPECT_EQ(
        Zrevent({"write", "Mail", "Mailer", "warning", "0x80000020", "outgoing", "90%"}).Status, 0);
    EXPECT_EQ(Zrevent({"write", "Mail", "Unregistered", "error", "7", "raw", "strings"}).Status, 0);

    const auto list = Zrevent({"list", "Mail"});
    EXPECT_EQ(list.Status, 0);
    const auto first = list.Output.find("1  ");
    const auto second = list.Output.find("\n2  ");
    ASSERT_EQ(first, 0u) << list.Output;
    ASSERT_NE(second, std::string::npos) << list.Output;
    const std::string line1 = list.Output.substr(0, second);
    EXPECT_NE(line1.find("  warning  Mailer  0x80000020  Queue outgoing is 90% full."),
              std::string::npos)
        << line1;
    EXPECT_NE(list.Output.find("  error  Unregistered  7  raw strings\n", second),
              std::string::npos)
        << list.Output;

    // The catalog finds the log that registered the source.
    const auto catalog = Zrevent({"catalog", "Mailer"});
    EXPECT_EQ(catalog.Status, 0);
    EXPECT_EQ(catalog.Output, "-- " + zr::os::eventlog::EventMessageId("Mailer", 0x80000020) +
                                  "\nSubject: Mailer event 2147483680: Queue %1 is %2 full.\n"
                                  "Defined-By: Mailer\n\nQueue %1 is %2 full.\n\n");

    // A bad command line exits with 2 and the usage.
    for (const std::vector<std::string>& bad : {std::vector<std::string>{},
                                                {"write", "Mail", "Mailer", "fatal", "1"},
                                                {"write", "Mail", "Mailer", "error", "-1"},
                                                {"list"},
                                                {"register", "Only"},
                                                {"catalog"},
                                                {"catalog", "Mailer", "--log"},
                                                {"erase", "Mail"}}) {
        const auto result = Zrevent(bad);
        EXPECT_EQ(result.Status, 2) << result.Output;
        EXPECT_NE(result.Output.find("usage:"), std::string::npos);
    }
    // A log the store cannot hold exits with 1, as a catalog of a source
    // without a message file that can be read.
    EXPECT_EQ(Zrevent({"write", "..", "Mailer", "error", "1"}).Status, 1);
    const auto none = Zrevent({"catalog", "Unregistered"});
    EXPECT_EQ(none.Status, 1);
    EXPECT_EQ(none.Output,
              "zrevent: source Unregistered of log Application names no message file "
              "that can be read\n");
}

TEST_F(ZreventTool, ListShowsControlCharactersEscaped) {
    ASSERT_EQ(Zrevent({"write", "Application", "Src\x1b[2J", "error", "1", "a\nforged\x7f"}).Status,
              0);
    const auto list = Zrevent({"list", "Application"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_NE(list.Output.find("  Src\\x1b[2J  1  a\\x0aforged\\x7f\n"), std::string::npos)
        << list.Output;
    EXPECT_EQ(list.Output.find('\x1b'), std::string::npos);
}

TEST_F(ZreventTool, ListGoesOnPastADamagedRecord) {
    for (const char* text : {"one", "two", "three"})
        ASSERT_EQ(Zrevent({"write", "Application", "Src", "error", "1", text}).Status, 0);
    {
        std::fstream file(dir_ + "/events/Application.evtlog",
                          std::ios::in | std::ios::out | std::ios::binary);
        std::uint32_t first = 0;
        file.read(reinterpret_cast<char*>(&first), 4);
        file.seekp(first);  // the length that begins record 2
        file.put('\x7f');
    }
    const auto list = Zrevent({"list", "Application"});
    EXPECT_EQ(list.Status, 0) << list.Output;
    EXPECT_NE(list.Output.find("  one\n2  (damaged record, skipped)\n3  "), std::string::npos)
        << list.Output;
    EXPECT_NE(list.Output.find("  three\n"), std::string::npos) << list.Output;
}

TEST_F(ZreventTool, ListNamesRecordsByTheirNumbersAndEscapesC1Controls) {
    // Record 1 damaged: record 2 must be listed as 2, and 1 marked.
    for (const char* text : {"one", "two"})
        ASSERT_EQ(Zrevent({"write", "Application", "Src", "error", "1", text}).Status, 0);
    {
        std::fstream file(dir_ + "/events/Application.evtlog",
                          std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4);  // the signature of record 1
        file.put('\x00');
    }
    // U+009B (CSI) as UTF-8 and as a raw byte, both obeyed by terminals.
    ASSERT_EQ(Zrevent({"write", "Application", "Src", "error", "1",
                       "a\xc2\x9b"
                       "2Jb\x9b"
                       "2Jc\xc3\xa9"})
                  .Status,
              0);
    const auto list = Zrevent({"list", "Application"});
    EXPECT_EQ(list.Status, 0) << list.Output;
    EXPECT_EQ(list.Output.rfind("1  (damaged record, skipped)\n2  ", 0), 0u) << list.Output;
    EXPECT_NE(list.Output.find("  two\n3  "), std::string::npos) << list.Output;
    EXPECT_NE(list.Output.find("  a\\xc2\\x9b2Jb\\x9b2Jc\xc3\xa9\n"), std::string::npos)
        << list.Output;
    EXPECT_EQ(list.Output.find('\x9b'), std::string::npos);
}
