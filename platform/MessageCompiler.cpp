// The message compiler's source format, read into a MessageTable.
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

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

std::optional<DWORD> Number(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text.size() > 12) return std::nullopt;
    const std::string digits(text);
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits.c_str(), &end, 0);
    if (*end != '\0' || !std::isdigit(static_cast<unsigned char>(digits[0])) ||
        value > 0xFFFFFFFFul)
        return std::nullopt;
    return static_cast<DWORD>(value);
}

class Parser {
  public:
    Parser(std::string_view source, MessageTable& table) : table_(table) {
        while (!source.empty()) {
            const auto end = source.find('\n');
            std::string_view line = source.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.push_back(line);
            source.remove_prefix(end == std::string_view::npos ? source.size() : end + 1);
        }
    }

    bool Run(std::string* error) {
        for (index_ = 0; index_ < lines_.size(); ++index_) {
            const std::string_view line = Trim(lines_[index_]);
            if (line.empty() || line.front() == ';') continue;
            if (!Keyword(line)) {
                if (error) *error = "line " + std::to_string(index_ + 1) + ": " + problem_;
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

    bool Keyword(std::string_view line) {
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) return Failed("a keyword line was expected");
        const std::string name(Trim(line.substr(0, equals)));
        const std::string_view value = Trim(line.substr(equals + 1));
        auto is = [&](const char* keyword) { return ::strcasecmp(name.c_str(), keyword) == 0; };
        if (is("MessageIdTypedef") || is("OutputBase")) return true;
        if (is("SymbolicName")) return StartsMessage();
        if (is("SeverityNames")) return Names(value, severities_, 3);
        if (is("FacilityNames")) return Names(value, facilities_, 0xFFF);
        if (is("LanguageNames")) return Names(value, languages_, 0xFFFF);
        if (is("MessageId")) return MessageId(value);
        if (is("Severity")) return Lookup(value, severities_, severity_, "severity");
        if (is("Facility")) return Lookup(value, facilities_, facility_, "facility");
        if (is("Language")) return Text(value);
        return Failed("unknown keyword " + name);
    }

    // "(Name=value[:symbol] ...)", possibly over several lines.
    bool Names(std::string_view first, NameTable& names, DWORD highest) {
        std::string list(first);
        while (list.find(')') == std::string::npos && index_ + 1 < lines_.size())
            list += " " + std::string(lines_[++index_]);
        const auto open = list.find('('), close = list.find(')');
        if (open != 0 || close == std::string::npos || !Trim(list.substr(close + 1)).empty())
            return Failed("a list in parentheses was expected");
        std::string_view entries = std::string_view(list).substr(1, close - 1);
        while (!(entries = Trim(entries)).empty()) {
            auto end = entries.find_first_of(" \t");
            const std::string_view entry = entries.substr(0, end);
            entries.remove_prefix(end == std::string_view::npos ? entries.size() : end);
            const auto equals = entry.find('=');
            if (equals == 0 || equals == std::string_view::npos)
                return Failed("name=value expected");
            const auto value = Number(entry.substr(equals + 1, entry.find(':') - equals - 1));
            if (!value || *value > highest) return Failed("a value out of range");
            names[std::string(entry.substr(0, equals))] = *value;
        }
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

    bool Text(std::string_view languageName) {
        const auto language = languages_.find(std::string(languageName));
        if (language == languages_.end()) return Failed("unknown language");
        if (!NextCode()) return false;
        std::string text;
        for (++index_;; ++index_) {
            if (index_ >= lines_.size()) return Failed("a message text without its closing \".\"");
            if (lines_[index_] == ".") break;
            text.append(lines_[index_]).append("\r\n");
        }
        if (!table_.messages[id_].emplace(language->second, std::move(text)).second)
            return Failed("a message defined twice");
        return true;
    }

    MessageTable& table_;
    std::vector<std::string_view> lines_;
    std::size_t index_ = 0;
    std::string problem_;
    NameTable severities_{{"Success", 0}, {"Informational", 1}, {"Warning", 2}, {"Error", 3}};
    NameTable facilities_{{"System", 0x0FF}, {"Application", 0xFFF}};
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
    return Parser(source, table).Run(error);
}

}  // namespace zr::os
