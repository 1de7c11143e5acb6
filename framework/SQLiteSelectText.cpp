#include "framework/SQLiteSelectText.h"

#include <array>

namespace zr {

namespace {

// A word (keyword or bare name), a punctuation character, or anything that
// can never be a keyword: strings, quoted names, numbers.
struct TToken {
    enum Kind { Word, Punct, Other } kind = Other;
    std::string_view text;
    std::size_t at = 0;
};

bool WordChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || u >= 0x80;
}

class TScanner {
  public:
    explicit TScanner(std::string_view sql) : s_(sql) {}

    bool Next(TToken& token) {
        SkipBlanksAndComments();
        if (i_ >= s_.size()) return false;
        const std::size_t start = i_;
        const char c = s_[i_];
        TToken::Kind kind = TToken::Other;
        if (c == '\'' || c == '"' || c == '`')
            SkipQuoted(c);
        else if (c == '[')
            SkipQuoted(']');
        else if (c >= '0' && c <= '9')
            SkipWord();
        else if (WordChar(c))
            SkipWord(), kind = TToken::Word;
        else
            ++i_, kind = TToken::Punct;
        token = {kind, s_.substr(start, i_ - start), start};
        return true;
    }

  private:
    void SkipBlanksAndComments() {
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
                ++i_;
            } else if (s_.compare(i_, 2, "--") == 0) {
                const std::size_t end = s_.find('\n', i_);
                i_ = end == std::string_view::npos ? s_.size() : end + 1;
            } else if (s_.compare(i_, 2, "/*") == 0) {
                const std::size_t end = s_.find("*/", i_ + 2);
                i_ = end == std::string_view::npos ? s_.size() : end + 2;
            } else {
                return;
            }
        }
    }
    // A doubled closing quote stays inside.
    void SkipQuoted(char close) {
        ++i_;
        while (i_ < s_.size()) {
            if (s_[i_++] != close) continue;
            if (close == ']' || i_ >= s_.size() || s_[i_] != close) return;
            ++i_;
        }
    }
    void SkipWord() {
        while (i_ < s_.size() && WordChar(s_[i_])) ++i_;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

bool Is(const TToken& token, std::string_view keyword) {
    if (token.kind != TToken::Word || token.text.size() != keyword.size()) return false;
    for (std::size_t i = 0; i < keyword.size(); ++i)
        if ((token.text[i] | 0x20) != (keyword[i] | 0x20)) return false;
    return true;
}

// Words that, outside parentheses, make result rows other than table rows.
bool MergesOrAddsRows(const TToken& token) {
    static constexpr std::array<std::string_view, 9> kWords{
        "GROUP", "HAVING", "UNION", "INTERSECT", "EXCEPT", "WINDOW", "JOIN", "VALUES", "DISTINCT"};
    for (std::string_view word : kWords)
        if (Is(token, word)) return true;
    return false;
}

}  // namespace

TSelectShape ShapeOfSelect(std::string_view sql) {
    TScanner scanner(sql);
    TToken token;
    if (!scanner.Next(token) || !Is(token, "SELECT")) return {};
    enum { Columns, From, Rest } part = Columns;
    TSelectShape shape;
    int depth = 0;
    while (scanner.Next(token)) {
        if (token.kind == TToken::Punct) {
            const char c = token.text[0];
            // A subquery, table function or comma join in the FROM clause.
            if (depth == 0 && part == From && (c == '(' || c == ',')) return {};
            if (c == '(') ++depth;
            if (c == ')' && --depth < 0) return {};
            if (c == ';' && depth == 0) break;
            continue;
        }
        if (depth > 0) continue;
        if (MergesOrAddsRows(token)) return {};
        if (part == Columns && Is(token, "FROM")) {
            part = From;
            shape.columnsEnd = token.at;
        } else if (part == From &&
                   (Is(token, "WHERE") || Is(token, "ORDER") || Is(token, "LIMIT"))) {
            part = Rest;
        }
    }
    shape.rowPerTableRow = part != Columns && depth == 0;
    return shape;
}

}  // namespace zr
