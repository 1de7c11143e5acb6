#include "platform/MimeMessage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <random>

namespace zr::os {

using namespace mapi_codes;

namespace {

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kHeaderLine = 78;

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool IsPlainAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Line breaks become one blank and other control characters go: what is
// left cannot end a header line, so it cannot start a header of its own.
std::string WithoutControls(std::string_view value) {
    std::string out;
    bool lastWasBreak = false;
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r' || c == '\n') {
            if (!lastWasBreak) out += ' ';
            lastWasBreak = true;
            continue;
        }
        lastWasBreak = false;
        if (c == '\t')
            out += ' ';
        else if (!IsControl(u))
            out += c;
    }
    return out;
}

std::string Trimmed(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && text[begin] == ' ') ++begin;
    while (end > begin && text[end - 1] == ' ') --end;
    return std::string(text.substr(begin, end - begin));
}

// The length of the UTF-8 sequence that starts with `lead` (1 for bytes
// that start none, so broken text still moves on).
std::size_t SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

// Encoded words of at most 68 characters each, cut between characters,
// never inside one, as each word must decode to whole characters.
std::vector<std::string> EncodedWords(std::string_view text) {
    // 56 base64 digits and 12 of framing: a word fits a line after "Subject: ".
    constexpr std::size_t kBytesPerWord = 42;
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start;
        while (end < text.size()) {
            const std::size_t next =
                std::min(end + SequenceLength(static_cast<unsigned char>(text[end])), text.size());
            if (next - start > kBytesPerWord && end > start) break;
            end = next;
        }
        words.push_back("=?UTF-8?B?" + EncodeBase64(text.substr(start, end - start), "", 0) + "?=");
        start = end;
    }
    return words;
}

// Folds a header value: a line break goes before a blank wherever the line
// would pass 78 characters. Unfolding only takes the line breaks out, so
// the value reads back the same. The value is laid out in pieces of a run
// of blanks and the word after it, and a fold only goes before a piece that
// has a word, on a line that has one already: a line of nothing but blanks
// is taken by some readers for the end of the headers. A piece longer than
// a line (a long word, a long run of blanks) stays whole.
std::string Folded(std::string_view text, std::string_view newLine, std::size_t used) {
    std::string out;
    std::size_t column = used;
    bool lineHasWord = false;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = at;
        while (end < text.size() && text[end] == ' ') ++end;
        const bool hasWord = end < text.size();
        while (end < text.size() && text[end] != ' ') ++end;
        const std::string_view piece = text.substr(at, end - at);
        if (column + piece.size() > kHeaderLine && piece.front() == ' ' && hasWord && lineHasWord) {
            out += newLine;
            column = 0;
        }
        out += piece;
        column += piece.size();
        lineHasWord = lineHasWord || hasWord;
        at = end;
    }
    return out;
}

std::string JoinedWith(const std::vector<std::string>& words, std::string_view separator) {
    std::string out;
    for (const std::string& word : words) out += (out.empty() ? "" : std::string(separator)) + word;
    return out;
}

// A display name: as it stands when it is plain words, quoted when it holds
// characters that mean something in an address, encoded when not ASCII.
std::string Phrase(std::string_view name) {
    if (!IsPlainAscii(name) || name.find("=?") != std::string_view::npos)
        return JoinedWith(EncodedWords(name), " ");
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view(" !#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
    });
    if (plain) return std::string(name);
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// The address itself: blanks and the characters that delimit addresses
// out, so one recipient can never turn into several or into a header.
std::string AddrSpec(std::string_view address) {
    std::string out;
    for (char c : address)
        if (std::string_view(" <>,;\"").find(c) == std::string_view::npos) out += c;
    return out;
}

struct TMailbox {
    std::string Name;
    std::string Address;
};

// An address text may be a bare address, "Name <address>", or several of
// them separated by commas (a user alias of several addresses).
std::vector<TMailbox> Mailboxes(const TMailRecipient& recipient) {
    std::vector<TMailbox> boxes;
    const std::string address = WithoutControls(recipient.Address);
    const std::string name = Trimmed(WithoutControls(recipient.Name));
    std::size_t start = 0;
    int depth = 0;
    bool quoted = false;
    for (std::size_t i = 0; i <= address.size(); ++i) {
        const char c = i < address.size() ? address[i] : ',';
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '<') ++depth;
        if (!quoted && c == '>' && depth > 0) --depth;
        if (c != ',' || quoted || depth > 0) continue;
        const std::string piece = Trimmed(std::string_view(address).substr(start, i - start));
        start = i + 1;
        TMailbox box;
        const std::size_t open = piece.rfind('<');
        if (open != std::string::npos && piece.back() == '>') {
            box.Name = Trimmed(std::string_view(piece).substr(0, open));
            if (box.Name.size() >= 2 && box.Name.front() == '"' && box.Name.back() == '"')
                box.Name = box.Name.substr(1, box.Name.size() - 2);
            box.Address =
                AddrSpec(std::string_view(piece).substr(open + 1, piece.size() - open - 2));
        } else {
            box.Address = AddrSpec(piece);
        }
        if (box.Address.empty()) continue;
        // The recipient's own name counts when it says more than the address.
        if (box.Name.empty() && !name.empty() && name != Trimmed(address)) box.Name = name;
        boxes.push_back(box);
    }
    return boxes;
}

