#include "platform/JsonText.h"

#include <cstdio>
#include <cstdlib>

namespace zr::os::json {

namespace {

// The length of the well-formed UTF-8 sequence at `p`, or 0.
size_t Utf8Length(const unsigned char* p, size_t left) {
    const unsigned char c = p[0];
    size_t length = 0;
    unsigned min = 0;
    unsigned code = 0;
    if (c >= 0xC2 && c <= 0xDF) length = 2, code = c & 0x1F, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF) length = 3, code = c & 0x0F, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) length = 4, code = c & 0x07, min = 0x10000;
    else return 0;
    if (left < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = code << 6 | (p[i] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

class TReader {
  public:
    explicit TReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    bool Document(TValue& value) {
        if (!Value(value, 0)) return false;
        Blanks();
        return p_ == end_ || Fail("text after the value");
    }
    std::string error;

  private:
    bool Fail(const char* why) {
        if (error.empty()) error = why;
        return false;
    }
    void Blanks() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool Literal(std::string_view word) {
        if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
            return Fail("unknown word");
        p_ += word.size();
        return true;
    }
    bool Value(TValue& value, int depth) {
        if (depth > 64) return Fail("nested too deeply");
        Blanks();
        if (p_ == end_) return Fail("value missing");
        switch (*p_) {
            case '{':
                return ObjectValue(value, depth);
            case '[':
                return ArrayValue(value, depth);
            case '"':
                value.Kind = TValue::String;
                return StringValue(value.Text);
            case 't':
                value.Kind = TValue::Bool, value.Boolean = true;
                return Literal("true");
            case 'f':
                value.Kind = TValue::Bool;
                return Literal("false");
            case 'n':
                return Literal("null");
            default:
                return NumberValue(value);
        }
    }
    bool NumberValue(TValue& value) {
        const char* start = p_;
        if (p_ < end_ && *p_ == '-') ++p_;
        const char* digits = p_;
        while (p_ < end_ && ((*p_ >= '0' && *p_ <= '9') || *p_ == '.' || *p_ == 'e' ||
                             *p_ == 'E' || *p_ == '+' || *p_ == '-'))
            ++p_;
        if (p_ == digits || *digits < '0' || *digits > '9') return Fail("not a value");
        value.Kind = TValue::Number;
        value.Text.assign(start, p_);
        char* stop = nullptr;
        value.Num = std::strtod(value.Text.c_str(), &stop);
        return *stop == '\0' || Fail("malformed number");
    }
    bool Hex4(unsigned& code) {
        if (end_ - p_ < 4) return Fail("short \\u escape");
        code = 0;
        for (int i = 0; i < 4; ++i, ++p_) {
            const char c = *p_;
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) return Fail("bad \\u escape");
            code = code << 4 | static_cast<unsigned>(digit);
        }
        return true;
    }
    static void PutUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool Escape(std::string& out) {
        if (p_ == end_) return Fail("unfinished escape");
        const char c = *p_++;
        switch (c) {
            case '"': case '\\': case '/': out += c; return true;
            case 'b': out += '\b'; return true;
            case 'f': out += '\f'; return true;
            case 'n': out += '\n'; return true;
            case 'r': out += '\r'; return true;
            case 't': out += '\t'; return true;
            case 'u': break;
            default: return Fail("unknown escape");
        }
        unsigned code = 0;
        if (!Hex4(code)) return false;
        if (code >= 0xD800 && code <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
            p_ += 2;
            unsigned low = 0;
            if (!Hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("unpaired surrogate");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            return Fail("unpaired surrogate");
        }
        PutUtf8(out, code);
        return true;
    }
    bool StringValue(std::string& out) {
        ++p_;  // the opening quote
        out.clear();
        while (p_ < end_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') return ++p_, true;
            if (c < 0x20) return Fail("control character in a string");
            if (c == '\\') {
                ++p_;
                if (!Escape(out)) return false;
                continue;
            }
            const size_t length = c < 0x80 ? 1 : Utf8Length(reinterpret_cast<const unsigned char*>(p_),
                                                            static_cast<size_t>(end_ - p_));
            if (length == 0) return Fail("not UTF-8");
            out.append(p_, length);
            p_ += length;
        }
        return Fail("unfinished string");
    }
    bool ArrayValue(TValue& value, int depth) {
        ++p_;
        value.Kind = TValue::Array;
        Blanks();
        if (p_ < end_ && *p_ == ']') return ++p_, true;
        for (;;) {
            value.Items.emplace_back();
            if (!Value(value.Items.back(), depth + 1)) return false;
            Blanks();
            if (p_ == end_) return Fail("unfinished array");
            if (*p_ == ']') return ++p_, true;
            if (*p_++ != ',') return Fail("',' or ']' expected");
        }
    }
    bool ObjectValue(TValue& value, int depth) {
        ++p_;
        value.Kind = TValue::Object;
        Blanks();
        if (p_ < end_ && *p_ == '}') return ++p_, true;
        for (;;) {
            Blanks();
            if (p_ == end_ || *p_ != '"') return Fail("member name expected");
            std::string key;
            if (!StringValue(key)) return false;
            Blanks();
            if (p_ == end_ || *p_++ != ':') return Fail("':' expected");
            value.Members.emplace_back(std::move(key), TValue{});
            if (!Value(value.Members.back().second, depth + 1)) return false;
            Blanks();
            if (p_ == end_) return Fail("unfinished object");
            if (*p_ == '}') return ++p_, true;
            if (*p_++ != ',') return Fail("',' or '}' expected");
        }
    }

    const char* p_;
    const char* end_;
};

}  // namespace

void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\', out += static_cast<char>(c), ++i;
        } else if (c == '\n') {
            out += "\\n", ++i;
        } else if (c == '\r') {
            out += "\\r", ++i;
        } else if (c == '\t') {
            out += "\\t", ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape, ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c), ++i;
        } else if (const size_t length = Utf8Length(p + i, size - i); length > 0) {
            out.append(text.data() + i, length), i += length;
        } else {
            out += "\xEF\xBF\xBD", ++i;
        }
    }
    out += '"';
}

std::string Quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    AppendQuoted(out, text);
    return out;
}

const TValue* TValue::Find(std::string_view key) const {
    if (Kind != Object) return nullptr;
    for (const auto& [name, member] : Members)
        if (name == key) return &member;
    return nullptr;
}

std::string TValue::StringAt(std::string_view key) const {
    const TValue* member = Find(key);
    return member != nullptr && member->Kind == String ? member->Text : std::string();
}

bool Parse(std::string_view text, TValue& value, std::string* error) {
    value = TValue{};
    TReader reader(text);
    if (reader.Document(value)) return true;
    if (error != nullptr) *error = reader.error;
    return false;
}

}  // namespace zr::os::json
