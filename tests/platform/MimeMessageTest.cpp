// MIME messages: read back by an independent reader, every byte of the body
// and of each attachment comes back; header values can never add headers;
// non-ASCII text and file names are encoded; attachments are read with the
// right Simple MAPI codes for what is missing.
#include "platform/MimeMessage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/core/LogTestSupport.h"
#include "tests/platform/MailTestSupport.h"

namespace zr::os {
namespace {

using namespace mapi_codes;
using zr::testing::ReadMime;

std::string AllBytes() {
    std::string bytes;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    return bytes + "x";  // a length that is no multiple of 3
}

// Every line of the header block, folded lines included, within 78 characters.
void ExpectShortHeaderLines(const std::string& headers) {
    std::size_t start = 0;
    while (start < headers.size()) {
        const std::size_t end = headers.find("\r\n", start);
        EXPECT_LE(end - start, 78u) << headers.substr(start, end - start);
        start = end + 2;
    }
}

TEST(MimeMessage, BodyAndAttachmentsReadBackByteForByte) {
    TMailMessage message;
    message.Subject = "Crash report";
    message.Body = "first line\r\nsecond = line with trailing blanks  \r\nFrom here on\r\n" +
                   std::string(200, 'w') +
                   "\r\nGr\xC3\xBC\xC3\x9F"
                   "e\r\n.\r\nend";
    message.Recipients = {{MAPI_TO, "anna@example.org", "anna@example.org"}};
    const std::vector<TMimeAttachment> files{{"shot.bmp", "image/bmp", AllBytes()},
                                             {"empty.log", "text/plain", ""},
                                             {"one.bin", "application/octet-stream", "Z"}};
    const std::string text = ComposeMimeMessage(message, files);

    const auto read = ReadMime(text);
    ASSERT_EQ(read.parts.size(), 4u);
    EXPECT_EQ(read.parts[0].Header("content-type"), "text/plain; charset=UTF-8");
    EXPECT_EQ(read.parts[0].Decoded(), message.Body);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& part = read.parts[i + 1];
        EXPECT_EQ(part.Decoded(), files[i].Bytes) << files[i].FileName;
        EXPECT_EQ(part.Parameter("content-disposition", "filename"), files[i].FileName);
        EXPECT_EQ(part.Header("content-type").rfind(files[i].ContentType + ";", 0), 0u);
    }
    // Lines stay short enough for any transport, and the body's "From " line
    // is not left to be mangled by mailbox files.
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - start, 78u);
        start = end + 2;
    }
    EXPECT_EQ(text.find("\r\nFrom here"), std::string::npos);
}

TEST(MimeMessage, HeaderValuesCannotAddHeaders) {
    TMailMessage message;
    message.Subject = "Hello\r\nBcc: spy@example.org\nX-Injected: 1";
    message.Recipients = {
        {MAPI_TO, "Eve\r\nX-Injected: 2", "eve@example.org\r\nX-Injected: 3"},
        {MAPI_CC, "Doe, \"John\"", "john@example.org"},
        {MAPI_BCC, "", "hidden@example.org"},
    };
    const std::string text = ComposeMimeMessage(message, {});
    const auto read = ReadMime(text);
    EXPECT_EQ(read.head.headers.count("x-injected"), 0u);
    EXPECT_EQ(read.head.headers.count("bcc"), 1u);
    EXPECT_EQ(read.head.Header("bcc"), "hidden@example.org");
    EXPECT_EQ(read.head.Header("subject"), "Hello Bcc: spy@example.org X-Injected: 1");
    // What is left of an address is one address, without blanks or breaks.
    EXPECT_EQ(read.head.Header("to"), "\"Eve X-Injected: 2\" <eve@example.orgX-Injected:3>");
    EXPECT_EQ(read.head.Header("cc"), "\"Doe, \\\"John\\\"\" <john@example.org>");

    TMimeOptions sendmail;
    sendmail.NewLine = "\n";
    sendmail.IncludeBcc = false;
    const auto local = ReadMime(ComposeMimeMessage(message, {}, sendmail), "\n");
    EXPECT_EQ(local.head.headers.count("bcc"), 0u);
    EXPECT_EQ(local.head.headers.count("x-injected"), 0u);
}