std::string FreshBoundary() {
    std::random_device random;
    std::string boundary = "=_zr_";
    for (int i = 0; i < 24; ++i) boundary += kHexDigits[random() % 16];
    // "=_" cannot occur in quoted-printable text (every "=" there is
    // followed by a hex digit or a line break) nor in base64, so the
    // boundary can never appear inside a part.
    return boundary;
}

std::string HostName() {
    char name[256] = {};
    std::string host;
    if (::gethostname(name, sizeof name - 1) == 0)
        for (const char* p = name; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p)) || *p == '.' || *p == '-') host += *p;
    return host.empty() ? "localhost" : host;
}

std::string FreshMessageId(std::time_t when) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    char id[128];
    std::snprintf(id, sizeof id, "%lld.%d.%u.%08x", static_cast<long long>(when),
                  static_cast<int>(::getpid()), counter.fetch_add(1), random());
    return std::string(id) + "@" + HostName();
}

std::string ParameterValue(std::string_view value) {
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// filename="..." for plain ASCII names; the extended form (charset and
// percent-encoded bytes) for the rest.
std::string FileNameParameter(std::string_view key, std::string_view fileName) {
    if (IsPlainAscii(fileName)) return std::string(key) + "=" + ParameterValue(fileName);
    std::string encoded = std::string(key) + "*=UTF-8''";
    for (char c : fileName) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHexDigits[u >> 4];
            encoded += kHexDigits[u & 15];
        }
    }
    return encoded;
}

void AddHeader(std::string& out, std::string_view name, const std::string& value,
               std::string_view newLine) {
    out += std::string(name) + ": " + value + std::string(newLine);
}

void AddAddressHeader(std::string& out, std::string_view name,
                      const std::vector<TMailRecipient>& recipients, std::uint32_t recipClass,
                      std::string_view newLine) {
    std::vector<TMailRecipient> ofClass;
    for (const TMailRecipient& r : recipients)
        if (r.Class == recipClass) ofClass.push_back(r);
    const std::string value = AddressList(ofClass, newLine, name.size() + 2);
    if (!value.empty()) AddHeader(out, name, value, newLine);
}

}  // namespace

std::string EncodeBase64(std::string_view bytes, std::string_view newLine, std::size_t lineLength) {
    std::string out;
    out.reserve(bytes.size() * 4 / 3 + bytes.size() / 48 * newLine.size() + 8);
    std::size_t column = 0;
    auto put = [&](char c) {
        if (lineLength > 0 && column == lineLength) {
            out += newLine;
            column = 0;
        }
        out += c;
        ++column;
    };
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 |
                                static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                static_cast<unsigned char>(bytes[i + 2]);
        put(kBase64Digits[n >> 18]);
        put(kBase64Digits[(n >> 12) & 63]);
        put(kBase64Digits[(n >> 6) & 63]);
        put(kBase64Digits[n & 63]);
    }
    if (i < bytes.size()) {
        std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        put(kBase64Digits[n >> 18]);
        put(kBase64Digits[(n >> 12) & 63]);
        put(i + 1 < bytes.size() ? kBase64Digits[(n >> 6) & 63] : '=');
        put('=');
    }
    return out;
}

std::string EncodeQuotedPrintable(std::string_view text, std::string_view newLine) {
    constexpr std::size_t kLine = 76;
    std::string out;
    std::size_t column = 0;
    auto emit = [&](std::string_view piece) {
        // A soft break ("=" at the end of a line) keeps lines short; the
        // reader joins the pieces again.
        if (column + piece.size() > kLine - 1) {
            out += "=";
            out += newLine;
            column = 0;
        }
        out += piece;
        column += piece.size();
    };
    auto encoded = [](unsigned char c) {
        return std::string{'=', kHexDigits[c >> 4], kHexDigits[c & 15]};
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            if (c == '\r') ++i;
            out += newLine;
            column = 0;
            continue;
        }
        const bool lineEnds = i + 1 == text.size() || text[i + 1] == '\n' ||
                              (text[i + 1] == '\r' && i + 2 < text.size() && text[i + 2] == '\n');
        // Blanks at a line's end are lost in transit unless encoded; a line
        // starting "From " is altered by mailbox files unless its F is.
        const bool fromLine = column == 0 && c == 'F' && text.substr(i, 5) == "From ";
        if ((c == ' ' || c == '\t') ? lineEnds : (u < 33 || u > 126 || c == '=' || fromLine))
            emit(encoded(u));
        else
            emit(std::string_view(&text[i], 1));
    }
    return out;
}

