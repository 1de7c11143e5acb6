// The message compiler's source format, read into a MessageTable.
//
// Keywords and their values are delimited by white space, line breaks
// included, as files written for the compiler rely on: several
// "Keyword=value" pairs may share a line, blanks may stand around "=" and
// ":", and a list's "(" may open on the line after its keyword. A message
// text begins on the line after its Language keyword and ends at a line
// holding only ".". A source in UTF-16 is read as such, with its byte-order
// mark or without one (the compiler's Unicode switch reads little-endian
// files that have none); texts come out as UTF-8.
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/MessageFiles.h"

namespace zr::os {

namespace {

struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return ::strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};
using NameTable = std::map<std::string, DWORD, NoCaseLess>;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::optional<DWORD> Number(std::string_view text) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    const std::string digits(text);
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits.c_str(), &end, 0);
    if (*end != '\0' || !std::isdigit(static_cast<unsigned char>(digits[0])) ||
        value > 0xFFFFFFFFul)
        return std::nullopt;
    return static_cast<DWORD>(value);
}

void AppendUtf8(std::string& out, std::uint32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | point >> 6);
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | point >> 12);
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | point >> 18);
        out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// UTF-16 text after its byte-order mark, as UTF-8; a lone surrogate or an odd
// last byte becomes U+FFFD rather than failing the whole file.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    auto unit = [&](std::size_t at) -> std::uint32_t {
        const auto a = static_cast<unsigned char>(bytes[at]);
        const auto b = static_cast<unsigned char>(bytes[at + 1]);
        return bigEndian ? (a << 8 | b) : (b << 8 | a);
    };
    std::string out;
    out.reserve(bytes.size());
    std::size_t at = 0;
    for (; at + 1 < bytes.size(); at += 2) {
        std::uint32_t point = unit(at);
        if (point >= 0xD800 && point < 0xDC00 && at + 3 < bytes.size()) {
            const std::uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        AppendUtf8(out, point >= 0xD800 && point < 0xE000 ? 0xFFFD : point);
    }
    if (at < bytes.size()) AppendUtf8(out, 0xFFFD);
    return out;
}

// The source as UTF-8 text without a byte-order mark.
std::string SourceText(std::string_view bytes) {
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE')
        return Utf16ToUtf8(bytes.substr(2), false);
    if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF')
        return Utf16ToUtf8(bytes.substr(2), true);
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    // Text of ours never holds a NUL; a source beginning with a character and
    // a NUL is UTF-16 without its mark, a NUL and a character the other order.
    if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0')
        return Utf16ToUtf8(bytes, false);
    if (bytes.size() >= 2 && bytes[0] == '\0' && bytes[1] != '\0')
        return Utf16ToUtf8(bytes, true);
    return std::string(bytes);
}

class Parser {
  public:
    Parser(std::string_view source, MessageTable& table) : source_(source), table_(table) {}

    bool Run(std::string* error) {
        while (SkipSpaceAndComments(), at_ < source_.size()) {
            if (!Keyword()) {
                if (error) *error = "line " + std::to_string(LineOf(at_)) + ": " + problem_;
                return false;
            }
        }
        return true;
    }

  private:
    bool Failed(std::string problem) {
        problem_ = std::move(problem);
        return false;
    }

    std::size_t LineOf(std::size_t at) const {
        std::size_t line = 1;
        for (std::size_t i = 0; i < at && i < source_.size(); ++i) line += source_[i] == '\n';
        return line;
    }

    bool AtEnd() const { return at_ >= source_.size(); }
    char Peek() const { return AtEnd() ? '\0' : source_[at_]; }

    // White space, line breaks included, and comments: ";" to the end of its line.
    void SkipSpaceAndComments() {
        while (!AtEnd()) {
            if (IsSpace(Peek())) {
                ++at_;
            } else if (Peek() == ';') {
                while (!AtEnd() && Peek() != '\n') ++at_;
            } else {
                break;
            }
        }
    }
    void SkipBlanks() {
        while (!AtEnd() && IsBlank(Peek())) ++at_;
    }

    std::string_view Name() {
        const std::size_t begin = at_;
        while (!AtEnd() && IsNameChar(Peek())) ++at_;
        return source_.substr(begin, at_ - begin);
    }

    // A value runs to the next white space; none when its line ends first.
    std::string_view Value() {
        SkipBlanks();
        const std::size_t begin = at_;
        while (!AtEnd() && !IsSpace(Peek())) ++at_;
        return source_.substr(begin, at_ - begin);
    }

