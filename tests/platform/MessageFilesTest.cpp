#include "platform/MessageFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace zr::os;

namespace {

MessageTable Parse(const std::string& source) {
    MessageTable table;
    std::string error;
    EXPECT_TRUE(ParseMessageFile(source, table, &error)) << error;
    return table;
}

std::string Format(const std::string& pattern, std::vector<const char*> strings, DWORD flags = 0) {
    std::vector<DWORD_PTR> arguments;
    for (const char* s : strings) arguments.push_back(reinterpret_cast<DWORD_PTR>(s));
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(flags | FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                           FORMAT_MESSAGE_ARGUMENT_ARRAY,
                       pattern.c_str(), 0, 0, reinterpret_cast<char*>(&text), 0, arguments.data(),
                       static_cast<DWORD>(arguments.size()));
    std::string result = text ? std::string(text, length) : "<failed>";
    LocalFree(text);
    return result;
}

}  // namespace

TEST(MessageFiles, IdentifiersComposeSeverityFacilityAndCode) {
    const auto table = Parse(
        "; a comment line\r\n"
        "MessageIdTypedef=DWORD\r\n"
        "FacilityNames=(System=0x0FF Application=0xFFF\r\n"
        "               Disk=0x101:FACILITY_DISK)\r\n"
        "MessageId=0x100\r\nSeverity=Error\r\nFacility=Application\r\nSymbolicName=A\r\n"
        "Language=English\r\nfirst line\r\nsecond line\r\n.\r\n"
        "MessageId=\r\nSymbolicName=B\r\nLanguage=English\r\nnext\r\n.\r\n"
        "MessageId=+5\r\nSeverity=Warning\r\nFacility=Disk\r\nLanguage=English\r\nplus\r\n.\r\n"
        "SymbolicName=D\r\nLanguage=English\r\nno id\r\n.\r\n");
    ASSERT_EQ(table.messages.size(), 4u);
    EXPECT_EQ(table.messages.at(0xCFFF0100).at(LANG_ENGLISH_US), "first line\r\nsecond line\r\n");
    // Severity and facility carry over; codes count on per facility.
    EXPECT_EQ(table.messages.count(0xCFFF0101), 1u);
    EXPECT_EQ(table.messages.count(0x81010005), 1u);
    EXPECT_EQ(table.messages.count(0x81010006), 1u);
    // With nothing said, an identifier is its plain code.
    EXPECT_EQ(Parse("MessageId=7\nLanguage=English\nplain\n.\n").messages.count(7), 1u);
}

TEST(MessageFiles, MalformedSourcesAreRefusedWithTheirLine) {
    for (const char* bad :
         {"MessageId=1\nLanguage=English\nno end\n",
          "MessageId=1\nSeverity=Fatal\nLanguage=English\nx\n.\n",
          "MessageId=0x10000\nLanguage=English\nx\n.\n", "MessageId=1\nLanguage=Klingon\nx\n.\n",
          "MessageId=1\nLanguage=English\nx\n.\nMessageId=1\nLanguage=English\ny\n.\n",
          "just text\n", "SeverityNames=(Bad)\n"}) {
        MessageTable table;
        std::string error;
        EXPECT_FALSE(ParseMessageFile(bad, table, &error)) << bad;
        EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
    }
}

TEST(MessageFiles, InsertsAndEscapes) {
    EXPECT_EQ(Format("%1 and %2!s! of %1", {"this", "that"}), "this and that of this");
    EXPECT_EQ(Format("[%1!5s!|%1!-5s!|%1!.2s!]", {"abc"}), "[  abc|abc  |ab]");
    EXPECT_EQ(Format("%1!d! %1!04x!", {reinterpret_cast<const char*>(255)}), "255 00ff");
    EXPECT_EQ(Format("a%nb%rc%td%%e%.f%!g%bh", {}), "a\r\nb\rc\td%e.f!g h");
    EXPECT_EQ(Format("cut here%0 never", {}), "cut here");
    EXPECT_EQ(Format("%10 is the tenth", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}),
              "ten is the tenth");
    // Inserts beyond the strings given stay as written; nothing past the
    // array is read (AddressSanitizer would see it).
    EXPECT_EQ(Format("%1 %2 %3!s! %99", {"only"}), "only %2 %3!s! %99");
    EXPECT_EQ(Format("%1!*s! kept", {"x"}), "%1!*s! kept");
    EXPECT_EQ(Format("%1 %2", {"a", "b"}, FORMAT_MESSAGE_IGNORE_INSERTS), "%1 %2");
}

