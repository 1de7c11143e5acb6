// JSON as the crash collector's envelopes carry it: strings quoted so that
// any bytes (a message in a legacy code page, a control character) become
// valid UTF-8 JSON, and a small reader for what the suite reads back (the
// outbox listing, an envelope's header). The reader refuses nesting deeper
// than 64 and never reads past the text it was given.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zr::os::json {

// `text` as a JSON string with its quotes; bytes that are not UTF-8 become
// U+FFFD, control characters \u escapes.
std::string Quoted(std::string_view text);
// Appends Quoted(text) to `out` without a temporary.
void AppendQuoted(std::string& out, std::string_view text);

struct TValue {
    enum TKind { Null, Bool, Number, String, Array, Object };
    TKind Kind = Null;
    bool Boolean = false;
    double Num = 0;
    std::string Text;  // a string's value, or a number as written
    std::vector<TValue> Items;
    std::vector<std::pair<std::string, TValue>> Members;

    // The member `key` of an object; null when absent or not an object.
    const TValue* Find(std::string_view key) const;
    // The string member `key`, or "" when there is none.
    std::string StringAt(std::string_view key) const;
};

// Reads exactly one JSON value from `text` (blanks around it allowed).
// False with a short reason in `error` when the text is not JSON.
bool Parse(std::string_view text, TValue& value, std::string* error = nullptr);

}  // namespace zr::os::json
