// The text form format as a small syntax tree, before any class is looked at:
//
//   object frmMain: TfrmMain
//     Caption = 'Hello'#13#10 +
//       'world'
//     Font.Style = [fsBold]
//     Lines.Strings = (
//       'one'
//       'two')
//     Items = <
//       item
//         Width = 10
//       end>
//     Picture.Data = {0A1B}
//     object btnOK: TButton
//       OnClick = btnOKClick
//     end
//   end
//
// Parsing the whole text first means a syntax error is reported before any
// component exists, so a broken file never leaves half a form behind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FloatType.h"

namespace zr {

struct TFormItem;

// One value as written; the reader gives it its meaning from the kind of the
// property it is assigned to.
struct TFormValue {
    enum Kind { fvInteger, fvFloat, fvString, fvIdent, fvSet, fvList, fvCollection, fvBinary };

    Kind Type = fvInteger;
    int Line = 0;
    std::int64_t Integer = 0;
    double Float = 0;
    // fvFloat: plain, or marked by its letter as a single, currency or
    // date-time value (an integer with a letter is a float of that kind).
    TFloatType FloatType = TFloatType::Double;
    std::string Text;                 // fvString (the joined pieces), fvIdent (dotted names kept)
    std::vector<std::string> Names;   // fvSet
    std::vector<TFormValue> Items;    // fvList
    std::vector<TFormItem> Elements;  // fvCollection
    std::vector<std::uint8_t> Bytes;  // fvBinary
};

// `Name = value`; Name may be a dotted path through sub-objects.
struct TFormProperty {
    std::string Name;
    TFormValue Value;
    int Line = 0;
};

// One `item ... end` of a collection.
struct TFormItem {
    std::vector<TFormProperty> Properties;
    int Line = 0;
};

struct TFormObject {
    // `object` makes a component; `inherited` and `inline` name one that the
    // ancestor's form already made.
    enum Flavor { foObject, foInherited, foInline };

    Flavor Kind = foObject;
    std::string Name;  // may be empty
    std::string ClassName;
    int Index = -1;  // the optional `[n]` after the class, -1 when absent
    int Line = 0;
    std::vector<TFormProperty> Properties;
    std::vector<TFormObject> Children;
};

// Objects, lists and collections nest at most this deep, so a hostile file
// cannot exhaust the stack.
constexpr int MaxFormNesting = 256;

// Parses a whole form text (one root object, nothing but blanks after it).
// Any syntax error raises EParserError "<what> on line <n>".
TFormObject ParseForm(std::string_view text);

}  // namespace zr
