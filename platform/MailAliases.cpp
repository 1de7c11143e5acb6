#include "platform/MailAliases.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <vector>

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
    std::ifstream in(path);
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

// An alias may name other aliases; they are expanded in place. The depth
// limit and the set of names on the way stop an alias that names itself.
void Expand(const TAliasTable& table, const std::string& name, std::set<std::string>& onTheWay,
            std::vector<std::string>& out) {
    auto it = table.find(name);
    if (it == table.end() || onTheWay.count(name) || onTheWay.size() > 16) {
        out.push_back(name);
        return;
    }
    onTheWay.insert(name);
    for (const std::string& member : it->second) {
        if (member.find('@') == std::string::npos && member != name)
            Expand(table, member, onTheWay, out);
        else
            out.push_back(member);
    }
    onTheWay.erase(name);
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string text;
    std::set<std::string> seen;
    for (const std::string& part : parts) {
        if (!seen.insert(part).second) continue;  // each address once
        if (!text.empty()) text += ", ";
        text += part;
    }
    return text;
}

std::string ExpandedAlias(const TAliasTable& table, const std::string& name) {
    std::set<std::string> onTheWay;
    std::vector<std::string> addresses;
    Expand(table, name, onTheWay, addresses);
    return Joined(addresses);
}

// The names of the system's alias file, lower-cased: the local mail system
// compares them without letter case.
std::set<std::string> ReadSystemAliasNames(const std::string& path) {
    std::set<std::string> names;
    if (path.empty()) return names;
    std::ifstream in(path);
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
    if (table.count(key)) {
        resolved.Address = ExpandedAlias(table, key);
        return SUCCESS_SUCCESS;
    }
    std::set<std::string> candidates;
    for (const auto& [alias, members] : table)
        if (Lower(alias) == Lower(key)) candidates.insert(ExpandedAlias(table, alias));
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