TEST(MessageFiles, LoadedAsDataAndFormattedByIdentifier) {
    const std::string path = ::testing::TempDir() + "zr-messages.mc";
    std::ofstream(path) << "MessageId=0x10\nSeverity=Informational\nLanguage=English\n"
                           "Copied %1 to %2.\n.\n";
    EXPECT_EQ(LoadLibraryExA(path.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);

    const char* strings[] = {"a.txt", "b.txt"};
    const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(strings[0]),
                                   reinterpret_cast<DWORD_PTR>(strings[1])};
    char text[64];
    const DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    EXPECT_EQ(FormatMessageA(flags, module, 0x40000010, 0, text, sizeof text, arguments, 2), 24u);
    EXPECT_STREQ(text, "Copied a.txt to b.txt.\r\n");
    EXPECT_EQ(FormatMessageA(flags, module, 0x40000010, 0, text, 24, arguments, 2), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageA(flags, module, 0x10, 0, text, sizeof text, arguments, 2), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(FormatMessageA(flags, module, 0x40000010, 0x407, text, sizeof text, arguments, 2),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_LANG_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(FormatMessageA(flags, module, 0x40000010, 0, text, sizeof text, arguments, 2), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_EQ(LoadLibraryExA((path + ".missing").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    std::ofstream(path) << "not a message file\n";
    EXPECT_EQ(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_FORMAT);
    std::filesystem::remove(path);
}

TEST(MessageFiles, AFifoOrADeviceIsRefusedWithoutReading) {
    const std::string fifo = ::testing::TempDir() + "zr-messages.fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Both would block or grow without end if they were read.
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        EXPECT_EQ(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << path;
    }
    ::unlink(fifo.c_str());
}

TEST(MessageFiles, EnvironmentStringsExpandKnownNamesOnly) {
    ::setenv("ZR_TEST_DIR", "/opt/messages", 1);
    ::unsetenv("ZR_TEST_UNSET");
    const char* source = "%ZR_TEST_DIR%/app.mc;%ZR_TEST_UNSET%/x;100%%;50%";
    const std::string expected = "/opt/messages/app.mc;%ZR_TEST_UNSET%/x;100%%;50%";
    char small[8] = "keep";
    EXPECT_EQ(ExpandEnvironmentStringsA(source, small, sizeof small), expected.size() + 1);
    EXPECT_STREQ(small, "keep");  // too small: nothing written
    char buffer[260];
    EXPECT_EQ(ExpandEnvironmentStringsA(source, buffer, sizeof buffer), expected.size() + 1);
    EXPECT_EQ(buffer, expected);
}

// Forms that message files written for the compiler use.
TEST(MessageFileForms, SeveralKeywordsShareALine) {
    const auto table = Parse(
        "FacilityNames=(Xen=0x10)\n"
        "MessageId=0x1 Facility=Xen Severity=Informational SymbolicName=MSG_A\n"
        "Language=English\nshared line\n.\n");
    EXPECT_EQ(table.messages.at(0x40100001).at(LANG_ENGLISH_US), "shared line\r\n");
}

TEST(MessageFileForms, BlanksMayStandAroundEqualsInNameLists) {
    const auto table = Parse(
        "LanguageNames = (Neutral = 0x0000:MSG00001)\n"
        "MessageId = 5\nLanguage = Neutral\nneutral\n.\n");
    EXPECT_EQ(table.messages.at(5).at(0), "neutral\r\n");
}

TEST(MessageFileForms, AListMayOpenOnTheLineAfterItsKeyword) {
    const auto table = Parse(
        "SeverityNames =\n"
        "(\n  Fine=0x0\n  Bad=0x3\n)\n"
        "MessageId=2\nSeverity=Bad\nLanguage=English\nbad\n.\n");
    EXPECT_EQ(table.messages.count(0xC0000002), 1u);
}

TEST(MessageFileForms, TheApplicationFacilityAddsNoBits) {
    const auto table = Parse(
        "MessageId=1\nSeverity=Informational\nFacility=Application\nLanguage=English\ni\n.\n"
        "MessageId=1\nSeverity=Error\nLanguage=English\ne\n.\n");
    EXPECT_EQ(table.messages.count(0x40000001), 1u);
    EXPECT_EQ(table.messages.count(0xC0000001), 1u);
}

// Little-endian with its byte-order mark, and without one as the compiler's
// Unicode switch reads it.
TEST(MessageFileForms, AUtf16SourceIsReadAndItsTextsGivenAsUtf8) {
    const std::u16string text = u"MessageId=3\r\nLanguage=English\r\nCaf\u00e9 \U0001F600\r\n.\r\n";
    for (const std::string& mark : {std::string("\xFF\xFE"), std::string()}) {
        std::string source = mark;
        for (char16_t unit : text) {
            source += static_cast<char>(unit & 0xFF);
            source += static_cast<char>(unit >> 8);
        }
        const auto table = Parse(source);
        EXPECT_EQ(table.messages.at(3).at(LANG_ENGLISH_US), "Caf\xC3\xA9 \xF0\x9F\x98\x80\r\n");
    }
}
