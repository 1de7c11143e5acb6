// Mail messages in MIME form, as sendmail takes them and as .eml files hold
// them: multipart/mixed with a text part for the body and one base64 part
// per attachment. Header values are made safe here: line breaks and other
// control characters are taken out, and non-ASCII text is encoded, so no
// subject, name or address can ever add a header of its own.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "MailProvider.h"

namespace zr::os {

struct TMimeAttachment {
    std::string FileName;
    std::string ContentType;
    std::string Bytes;
};

struct TMimeOptions {
    // "\r\n" for files and the wire; "\n" for programs that take local text
    // (sendmail), which would otherwise see every CR as part of the line.
    std::string NewLine = "\r\n";
    std::time_t Date = 0;    // 0: now
    std::string MessageId;   // without the angle brackets; empty: a fresh one
    std::string Boundary;    // empty: a fresh one
    bool IncludeBcc = true;  // sendmail takes blind copies from the header and drops it
    bool Draft = false;      // marks the message as not sent yet (X-Unsent), for outbox files
};

// The whole message: headers, a blank line, the parts.
std::string ComposeMimeMessage(const TMailMessage& message,
                               const std::vector<TMimeAttachment>& attachments,
                               const TMimeOptions& options = {});

// Reads every attachment of `message` in order. MAPI_E_ATTACHMENT_NOT_FOUND
// when a file is missing, MAPI_E_ATTACHMENT_OPEN_FAILURE when one cannot be
// read (no permission, a folder), SUCCESS_SUCCESS otherwise.
std::uint32_t LoadAttachments(const TMailMessage& message,
                              std::vector<TMimeAttachment>& attachments);

// The pieces, for the providers and tests.
std::string EncodeBase64(std::string_view bytes, std::string_view newLine,
                         std::size_t lineLength = 76);
std::string EncodeQuotedPrintable(std::string_view text, std::string_view newLine);
// An unstructured header value (a subject): control characters out (a line
// break becomes one blank), encoded words when it is not plain ASCII, folded
// to lines of at most 78 characters where it can be.
std::string HeaderText(std::string_view value, std::string_view newLine,
                       std::size_t nameLength = 0);
// One address header's value from the recipients: "Name <address>" or the
// bare address, names quoted or encoded, addresses stripped of whatever
// could end them early. Empty when no recipient has an address left.
std::string AddressList(const std::vector<TMailRecipient>& recipients, std::string_view newLine,
                        std::size_t nameLength = 0);
// The media type a file name suggests (application/octet-stream when none).
std::string ContentTypeOf(std::string_view fileName);
// The date as mail headers write it: "Tue, 04 Mar 2025 09:05:00 +0100".
std::string MailDate(std::time_t when);

}  // namespace zr::os