TEST(MimeMessage, NonAsciiTextIsEncodedAndLongValuesAreFolded) {
    TMailMessage message;
    // 40 two-byte characters: more than one encoded word, never split inside one.
    std::string umlauts;
    for (int i = 0; i < 40; ++i) umlauts += "\xC3\xA4";
    message.Subject = "Fehler: " + umlauts;
    message.Recipients = {{MAPI_TO, "J\xC3\xBCrgen", "juergen@example.org"}};
    std::string many;
    for (int i = 0; i < 12; ++i) {
        message.Recipients.push_back({MAPI_CC, "", "person" + std::to_string(i) + "@example.org"});
        many +=
            (many.empty() ? "" : ", ") + std::string("person") + std::to_string(i) + "@example.org";
    }
    const std::string text =
        ComposeMimeMessage(message, {{"Bild \xC3\xBC.bmp", "image/bmp", "BM"}});
    const auto read = ReadMime(text);
    ExpectShortHeaderLines(read.head.rawHeaders);
    EXPECT_EQ(zr::testing::DecodeEncodedWords(read.head.Header("subject")), message.Subject);
    EXPECT_EQ(read.head.Header("subject").find('\xC3'), std::string::npos);
    EXPECT_EQ(zr::testing::DecodeEncodedWords(read.head.Header("to")),
              "J\xC3\xBCrgen <juergen@example.org>");
    EXPECT_EQ(read.head.Header("cc"), many);
    ASSERT_EQ(read.parts.size(), 2u);
    EXPECT_NE(
        read.parts[1].Header("content-disposition").find("filename*=UTF-8''Bild%20%C3%BC.bmp"),
        std::string::npos);

    // Plain text that looks like an encoded word is encoded itself, so a
    // reader shows it as it was given.
    message.Subject = "=?UTF-8?B?SGk=?=";
    const auto literal = ReadMime(ComposeMimeMessage(message, {}));
    EXPECT_EQ(zr::testing::DecodeEncodedWords(literal.head.Header("subject")), message.Subject);
}

// A line of nothing but blanks inside the headers is taken by some mail
// readers for their end, and everything after it for the body.
TEST(MimeMessage, LongRunsOfBlanksAreNeverFoldedIntoLinesOfBlanks) {
    TMailMessage message;
    message.Subject = "Error" + std::string(200, ' ') + "in" + std::string(90, ' ') + "module" +
                      std::string(120, ' ');
    message.Recipients = {{MAPI_TO, "", "a@example.org"}};
    const std::string text = ComposeMimeMessage(message, {});
    const auto read = ReadMime(text);
    const std::string& headers = read.head.rawHeaders;
    for (std::size_t start = 0; start < headers.size();) {
        const std::size_t end = headers.find("\r\n", start);
        const std::string line = headers.substr(start, end - start);
        EXPECT_NE(line.find_first_not_of(' '), std::string::npos) << "a line of blanks";
        start = end + 2;
    }
    EXPECT_EQ(read.head.Header("subject"), message.Subject);
    EXPECT_EQ(read.head.Header("to"), "a@example.org");  // still a header, not body
}

TEST(MimeMessage, DateAndMessageIdHaveTheirMailForms) {
    TMimeOptions options;
    options.Date = 1700000000;  // 2023-11-14 22:13:20 UTC
    options.MessageId = "fixed@example.org";
    options.Boundary = "=_fixed";
    options.Draft = true;
    const auto read = ReadMime(ComposeMimeMessage(TMailMessage{}, {}, options));
    EXPECT_EQ(read.head.Header("message-id"), "<fixed@example.org>");
    EXPECT_EQ(read.head.Header("x-unsent"), "1");
    EXPECT_EQ(read.head.Header("to"), "");  // no recipients: no address header at all
    const std::string date = read.head.Header("date");
    EXPECT_TRUE(date.rfind("Tue, 14 Nov 2023 ", 0) == 0 || date.rfind("Wed, 15 Nov 2023 ", 0) == 0)
        << date;
    EXPECT_EQ(date.size(), std::string("Tue, 14 Nov 2023 22:13:20 +0000").size());
    // Fresh identifiers differ between messages.
    EXPECT_NE(ReadMime(ComposeMimeMessage({}, {})).head.Header("message-id"),
              ReadMime(ComposeMimeMessage({}, {})).head.Header("message-id"));
}

class MimeAttachments : public zr::testing::ScratchFolder {};

TEST_F(MimeAttachments, MissingAndUnreadableFilesGiveTheirCodes) {
    { std::ofstream(Path("report.log")) << "log text"; }
    TMailMessage message;
    message.Attachments = {{Path("report.log"), "report.log"}};
    std::vector<TMimeAttachment> loaded;
    ASSERT_EQ(LoadAttachments(message, loaded), SUCCESS_SUCCESS);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].Bytes, "log text");
    EXPECT_EQ(loaded[0].ContentType, "text/plain");

    message.Attachments.push_back({Path("gone.log"), "gone.log"});
    EXPECT_EQ(LoadAttachments(message, loaded), MAPI_E_ATTACHMENT_NOT_FOUND);
    message.Attachments.back() = {dir_, "folder"};
    EXPECT_EQ(LoadAttachments(message, loaded), MAPI_E_ATTACHMENT_OPEN_FAILURE);
    if (::geteuid() != 0) {  // root reads anything
        ::chmod(Path("report.log").c_str(), 0);
        message.Attachments.pop_back();
        EXPECT_EQ(LoadAttachments(message, loaded), MAPI_E_ATTACHMENT_OPEN_FAILURE);
    }
}

}  // namespace
}  // namespace zr::os
