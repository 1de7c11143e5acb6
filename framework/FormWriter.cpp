#include "framework/FormWriter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "framework/Collection.h"
#include "framework/FormConsts.h"
#include "framework/FormParser.h"
#include "framework/Identifiers.h"
#include "framework/SysUtils.h"

namespace zr {

namespace {

// Long texts are cut into pieces of about this many bytes, one per line.
constexpr size_t PieceLength = 64;
// Bytes per line of a binary block.
constexpr size_t BytesPerLine = 32;

bool IsContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Cuts a text after each line feed and where a piece grows long, never inside
// a UTF-8 sequence, so that each piece stays readable on its own line.
std::vector<std::string> SplitText(const std::string& text) {
    std::vector<std::string> pieces;
    std::string piece;
    for (size_t i = 0; i < text.size(); ++i) {
        piece += text[i];
        const bool more = i + 1 < text.size();
        const bool midCharacter =
            more && IsContinuationByte(text[i + 1]) && piece.size() < PieceLength + 4;
        if (more && (text[i] == '\n' || (piece.size() >= PieceLength && !midCharacter))) {
            pieces.push_back(std::move(piece));
            piece.clear();
        }
    }
    pieces.push_back(std::move(piece));
    return pieces;
}

// A character beyond the basic plane as its two UTF-16 codes, the way form
// files have always carried such characters: #55357#56832.
std::string SurrogateCodes(char32_t code) {
    const char32_t offset = code - 0x10000;
    return '#' + std::to_string(0xD800 + (offset >> 10)) + '#' +
           std::to_string(0xDC00 + (offset & 0x3FF));
}

// 'It''s'#13#10'ok': printable bytes quoted, control characters as codes.
// Bytes above 127 stay as they are (UTF-8 text reads as text), but for the
// characters beyond the basic plane.
std::string Quote(const std::string& piece) {
    std::string result;
    bool open = false;
    for (size_t i = 0; i < piece.size(); ++i) {
        const char c = piece[i];
        const auto byte = static_cast<unsigned char>(c);
        size_t length = 0;
        const char32_t code = DecodeUtf8Sequence(piece, i, length);
        if (code >= 0x10000) {
            if (open) result += '\'';
            open = false;
            result += SurrogateCodes(code);
            i += length - 1;
        } else if (byte >= ' ' && byte != 127) {
            if (!open) result += '\'';
            open = true;
            result += c;
            if (c == '\'') result += '\'';
        } else {
            if (open) result += '\'';
            open = false;
            result += '#' + std::to_string(byte);
        }
    }
    if (open) result += '\'';
    return result.empty() ? "''" : result;
}

// The shortest digits that read back as the same value.
template <class F>
std::string ShortestDigits(F value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// A plain double always has a point or an exponent so that it reads as a
// floating-point number; the other kinds carry their letter instead
// (36526d, 25000c, 1.5s). NaN and the infinities have names, no kind.
std::string FormatFloat(double value, TFloatType type) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Inf" : "Inf";
    switch (type) {
        case TFloatType::Single:
            return ShortestDigits(static_cast<float>(value)) + "s";
        case TFloatType::Currency:
            return ShortestDigits(value) + "c";
        case TFloatType::DateTime:
            return ShortestDigits(value) + "d";
        case TFloatType::Double:
            break;
    }
    std::string text = ShortestDigits(value);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string HexBytes(const std::uint8_t* data, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

class FormWriter {
  public:
    explicit FormWriter(const TComponent* root) : root_(const_cast<TComponent*>(root)) {}

    std::string Write() {
        WriteObject(root_, 0);
        return std::move(out_);
    }

  private:
    // Marks a component csWriting for as long as it is being written.
    class WritingScope {
      public:
        explicit WritingScope(TComponent* c)
            : c_(c), was_(c->ComponentState().Contains(csWriting)) {
            c_->SetComponentStateFlag(csWriting, true);
        }
        ~WritingScope() { c_->SetComponentStateFlag(csWriting, was_); }
        WritingScope(const WritingScope&) = delete;
        WritingScope& operator=(const WritingScope&) = delete;

      private:
        TComponent* c_;
        bool was_;
    };

    // One level of syntactic nesting (objects, collections, lists), counted
    // as the reader counts it: deeper text would not read back.
    class NestingScope {
      public:
        explicit NestingScope(FormWriter& w, const std::string& context) : w_(w) {
            if (++w_.depth_ > MaxFormNesting)
                throw EWriteError("Error writing " + context + ": nesting too deep");
        }
        ~NestingScope() { --w_.depth_; }
        NestingScope(const NestingScope&) = delete;
        NestingScope& operator=(const NestingScope&) = delete;

      private:
        FormWriter& w_;
    };

    void Line(int level, const std::string& text) {
        out_.append(static_cast<size_t>(level) * 2, ' ');
        out_ += text;
        out_ += '\n';
    }

    // Closes a block on the line written last: `'b')`, `end>`, `...}`.
    void CloseLastLine(char closer) {
        out_.pop_back();
        out_ += closer;
        out_ += '\n';
    }

    [[noreturn]] void Fail(const std::string& context, const std::string& what) {
        throw EWriteError("Error writing " + context + ": " + what);
    }

    // ---- objects -------------------------------------------------------------

    void WriteObject(TComponent* component, int level) {
        const std::string& name = component->Name();
        const std::string context = name.empty() ? component->ClassName() : name;
        NestingScope nesting(*this, context);
        WritingScope writing(component);
        Line(level, "object " + (name.empty() ? "" : name + ": ") + component->ClassName());
        WriteProperties(component, "", level + 1, context);
        std::vector<TComponent*> children;
        component->GetChildren([&](TComponent* child) { children.push_back(child); }, root_);
        for (TComponent* child : children) WriteObject(child, level + 1);
        Line(level, "end");
    }

    // ---- properties ----------------------------------------------------------

    void WriteProperties(TObject* obj, const std::string& prefix, int level,
                         const std::string& owner) {
        // A sub-object that (directly or not) holds itself is written once.
        if (std::find(path_.begin(), path_.end(), obj) != path_.end()) return;
        path_.push_back(obj);
        for (const TPropInfo* prop : obj->ClassInfo().AllProperties())
            if (IsStoredProp(obj, *prop))
                WriteProperty(obj, *prop, prefix + prop->Name, level, owner);
        path_.pop_back();
    }

    void WriteProperty(TObject* obj, const TPropInfo& prop, const std::string& name, int level,
                       const std::string& owner) {
        const std::string context = owner + "." + name;
        switch (prop.Kind) {
            case tkClass:
                return WriteObjectProp(obj, prop, name, level, owner);
            case tkStrings:
                return WriteLines(obj, prop, name, level, context);
            case tkBinary:
                return WriteBytes(obj, prop, name, level);
            case tkMethod:
                if (prop.GetMethodName && prop.SetMethodByName) {
                    const std::string method = prop.GetMethodName(obj);
                    if (!method.empty()) Line(level, name + " = " + method);
                }
                return;
            case tkString:
                if (prop.GetStr && prop.SetStr) WriteText(name, prop.GetStr(obj), level);
                return;
            case tkInteger:
            case tkFloat:
            case tkEnumeration:
            case tkSet:
                if (!prop.ReadOnly()) WriteScalar(obj, prop, name, level, context);
                return;
            case tkUnknown:
                return;
        }
    }

    void WriteScalar(TObject* obj, const TPropInfo& prop, const std::string& name, int level,
                     const std::string& context) {
        if (prop.Kind == tkFloat) {
            if (prop.GetFloat)
                Line(level, name + " = " + FormatFloat(prop.GetFloat(obj), prop.FloatType));
            return;
        }
        if (!prop.GetOrd) return;
        const std::int64_t value = prop.GetOrd(obj);
        if (prop.Kind == tkInteger) {
            const auto ident = IntegerToIdent(prop, value);
            Line(level, name + " = " + (ident ? *ident : std::to_string(value)));
        } else if (prop.Kind == tkEnumeration) {
            Line(level, name + " = " + EnumName(prop, value, context));
        } else {
            Line(level, name + " = " + SetText(prop, static_cast<std::uint64_t>(value), context));
        }
    }

    std::string EnumName(const TPropInfo& prop, std::int64_t value, const std::string& context) {
        const std::string text = prop.EnumType ? GetEnumName(*prop.EnumType, value) : "";
        if (text.empty()) Fail(context, "value " + std::to_string(value) + " has no name");
        return text;
    }

    std::string SetText(const TPropInfo& prop, std::uint64_t mask, const std::string& context) {
        std::string text = "[";
        for (int bit = 0; bit < 64 && mask; ++bit) {
            if (!(mask & (std::uint64_t{1} << bit))) continue;
            mask &= ~(std::uint64_t{1} << bit);
            if (text.size() > 1) text += ", ";
            text += EnumName(prop, bit, context);
        }
        return text + "]";
    }

    // `Name = 'short'`, or the pieces of a long text on the lines below,
    // joined by `+`.
    void WriteText(const std::string& name, const std::string& text, int level) {
        const std::vector<std::string> pieces = SplitText(text);
        if (pieces.size() == 1) return Line(level, name + " = " + Quote(text));
        Line(level, name + " =");
        WritePieces(pieces, level + 1);
    }

    void WritePieces(const std::vector<std::string>& pieces, int level) {
        for (size_t i = 0; i < pieces.size(); ++i)
            Line(level, Quote(pieces[i]) + (i + 1 < pieces.size() ? " +" : ""));
    }

    // A list published as `Lines` is written as `Lines.Strings`, the name its
    // TStrings object gives it; a property named Strings keeps its name.
    void WriteLines(TObject* obj, const TPropInfo& prop, const std::string& name, int level,
                    const std::string& context) {
        if (!prop.GetLines || !prop.SetLines) return;
        const std::vector<std::string> lines = prop.GetLines(obj);
        if (lines.empty()) return;
        NestingScope nesting(*this, context);
        const bool named = name == "Strings" || (name.size() > 8 && name.ends_with(".Strings"));
        Line(level, (named ? name : name + ".Strings") + " = (");
        for (const std::string& line : lines) WritePieces(SplitText(line), level + 1);
        CloseLastLine(')');
    }

    void WriteBytes(TObject* obj, const TPropInfo& prop, const std::string& name, int level) {
        if (!prop.GetBytes || !prop.SetBytes) return;
        const std::vector<std::uint8_t> bytes = prop.GetBytes(obj);
        if (bytes.empty()) return;
        Line(level, name + " = {");
        for (size_t at = 0; at < bytes.size(); at += BytesPerLine)
            Line(level + 1, HexBytes(bytes.data() + at, std::min(BytesPerLine, bytes.size() - at)));
        CloseLastLine('}');
    }

    // A component is named (it is written as an object of its own form);
    // a collection is written item by item; any other persistent object is
    // written through its own properties, `Sub.Prop = value`.
    void WriteObjectProp(TObject* obj, const TPropInfo& prop, const std::string& name, int level,
                         const std::string& owner) {
        TObject* value = prop.GetObject ? prop.GetObject(obj) : nullptr;
        if (!value) return;
        if (auto* component = dynamic_cast<TComponent*>(value)) {
            const std::string reference = ReferenceName(component);
            if (prop.SetObject && !reference.empty()) Line(level, name + " = " + reference);
        } else if (auto* collection = dynamic_cast<TCollection*>(value)) {
            WriteCollection(*collection, name, level, owner + "." + name);
        } else {
            WriteProperties(value, name + ".", level, owner);
        }
    }

    void WriteCollection(TCollection& collection, const std::string& name, int level,
                         const std::string& context) {
        if (collection.Count() == 0) return Line(level, name + " = <>");
        NestingScope nesting(*this, context);
        Line(level, name + " = <");
        for (int i = 0; i < collection.Count(); ++i) {
            Line(level + 1, "item");
            WriteProperties(collection.Items(i), "", level + 2,
                            context + "[" + std::to_string(i) + "]");
            Line(level + 1, "end");
        }
        CloseLastLine('>');
    }

    // The form's own components by their path from the form; a component
    // held by one of the form's owners (another form) as "Form2.Edit1", the
    // way the reader looks it up. A component the reader could not find from
    // this form (unnamed, or outside its owners) is left out.
    std::string ReferenceName(const TComponent* component) const {
        if (component == root_) return root_->Name();
        std::string path = component->Name();
        for (const TComponent* o = component->Owner(); !path.empty(); o = o->Owner()) {
            if (!o) return "";
            if (o == root_ && SameText(path.substr(0, path.find('.')), root_->Name()))
                return root_->Name() + "." + path;  // the reader takes the bare name for the form
            if (o == root_ || HoldsRoot(o)) return path;
            path = o->Name().empty() ? "" : o->Name() + "." + path;
        }
        return path;
    }

    bool HoldsRoot(const TComponent* component) const {
        for (const TComponent* o = root_->Owner(); o; o = o->Owner())
            if (o == component) return true;
        return false;
    }

    TComponent* root_;
    std::string out_;
    std::vector<const TObject*> path_;
    int depth_ = 0;
};

}  // namespace

std::string WriteComponentToText(const TComponent* root) {
    if (!root) throw EWriteError("No component to write");
    return FormWriter(root).Write();
}

}  // namespace zr