    bool Keyword() {
        const std::string name(Name());
        if (name.empty()) return Failed("a keyword was expected");
        SkipBlanks();
        if (Peek() != '=') return Failed("a keyword line was expected");
        ++at_;
        auto is = [&](const char* keyword) { return ::strcasecmp(name.c_str(), keyword) == 0; };
        if (is("SeverityNames")) return Names(severities_, 3);
        if (is("FacilityNames")) return Names(facilities_, 0xFFF);
        if (is("LanguageNames")) return Names(languages_, 0xFFFF);
        const std::string_view value = Value();
        if (is("MessageIdTypedef") || is("OutputBase")) return true;
        if (is("SymbolicName")) return StartsMessage();
        if (is("MessageId")) return MessageId(value);
        if (is("Severity")) return Lookup(value, severities_, severity_, "severity");
        if (is("Facility")) return Lookup(value, facilities_, facility_, "facility");
        if (is("Language")) return Text(value);
        return Failed("unknown keyword " + name);
    }

    // "(Name=value[:symbol] ...)", over as many lines as it takes.
    bool Names(NameTable& names, DWORD highest) {
        SkipSpaceAndComments();
        if (Peek() != '(') return Failed("a list in parentheses was expected");
        ++at_;
        for (;;) {
            SkipSpaceAndComments();
            if (AtEnd()) return Failed("a list without its closing \")\"");
            if (Peek() == ')') break;
            const std::string name(Name());
            SkipSpaceAndComments();
            if (name.empty() || Peek() != '=') return Failed("name=value expected");
            ++at_;
            SkipSpaceAndComments();
            const std::size_t begin = at_;
            while (!AtEnd() && !IsSpace(Peek()) && Peek() != ':' && Peek() != ')') ++at_;
            const auto value = Number(source_.substr(begin, at_ - begin));
            if (!value || *value > highest) return Failed("a value out of range");
            SkipSpaceAndComments();
            if (Peek() == ':') {  // the symbol the compiler would define; not needed here
                ++at_;
                SkipSpaceAndComments();
                while (!AtEnd() && !IsSpace(Peek()) && Peek() != ')') ++at_;
            }
            names[name] = *value;
        }
        ++at_;
        return true;
    }

    bool Lookup(std::string_view value, const NameTable& names, DWORD& into, const char* what) {
        const auto found = names.find(std::string(value));
        if (found == names.end()) return Failed(std::string("unknown ") + what);
        into = found->second;
        return StartsMessage();
    }

    // A message's keywords before its first text mark a new message, even
    // without a MessageId line.
    bool StartsMessage() {
        if (!pendingId_) pendingId_ = "";
        return true;
    }

    bool MessageId(std::string_view value) {
        pendingId_ = std::string(value);
        return true;
    }

    // The code of the message whose text begins now.
    bool NextCode() {
        const std::string value = pendingId_.value_or("");
        DWORD& last = lastCode_[facility_];
        if (!pendingId_ && inMessage_) return true;  // another language of the same message
        DWORD code = last + 1;
        if (!value.empty()) {
            const auto number = Number(value.front() == '+' ? value.substr(1) : value);
            if (!number) return Failed("MessageId is no number");
            code = value.front() == '+' ? last + *number : *number;
        }
        if (code > 0xFFFF) return Failed("MessageId above 0xFFFF");
        last = code;
        id_ = severity_ << 30 | facility_ << 16 | code;
        pendingId_.reset();
        inMessage_ = true;
        return true;
    }

    // The next line, without its line break; false at the end of the source.
    bool NextLine(std::string_view& line) {
        if (AtEnd()) return false;
        const std::size_t end = std::min(source_.find('\n', at_), source_.size());
        line = source_.substr(at_, end - at_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        at_ = end == source_.size() ? end : end + 1;
        return true;
    }

    bool Text(std::string_view languageName) {
        const auto language = languages_.find(std::string(languageName));
        if (language == languages_.end()) return Failed("unknown language");
        if (!NextCode()) return false;
        std::string_view line;
        NextLine(line);  // the rest of the Language line
        std::string text;
        for (;;) {
            if (!NextLine(line)) return Failed("a message text without its closing \".\"");
            if (line == ".") break;
            text.append(line).append("\r\n");
        }
        if (!table_.messages[id_].emplace(language->second, std::move(text)).second)
            return Failed("a message defined twice");
        return true;
    }

    std::string_view source_;
    std::size_t at_ = 0;
    MessageTable& table_;
    std::string problem_;
    NameTable severities_{{"Success", 0}, {"Informational", 1}, {"Warning", 2}, {"Error", 3}};
    // Application is worth 0: the identifiers compiled for it carry no facility bits.
    NameTable facilities_{{"System", 0x0FF}, {"Application", 0}};
    NameTable languages_{{"English", LANG_ENGLISH_US}};
    DWORD severity_ = 0;
    DWORD facility_ = 0;
    std::map<DWORD, DWORD> lastCode_;  // per facility
    std::optional<std::string> pendingId_;
    bool inMessage_ = false;
    DWORD id_ = 0;
};

}  // namespace

bool ParseMessageFile(std::string_view source, MessageTable& table, std::string* error) {
    table = MessageTable{};
    const std::string text = SourceText(source);
    return Parser(text, table).Run(error);
}

}  // namespace zr::os
