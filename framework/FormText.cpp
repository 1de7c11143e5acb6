// Captions with accelerator marks and text broken into lines.
#include "framework/FormText.h"

#include "platform/X11Text.h"

namespace zr {

std::string StripAccelerator(const std::string& caption, int& underline) {
    underline = -1;
    std::string out;
    int codePoints = 0;
    for (std::size_t i = 0; i < caption.size(); ++i) {
        char ch = caption[i];
        if (ch == '&') {
            if (i + 1 >= caption.size()) break;
            ch = caption[++i];
            if (ch != '&' && underline < 0) underline = codePoints;
        }
        out.push_back(ch);
        if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++codePoints;
    }
    return out;
}

namespace {

std::string TrimRightSpaces(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// Appends `word` to `line`, moving whole lines to `out` as they fill; a word
// wider than the width on its own is broken between characters.
void AddWord(const std::string& word, int width,
             const std::function<int(const std::string&)>& measure, std::string& line,
             std::vector<std::string>& out) {
    if (measure(TrimRightSpaces(line + word)) <= width) {
        line += word;
        return;
    }
    if (!line.empty()) {
        out.push_back(TrimRightSpaces(line));
        line.clear();
        if (measure(TrimRightSpaces(word)) <= width) {
            line = word;
            return;
        }
    }
    for (std::uint32_t cp : os::DecodeUtf8(word)) {
        const std::string ch = os::EncodeUtf8(cp);
        if (!line.empty() && measure(TrimRightSpaces(line + ch)) > width) {
            out.push_back(TrimRightSpaces(line));
            line.clear();
        }
        line += ch;
    }
}

}  // namespace

std::vector<std::string> LayoutLines(const std::string& text, int wrapWidth,
                                     const std::function<int(const std::string&)>& measure) {
    std::vector<std::string> paragraphs(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            paragraphs.emplace_back();
        } else {
            paragraphs.back().push_back(text[i]);
        }
    }
    if (wrapWidth <= 0) return paragraphs;
    std::vector<std::string> out;
    for (const std::string& paragraph : paragraphs) {
        if (measure(paragraph) <= wrapWidth) {
            out.push_back(paragraph);
            continue;
        }
        std::string line;
        std::size_t start = 0;
        while (start < paragraph.size()) {
            // A word and the spaces after it.
            std::size_t end = paragraph.find(' ', start);
            end =
                end == std::string::npos ? paragraph.size() : paragraph.find_first_not_of(' ', end);
            if (end == std::string::npos) end = paragraph.size();
            AddWord(paragraph.substr(start, end - start), wrapWidth, measure, line, out);
            start = end;
        }
        out.push_back(TrimRightSpaces(line));
    }
    return out;
}

}  // namespace zr
