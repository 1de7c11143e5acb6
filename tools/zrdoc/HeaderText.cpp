#include "tools/zrdoc/HeaderText.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <algorithm>

namespace zr::doc {

namespace {

const char* const kFolders[] = {"framework", "platform", "core",   "exception", "applog",
                                "dataset",   "watchers", "checks", "package"};

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text between the brace after `from` and its partner.
std::string BracedBlock(const std::string& text, size_t from) {
    const size_t open = text.find('{', from);
    if (open == std::string::npos) return {};
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        if (text[i] == '{') ++depth;
        if (text[i] == '}' && --depth == 0) return text.substr(open + 1, i - open - 1);
    }
    return {};
}

// Splits TClosure's arguments at the commas outside angle brackets and
// parentheses, and takes each argument's /*Name*/ comment.
std::vector<std::string> CommentNames(const std::string& arguments) {
    std::vector<std::string> names;
    std::string current;
    int depth = 0;
    auto finish = [&] {
        static const std::regex comment(R"(/\*\s*(\w+)\s*\*/)");
        std::smatch match;
        names.push_back(std::regex_search(current, match, comment) ? match[1].str() : "");
        current.clear();
    };
    for (char c : arguments) {
        if (c == '<' || c == '(') ++depth;
        if (c == '>' || c == ')') --depth;
        if (c == ',' && depth == 0) {
            finish();
            continue;
        }
        current += c;
    }
    if (arguments.find_first_not_of(" \t\r\n") != std::string::npos) finish();
    return names;
}

}  // namespace

THeaderText::THeaderText(const std::string& sourceRoot) {
    if (sourceRoot.empty()) return;
    static const std::regex classHead(R"((class|struct)\s+(\w+)\s*(?:final\s*)?:[^;{]*\{)");
    static const std::regex alias(R"(using\s+(\w+)\s*=\s*TClosure<([^;]*)>\s*;)");
    for (const char* folder : kFolders) {
        const std::filesystem::path dir = std::filesystem::path(sourceRoot) / folder;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
            if (entry.path().extension() != ".h") continue;
            const std::string text = ReadFile(entry.path());
            const std::string header = std::string(folder) + "/" + entry.path().filename().string();
            for (std::sregex_iterator it(text.begin(), text.end(), classHead), end; it != end; ++it)
                classes_.emplace(
                    (*it)[2].str(),
                    TClassText{header, BracedBlock(text, static_cast<size_t>(it->position())),
                               (*it)[1].str() == "struct"});
            for (std::sregex_iterator it(text.begin(), text.end(), alias), end; it != end; ++it)
                closureAliases_.emplace((*it)[1].str(), (*it)[2].str());
        }
    }
}

std::string THeaderText::ClassBody(const std::string& className) const {
    const auto found = classes_.find(className);
    return found == classes_.end() ? std::string() : found->second.Body;
}

std::string THeaderText::HeaderOf(const std::string& className) const {
    const auto found = classes_.find(className);
    return found == classes_.end() ? std::string() : found->second.Header;
}

std::vector<THeaderMember> THeaderText::PublicMembers(const std::string& className) const {
    const auto found = classes_.find(className);
    if (found == classes_.end()) return {};
    static const std::regex access(R"(^\s*(public|protected|private)\s*:)");
    std::vector<THeaderMember> members;
    bool isPublic = found->second.IsStruct;
    std::string comment, declaration;
    int depth = 0;  // inside an inline body or a nested type
    std::istringstream lines(found->second.Body);
    for (std::string line; std::getline(lines, line);) {
        const size_t first = line.find_first_not_of(" \t");
        const std::string text = first == std::string::npos ? "" : line.substr(first);
        if (depth == 0 && declaration.empty()) {
            std::smatch match;
            if (std::regex_search(text, match, access)) {
                isPublic = match[1] == "public";
                comment.clear();
                continue;
            }
            // The class macro leaves the section private behind it.
            if (text.rfind("ZR_CLASS(", 0) == 0) {
                isPublic = false;
                continue;
            }
            if (text.rfind("//", 0) == 0) {
                comment += (comment.empty() ? "" : " ") + text.substr(text.find_first_not_of("/ "));
                continue;
            }
            if (text.empty()) {
                comment.clear();
                continue;
            }
        }
        if (depth == 0) {
            // A declaration ends at its ";" or where its inline body opens.
            const size_t brace = text.find('{');
            const size_t semicolon = text.find(';');
            const size_t stop = std::min(brace, semicolon);
            declaration += (declaration.empty() ? "" : " ") + text.substr(0, stop);
            if (stop == std::string::npos) continue;
            if (isPublic && declaration.rfind("friend", 0) != 0 &&
                declaration.rfind("using", 0) != 0)
                members.push_back(
                    {std::regex_replace(declaration, std::regex(R"(\s+$)"), ""), comment});
            declaration.clear();
            comment.clear();
        }
        for (char c : text) {
            if (c == '{') ++depth;
            if (c == '}') --depth;
        }
    }
    return members;
}

std::vector<std::string> THeaderText::EventParamNames(const std::vector<std::string>& classes,
                                                      const std::string& event) const {
    // The getter names the event's type: `const TFileNotifyEvent& OnX() const`.
    // ... or a macro that declares the pair: `ZR_SHELL_EVENT(OnX, TEventType)`.
    const std::regex getter("(\\w+)\\s*&?\\s+" + event + R"(\s*\(\s*\)\s*const)");
    const std::regex macro("\\w+_EVENT\\(\\s*" + event + R"(\s*,\s*(\w+)\s*\))");
    for (const std::string& cls : classes) {
        const std::string body = ClassBody(cls);
        std::smatch match;
        if (!std::regex_search(body, match, getter) && !std::regex_search(body, match, macro))
            continue;
        const auto alias = closureAliases_.find(match[1].str());
        if (alias == closureAliases_.end()) return {};
        const std::vector<std::string> names = CommentNames(alias->second);
        for (const std::string& name : names)
            if (!name.empty()) return names;
        return {};
    }
    return {};
}

}  // namespace zr::doc
