// Constant texts of the log components.
#pragma once

#include <string_view>

namespace zr {

// The log file of a new log component, relative to the current directory.
inline constexpr std::string_view KVLDefaultLogFile = "kvevents.log";

// The mail text a new TKVLSendTo starts with: a Format template whose two %s
// receive the recipients (EMail) and the log file name, in that order. Four
// lines; the last has no break and ends in a blank so that the user's comment
// starts one space after the prompt. Stored form files compare against it,
// so keep it byte for byte (typos included).
inline constexpr std::string_view KVLDefaultEMailBody =
    "This message contain technical information about program execution error.\r\n"
    "Please, press the \"Send\" button in your mailer to send this message to on-line product "
    "support. If \"Send\" button is disabled, please forward this message to %s. Also, you can "
    "send this file %s as attachment in your message to us. We will be glad to receive this bug "
    "report from you in any form. This report does NOT contain any CONFIDENTIAL information. You "
    "can insert your comment in this message after horisontal line below.\r\n"
    "--------------------------------------------------------------------------\r\n"
    "PLEASE, INSERT YOUR COMMENT HERE: ";

// File extensions of the screenshot formats, in TKVLScreenshotFormat order.
inline constexpr std::string_view KVLBitmapExt = ".bmp";
inline constexpr std::string_view KVLJpegExt = ".jpg";

}  // namespace zr
