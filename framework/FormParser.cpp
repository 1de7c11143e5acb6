#include "framework/FormParser.h"

#include <charconv>
#include <optional>

#include "framework/Exceptions.h"
#include "framework/Identifiers.h"

namespace zr {

namespace {

bool IsBlank(char c) {
    return c != '\0' && static_cast<unsigned char>(c) <= ' ';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsHighSurrogate(std::uint32_t code) {
    return code >= 0xD800 && code <= 0xDBFF;
}
bool IsLowSurrogate(std::uint32_t code) {
    return code >= 0xDC00 && code <= 0xDFFF;
}

// The letter that may follow a number's digits, and the kind it marks.
std::optional<TFloatType> FloatTypeLetter(char c) {
    switch (c) {
        case 's':
        case 'S':
            return TFloatType::Single;
        case 'c':
        case 'C':
            return TFloatType::Currency;
        case 'd':
        case 'D':
            return TFloatType::DateTime;
        default:
            return std::nullopt;
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool SameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::optional<TFormObject::Flavor> FlavorOf(std::string_view word) {
    if (SameWord(word, "object")) return TFormObject::foObject;
    if (SameWord(word, "inherited")) return TFormObject::foInherited;
    if (SameWord(word, "inline")) return TFormObject::foInline;
    return std::nullopt;
}

constexpr std::uint32_t MaxCodePoint = 0x10FFFF;

class FormTextParser {
  public:
    explicit FormTextParser(std::string_view text) : text_(text) {
        // An editor may have saved the file with a byte order mark.
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    }

    TFormObject ParseRoot() {
        SkipBlanks();
        const int line = line_;
        if (!AtIdentStart()) Fail("'object' expected");
        const auto flavor = FlavorOf(ReadIdent());
        if (!flavor) Fail("'object' expected");
        TFormObject root = ParseObject(*flavor, line);
        SkipBlanks();
        if (!AtEnd()) Fail("End of file expected");
        return root;
    }

  private:
    // Counts one level of nesting for as long as it lives.
    class NestingGuard {
      public:
        explicit NestingGuard(FormTextParser& parser) : parser_(parser) {
            if (++parser_.depth_ > MaxFormNesting) parser_.Fail("Nesting too deep");
        }
        ~NestingGuard() { --parser_.depth_; }
        NestingGuard(const NestingGuard&) = delete;
        NestingGuard& operator=(const NestingGuard&) = delete;

      private:
        FormTextParser& parser_;
    };

    [[noreturn]] void Fail(const std::string& what) const {
        throw EParserError(what + " on line " + std::to_string(line_));
    }

    bool AtEnd() const { return pos_ >= text_.size(); }
    // '\0' past the end; a NUL inside the text is never valid anywhere it is
    // looked at, so the two need not be told apart.
    char Peek(size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
    }

    // CR LF, LF and a lone CR each end one line.
    void Advance() {
        const char c = text_[pos_++];
        if (c == '\n' || (c == '\r' && Peek() != '\n')) ++line_;
    }

    void SkipBlanks() {
        while (!AtEnd() && IsBlank(Peek())) Advance();
    }

    void Expect(char c, const char* what) {
        SkipBlanks();
        if (AtEnd() || Peek() != c) Fail(what);
        Advance();
    }

    bool AtIdentStart(size_t ahead = 0) const {
        return IdentCharLength(text_, pos_ + ahead, true) > 0;
    }
    bool AtIdentChar() const { return IdentCharLength(text_, pos_, false) > 0; }

    // A name's characters never hold a line break, so they are skipped
    // without counting lines.
    std::string ReadIdent() {
        if (!AtIdentStart()) Fail("Identifier expected");
        const size_t start = pos_;
        pos_ += IdentCharLength(text_, pos_, true);
        while (const size_t length = IdentCharLength(text_, pos_, false)) pos_ += length;
        return std::string(text_.substr(start, pos_ - start));
    }

    // Property paths (Font.Style) and references into other forms (Form2.Button1).
    std::string ReadDottedIdent() {
        std::string name = ReadIdent();
        while (Peek() == '.' && AtIdentStart(1)) {
            Advance();
            name += '.';
            name += ReadIdent();
        }
        return name;
    }

    TFormObject ParseObject(TFormObject::Flavor flavor, int line) {
        NestingGuard guard(*this);
        TFormObject obj;
        obj.Kind = flavor;
        obj.Line = line;
        SkipBlanks();
        const std::string first = ReadIdent();
        SkipBlanks();
        if (Peek() == ':') {
            Advance();
            SkipBlanks();
            obj.Name = first;
            obj.ClassName = ReadIdent();
        } else {
            obj.ClassName = first;
        }
        SkipBlanks();
        if (Peek() == '[') obj.Index = ParseOrderModifier();
        ParseObjectBody(obj);
        return obj;
    }

    // Properties first, then nested objects, then `end`.
    void ParseObjectBody(TFormObject& obj) {
        for (;;) {
            SkipBlanks();
            if (AtEnd()) Fail("'end' expected");
            const int line = line_;
            if (!AtIdentStart()) Fail("Identifier expected");
            const std::string word = ReadDottedIdent();
            if (SameWord(word, "end")) return;
            if (const auto flavor = FlavorOf(word)) {
                obj.Children.push_back(ParseObject(*flavor, line));
            } else {
                if (!obj.Children.empty()) Fail("'end' expected");
                obj.Properties.push_back(ParseProperty(word, line));
            }
        }
    }

    TFormProperty ParseProperty(const std::string& name, int line) {
        TFormProperty prop;
        prop.Name = name;
        prop.Line = line;
        Expect('=', "'=' expected");
        prop.Value = ParseValue();
        return prop;
    }

    int ParseOrderModifier() {
        Advance();  // '['
        SkipBlanks();
        if (!IsDigit(Peek())) Fail("Number expected");
        int value = 0;
        while (IsDigit(Peek())) {
            if (value > 99999999) Fail("Number out of range");
            value = value * 10 + (Peek() - '0');
            Advance();
        }
        Expect(']', "']' expected");
        return value;
    }

    TFormValue ParseValue() {
        SkipBlanks();
        TFormValue value;
        value.Line = line_;
        const char c = Peek();
        if (AtEnd()) {
            Fail("Property value expected");
        } else if (c == '\'' || c == '#') {
            value.Type = TFormValue::fvString;
            value.Text = ParseStringExpression();
        } else if (c == '-' || c == '$' || IsDigit(c)) {
            ParseNumber(value);
        } else if (AtIdentStart()) {
            value.Type = TFormValue::fvIdent;
            value.Text = ReadDottedIdent();
        } else if (c == '[') {
            value.Type = TFormValue::fvSet;
            ParseSet(value);
        } else if (c == '(') {
            value.Type = TFormValue::fvList;
            ParseList(value);
        } else if (c == '<') {
            value.Type = TFormValue::fvCollection;
            ParseCollection(value);
        } else if (c == '{') {
            value.Type = TFormValue::fvBinary;
            ParseBinary(value);
        } else {
            Fail("Invalid property value");
        }
        return value;
    }

    // 'abc'#13#10'def' + 'ghi' ... : adjacent pieces form one token, `+`
    // joins tokens across lines.
    std::string ParseStringExpression() {
        std::string text = ParseStringToken();
        for (;;) {
            SkipBlanks();
            if (Peek() != '+') return text;
            Advance();
            SkipBlanks();
            if (Peek() != '\'' && Peek() != '#') Fail("String expected");
            text += ParseStringToken();
        }
    }

    std::string ParseStringToken() {
        std::string text;
        while (Peek() == '\'' || Peek() == '#') {
            if (Peek() == '\'')
                ParseQuoted(text);
            else
                ParseCharCode(text);
        }
        return text;
    }

    void ParseQuoted(std::string& text) {
        Advance();  // opening quote
        for (;;) {
            if (AtEnd() || Peek() == '\r' || Peek() == '\n') Fail("Unterminated string");
            const char c = Peek();
            Advance();
            if (c != '\'') {
                text += c;
            } else if (Peek() == '\'') {
                Advance();
                text += '\'';
            } else {
                return;
            }
        }
    }

    // #13 or #$0D: up to 255 a byte as it stands, above that a character
    // written out in UTF-8 (the process's code page). A character beyond the
    // basic plane comes as two codes, a surrogate pair, joined into one.
    void ParseCharCode(std::string& text) {
        std::uint32_t code = ReadCharCode();
        if (IsLowSurrogate(code)) Fail("Invalid character code");
        if (IsHighSurrogate(code)) {
            const std::uint32_t low = Peek() == '#' ? ReadCharCode() : 0;
            if (!IsLowSurrogate(low)) Fail("Invalid character code");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendCode(text, code);
    }

    std::uint32_t ReadCharCode() {
        Advance();  // '#'
        std::uint32_t code = 0;
        const bool hex = Peek() == '$';
        if (hex) Advance();
        const unsigned base = hex ? 16 : 10;
        int digits = 0;
        for (int d; (d = hex ? HexValue(Peek()) : (IsDigit(Peek()) ? Peek() - '0' : -1)) >= 0;
             ++digits) {
            code = code * base + static_cast<std::uint32_t>(d);
            if (code > MaxCodePoint) Fail("Invalid character code");
            Advance();
        }
        if (digits == 0) Fail("Invalid character code");
        return code;
    }

    void AppendCode(std::string& text, std::uint32_t code) {
        if (code <= 0xFF) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (code >> 18));
            text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // 12, -12, $7F (all 64 bits may be given: $FFFFFFFFFFFFFFFF is -1),
    // 1.5, -2.5E-3. A minus before a name keeps the name (-Inf).
    void ParseNumber(TFormValue& value) {
        const size_t start = pos_;
        const bool negative = Peek() == '-';
        if (negative) {
            Advance();
            if (AtIdentStart()) {
                value.Type = TFormValue::fvIdent;
                value.Text = "-" + ReadIdent();
                return;
            }
        }
        if (Peek() == '$') {
            Advance();
            value.Type = TFormValue::fvInteger;
            const std::uint64_t bits = ParseHexDigits();
            value.Integer = static_cast<std::int64_t>(negative ? 0 - bits : bits);
        } else {
            ParseDecimal(value, start);
            ParseFloatTypeLetter(value);
        }
        if (AtIdentChar() || Peek() == '.') Fail("Invalid number");
    }

    // 36526d, 25000c, 1.5s: the letter makes the number a float of its kind.
    void ParseFloatTypeLetter(TFormValue& value) {
        const auto type = FloatTypeLetter(Peek());
        if (!type || IdentCharLength(text_, pos_ + 1, false) > 0 || Peek(1) == '.') return;
        Advance();
        if (value.Type == TFormValue::fvInteger) {
            value.Float = static_cast<double>(value.Integer);
            value.Integer = 0;
        }
        value.Type = TFormValue::fvFloat;
        value.FloatType = *type;
    }

    std::uint64_t ParseHexDigits() {
        std::uint64_t bits = 0;
        int digits = 0;
        for (int d; (d = HexValue(Peek())) >= 0; ++digits) {
            if (bits > (UINT64_MAX >> 4)) Fail("Number out of range");
            bits = (bits << 4) | static_cast<std::uint64_t>(d);
            Advance();
        }
        if (digits == 0) Fail("Invalid number");
        return bits;
    }

    void ParseDecimal(TFormValue& value, size_t start) {
        if (!IsDigit(Peek())) Fail("Invalid number");
        while (IsDigit(Peek())) Advance();
        bool isFloat = false;
        if (Peek() == '.' && IsDigit(Peek(1))) {
            isFloat = true;
            Advance();
            while (IsDigit(Peek())) Advance();
        }
        if ((Peek() == 'e' || Peek() == 'E') &&
            (IsDigit(Peek(1)) || ((Peek(1) == '+' || Peek(1) == '-') && IsDigit(Peek(2))))) {
            isFloat = true;
            Advance();
            if (Peek() == '+' || Peek() == '-') Advance();
            while (IsDigit(Peek())) Advance();
        }
        const char* first = text_.data() + start;
        const char* last = text_.data() + pos_;
        std::from_chars_result result;
        if (isFloat) {
            value.Type = TFormValue::fvFloat;
            result = std::from_chars(first, last, value.Float);
        } else {
            value.Type = TFormValue::fvInteger;
            result = std::from_chars(first, last, value.Integer);
        }
        if (result.ec != std::errc() || result.ptr != last) Fail("Number out of range");
    }

    void ParseSet(TFormValue& value) {
        Advance();  // '['
        SkipBlanks();
        if (Peek() == ']') {
            Advance();
            return;
        }
        for (;;) {
            SkipBlanks();
            value.Names.push_back(ReadIdent());
            SkipBlanks();
            if (Peek() == ']') {
                Advance();
                return;
            }
            if (Peek() != ',') Fail("']' expected");
            Advance();
        }
    }

    // Lists and collections count as a level only for what they hold, so an
    // empty `()` or `<>` is as deep as the property it belongs to: the
    // writer's count of levels is the same.
    void ParseList(TFormValue& value) {
        Advance();  // '('
        for (;;) {
            SkipBlanks();
            if (AtEnd()) Fail("')' expected");
            if (Peek() == ')') {
                Advance();
                return;
            }
            NestingGuard guard(*this);
            value.Items.push_back(ParseValue());
        }
    }

    void ParseCollection(TFormValue& value) {
        Advance();  // '<'
        for (;;) {
            SkipBlanks();
            if (Peek() == '>') {
                Advance();
                return;
            }
            if (AtEnd() || !AtIdentStart()) Fail("'>' expected");
            NestingGuard guard(*this);
            TFormItem item;
            item.Line = line_;
            if (!SameWord(ReadIdent(), "item")) Fail("'item' expected");
            SkipBlanks();
            if (Peek() == '[') ParseOrderModifier();
            ParseItemBody(item);
            value.Elements.push_back(std::move(item));
        }
    }

    void ParseItemBody(TFormItem& item) {
        for (;;) {
            SkipBlanks();
            if (AtEnd()) Fail("'end' expected");
            const int line = line_;
            if (!AtIdentStart()) Fail("Identifier expected");
            const std::string name = ReadDottedIdent();
            if (SameWord(name, "end")) return;
            item.Properties.push_back(ParseProperty(name, line));
        }
    }

    // Hexadecimal digits, two per byte, with line breaks anywhere between bytes.
    void ParseBinary(TFormValue& value) {
        Advance();  // '{'
        for (;;) {
            SkipBlanks();
            if (AtEnd()) Fail("'}' expected");
            if (Peek() == '}') {
                Advance();
                return;
            }
            const int high = HexValue(Peek());
            const int low = HexValue(Peek(1));
            if (high < 0 || low < 0) Fail("Invalid binary value");
            Advance();
            Advance();
            value.Bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
    int depth_ = 0;
};

}  // namespace

TFormObject ParseForm(std::string_view text) {
    return FormTextParser(text).ParseRoot();
}

}  // namespace zr