std::string HeaderText(std::string_view value, std::string_view newLine, std::size_t nameLength) {
    const std::string clean = WithoutControls(value);
    // Text that could be read as encoded words is encoded itself, so that
    // a reader shows exactly what was given.
    if (!IsPlainAscii(clean) || clean.find("=?") != std::string::npos)
        return Folded(JoinedWith(EncodedWords(clean), " "), newLine, nameLength);
    return Folded(clean, newLine, nameLength);
}

std::string AddressList(const std::vector<TMailRecipient>& recipients, std::string_view newLine,
                        std::size_t nameLength) {
    std::vector<std::string> entries;
    for (const TMailRecipient& recipient : recipients)
        for (const TMailbox& box : Mailboxes(recipient))
            entries.push_back(box.Name.empty() ? box.Address
                                               : Phrase(box.Name) + " <" + box.Address + ">");
    return Folded(JoinedWith(entries, ", "), newLine, nameLength);
}

std::string ContentTypeOf(std::string_view fileName) {
    const std::size_t dot = fileName.rfind('.');
    std::string ext;
    if (dot != std::string_view::npos && fileName.find('/', dot) == std::string_view::npos)
        for (char c : fileName.substr(dot + 1))
            ext += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "bmp") return "image/bmp";
    if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
    if (ext == "png") return "image/png";
    if (ext == "gif") return "image/gif";
    if (ext == "txt" || ext == "log") return "text/plain";
    if (ext == "xml") return "application/xml";
    if (ext == "zip") return "application/zip";
    if (ext == "pdf") return "application/pdf";
    return "application/octet-stream";
}

std::string MailDate(std::time_t when) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    ::localtime_r(&when, &local);
    const long offset = local.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    char text[64];
    // Names in English whatever the locale: mail readers parse them.
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                  offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}

std::string ComposeMimeMessage(const TMailMessage& message,
                               const std::vector<TMimeAttachment>& attachments,
                               const TMimeOptions& options) {
    const std::string& nl = options.NewLine;
    const std::time_t when = options.Date != 0 ? options.Date : std::time(nullptr);
    const std::string boundary = options.Boundary.empty() ? FreshBoundary() : options.Boundary;
    const std::string id =
        WithoutControls(options.MessageId.empty() ? FreshMessageId(when) : options.MessageId);

    std::string out;
    AddHeader(out, "Date", MailDate(when), nl);
    AddHeader(out, "Message-ID", "<" + AddrSpec(id) + ">", nl);
    AddHeader(out, "Subject", HeaderText(message.Subject, nl, 9), nl);
    AddAddressHeader(out, "To", message.Recipients, MAPI_TO, nl);
    AddAddressHeader(out, "Cc", message.Recipients, MAPI_CC, nl);
    if (options.IncludeBcc) AddAddressHeader(out, "Bcc", message.Recipients, MAPI_BCC, nl);
    if (options.Draft) AddHeader(out, "X-Unsent", "1", nl);
    AddHeader(out, "MIME-Version", "1.0", nl);
    AddHeader(out, "Content-Type", "multipart/mixed; boundary=\"" + boundary + "\"", nl);
    out += nl;
    out += "This is a message in MIME format." + nl;

    out += nl + "--" + boundary + nl;
    AddHeader(out, "Content-Type", "text/plain; charset=UTF-8", nl);
    AddHeader(out, "Content-Transfer-Encoding", "quoted-printable", nl);
    out += nl;
    out += EncodeQuotedPrintable(message.Body, nl);

    for (const TMimeAttachment& attachment : attachments) {
        const std::string fileName = WithoutControls(attachment.FileName);
        out += nl + "--" + boundary + nl;
        AddHeader(
            out, "Content-Type",
            WithoutControls(attachment.ContentType) + "; " + FileNameParameter("name", fileName),
            nl);
        AddHeader(out, "Content-Transfer-Encoding", "base64", nl);
        AddHeader(out, "Content-Disposition",
                  "attachment; " + FileNameParameter("filename", fileName), nl);
        out += nl;
        out += EncodeBase64(attachment.Bytes, nl);
    }
    out += nl + "--" + boundary + "--" + nl;
    return out;
}

std::uint32_t LoadAttachments(const TMailMessage& message,
                              std::vector<TMimeAttachment>& attachments) {
    attachments.clear();
    for (const TMailAttachment& file : message.Attachments) {
        const int fd = ::open(file.Path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd == -1)
            return errno == ENOENT || errno == ENOTDIR ? MAPI_E_ATTACHMENT_NOT_FOUND
                                                       : MAPI_E_ATTACHMENT_OPEN_FAILURE;
        TMimeAttachment loaded{file.FileName, ContentTypeOf(file.FileName), {}};
        struct stat info {};
        bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
        char buffer[65536];
        while (ok) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n == -1 && errno == EINTR) continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            loaded.Bytes.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
        if (!ok) return MAPI_E_ATTACHMENT_OPEN_FAILURE;
        attachments.push_back(std::move(loaded));
    }
    return SUCCESS_SUCCESS;
}

}  // namespace zr::os
