#include "platform/MailAliases.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <map>
#include <set>
#include <vector>

#include "platform/FileContent.h"

namespace zr::os {

using namespace mapi_codes;

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trimmed(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

// Splits a mailrc line into words; quotes group blanks into one word, as
// the mail tools read them.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (IsBlank(c)) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

// Whole logical lines: a line ending in a backslash goes on in the next one.
std::vector<std::string> LogicalLines(const std::string& path) {
    std::vector<std::string> lines;
    std::string content;
    ReadFileContent(path, content);  // a file that is not there has no lines
    std::istringstream in(content);
    std::string line, pending;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.back() == '\\') {
            line.pop_back();
            pending += line + " ";
            continue;
        }
        lines.push_back(pending + line);
        pending.clear();
    }
    if (!pending.empty()) lines.push_back(pending);
    return lines;
}

using TAliasTable = std::map<std::string, std::vector<std::string>>;

TAliasTable ReadMailRc(const std::string& path) {
    TAliasTable table;
    if (path.empty()) return table;
    for (const std::string& line : LogicalLines(path)) {
        const std::vector<std::string> words = Words(line);
        if (words.size() < 3) continue;
        if (words[0] != "alias" && words[0] != "a" && words[0] != "group") continue;
        // Repeated lines for one name add to it, as the mail tools do.
        auto& addresses = table[words[1]];
        addresses.insert(addresses.end(), words.begin() + 2, words.end());
    }
    return table;
}

// A name that leads to more addresses than this is refused: nobody mails a
// log to a thousand people, and a mistaken alias file must not make us try.
constexpr std::size_t kMaxAddresses = 1000;
constexpr std::size_t kMaxDepth = 100;

// One resolution's walk through the aliases. An alias may name other
// aliases; they are expanded in place, each one once: an alias met again
// has given its addresses already (so aliases that name each other many
// times over cost no more than naming each other once), and an alias met
// again inside its own expansion stands for itself, as the mail tools do.
// The depth limit keeps a long chain from exhausting the stack; an alias
// deeper than that stands for itself.
class TAliasExpansion {
  public:
    explicit TAliasExpansion(const TAliasTable& table) : table_(table) {}

    // False when the name leads to more than kMaxAddresses addresses.
    bool Expand(const std::string& name) {
        auto it = table_.find(name);
        if (it == table_.end() || onTheWay_.count(name) || onTheWay_.size() >= kMaxDepth)
            return Add(name);
        if (!expanded_.insert(name).second) return true;
        onTheWay_.insert(name);
        for (const std::string& member : it->second) {
            const bool isAlias = member.find('@') == std::string::npos && member != name;
            if (!(isAlias ? Expand(member) : Add(member))) return false;
        }
        onTheWay_.erase(name);
        return true;
    }

    // Each address once, in the order met, separated by ", ".
    std::string Joined() const {
        std::string text;
        for (const std::string& address : addresses_) {
            if (!text.empty()) text += ", ";
            text += address;
        }
        return text;
    }

  private:
    bool Add(const std::string& address) {
        if (seen_.insert(address).second) addresses_.push_back(address);
        return addresses_.size() <= kMaxAddresses;
    }

    const TAliasTable& table_;
    std::set<std::string> onTheWay_;
    std::set<std::string> expanded_;
    std::set<std::string> seen_;
    std::vector<std::string> addresses_;
};

// The addresses an alias stands for; MAPI_E_AMBIGUOUS_RECIPIENT when they
// are too many to be meant.
std::uint32_t ExpandedAlias(const TAliasTable& table, const std::string& name,
                            std::string& addresses) {
    TAliasExpansion expansion(table);
    if (!expansion.Expand(name)) return MAPI_E_AMBIGUOUS_RECIPIENT;
    addresses = expansion.Joined();
    return SUCCESS_SUCCESS;
}

// The names of the system's alias file, lower-cased: the local mail system
// compares them without letter case.
std::set<std::string> ReadSystemAliasNames(const std::string& path) {
    std::set<std::string> names;
    if (path.empty()) return names;
    std::string content;
    ReadFileContent(path, content);
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || IsBlank(line[0])) continue;  // comment, continuation
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = Trimmed(line.substr(0, colon));
        if (!name.empty()) names.insert(Lower(name));
    }
    return names;
}

std::uint32_t FromMailRc(const TAliasTable& table, const std::string& key,
                         TResolvedName& resolved) {
    if (table.count(key)) return ExpandedAlias(table, key, resolved.Address);
    std::set<std::string> candidates;
    for (const auto& [alias, members] : table) {
        if (Lower(alias) != Lower(key)) continue;
        std::string addresses;
        if (const std::uint32_t code = ExpandedAlias(table, alias, addresses); code != 0)
            return code;
        candidates.insert(addresses);
    }
    if (candidates.empty()) return MAPI_E_UNKNOWN_RECIPIENT;
    if (candidates.size() > 1) return MAPI_E_AMBIGUOUS_RECIPIENT;
    resolved.Address = *candidates.begin();
    return SUCCESS_SUCCESS;
}

}  // namespace

TAliasFiles DefaultAliasFiles() {
    TAliasFiles files;
    if (const char* mailrc = std::getenv("MAILRC"); mailrc && *mailrc)
        files.MailRc = mailrc;
    else if (const std::string home = HomeFolder(); !home.empty())
        files.MailRc = home + "/.mailrc";
    files.SystemAliases = "/etc/aliases";
    return files;
}

std::uint32_t ResolveMailName(const std::string& name, const TAliasFiles& files,
                              TResolvedName& resolved) {
    const std::string key = Trimmed(name);
    if (key.empty()) return MAPI_E_UNKNOWN_RECIPIENT;
    if (key.find('@') != std::string::npos) {
        resolved = {name, key};
        return SUCCESS_SUCCESS;
    }
    TResolvedName found{name, {}};
    const std::uint32_t fromUser = FromMailRc(ReadMailRc(files.MailRc), key, found);
    if (fromUser != MAPI_E_UNKNOWN_RECIPIENT) {
        if (fromUser == SUCCESS_SUCCESS) resolved = found;
        return fromUser;
    }
    if (ReadSystemAliasNames(files.SystemAliases).count(Lower(key))) {
        resolved = {name, key};
        return SUCCESS_SUCCESS;
    }
    return MAPI_E_UNKNOWN_RECIPIENT;
}

}  // namespace zr::os
