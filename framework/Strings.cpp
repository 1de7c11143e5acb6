#include "framework/Strings.h"

#include <string_view>

#include "framework/Exceptions.h"
#include "framework/FileStream.h"
#include "framework/SysUtils.h"
#include "framework/TypeInfo.h"

namespace zr {

ZR_REGISTER_CLASS(TStrings, c) {
    c.Property(
         "Strings", [](const TStrings& s) { return s.ToVector(); },
         [](TStrings& s, const std::vector<std::string>& lines) { s.SetFromVector(lines); })
        .Stored(&TStrings::StringsStored);
}

ZR_REGISTER_CLASS(TStringList, c) {}

// ---- TStrings -------------------------------------------------------------

int TStrings::Add(const std::string& value) {
    int index = Count();
    Insert(index, value);
    return index;
}

void TStrings::AddStrings(const TStrings& source) {
    BeginUpdate();
    try {
        // Count read once: adding a list to itself doubles it instead of looping.
        for (int i = 0, n = source.Count(); i < n; ++i) Add(source.Strings(i));
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

int TStrings::IndexOf(const std::string& value) const {
    for (int i = 0, n = Count(); i < n; ++i)
        if (SameText(Get(i), value)) return i;
    return -1;
}

bool TStrings::SameText(const std::string& a, const std::string& b) const {
    return ::zr::SameText(a, b);
}

void TStrings::Put(int index, const std::string& value) {
    BeginUpdate();
    try {
        Delete(index);
        Insert(index, value);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TStrings::IndexError(int index) const {
    throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
}

std::string TStrings::Text() const {
    std::string text;
    for (int i = 0, n = Count(); i < n; ++i) {
        text += Get(i);
        text += "\r\n";
    }
    return text;
}

namespace {

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
    }
    return lines;
}

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

bool NeedsQuotes(const std::string& item) {
    if (item.empty()) return true;
    for (char c : item)
        if (IsBlank(c) || c == ',' || c == '"') return true;
    return false;
}

std::string Quoted(const std::string& item) {
    std::string out = "\"";
    for (char c : item) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

// Reads a double-quoted item starting at text[i] == '"'; an unterminated
// quote takes the rest of the text.
std::string ReadQuoted(std::string_view text, std::size_t& i) {
    std::string item;
    for (++i; i < text.size(); ++i) {
        if (text[i] != '"') {
            item += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            item += '"';
            ++i;
        } else {
            ++i;
            break;
        }
    }
    return item;
}

}  // namespace

void TStrings::SetText(const std::string& value) {
    SetFromVector(SplitLines(value));
}

std::string TStrings::CommaText() const {
    int n = Count();
    if (n == 1 && Get(0).empty()) return "\"\"";
    std::string text;
    for (int i = 0; i < n; ++i) {
        if (i > 0) text += ',';
        std::string item = Get(i);
        text += NeedsQuotes(item) ? Quoted(item) : item;
    }
    return text;
}

void TStrings::SetCommaText(const std::string& value) {
    std::vector<std::string> items;
    std::string_view text = value;
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && IsBlank(text[i])) ++i;
    };
    skipBlanks();
    while (i < text.size()) {
        if (text[i] == '"') {
            items.push_back(ReadQuoted(text, i));
        } else {
            std::size_t start = i;
            while (i < text.size() && text[i] != ',' && !IsBlank(text[i])) ++i;
            items.emplace_back(text.substr(start, i - start));
        }
        skipBlanks();
        if (i < text.size() && text[i] == ',') {
            ++i;
            skipBlanks();
            if (i == text.size()) items.emplace_back();  // "a," holds an empty last item
        }
    }
    SetFromVector(items);
}

void TStrings::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(stream);
}

void TStrings::SaveToFile(const std::string& fileName) const {
    TFileStream stream(fileName, fmCreate);
    SaveToStream(stream);
}

void TStrings::LoadFromStream(TStream& stream) {
    std::int64_t size = stream.Size() - stream.Position();
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    text.resize(static_cast<std::size_t>(stream.Read(text.data(), size)));
    SetText(text);
}

void TStrings::SaveToStream(TStream& stream) const {
    std::string text = Text();
    stream.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
}

std::vector<std::string> TStrings::ToVector() const {
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(Count()));
    for (int i = 0, n = Count(); i < n; ++i) lines.push_back(Get(i));
    return lines;
}

void TStrings::SetFromVector(const std::vector<std::string>& lines) {
    BeginUpdate();
    try {
        Clear();
        for (const std::string& line : lines) Add(line);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TStrings::BeginUpdate() {
    if (updateCount_ == 0) SetUpdateState(true);
    ++updateCount_;
}

void TStrings::EndUpdate() {
    if (updateCount_ == 0) return;
    if (--updateCount_ == 0) SetUpdateState(false);
}

void TStrings::Assign(const TPersistent* source) {
    if (auto* lines = dynamic_cast<const TStrings*>(source)) {
        if (lines == this) return;
        SetFromVector(lines->ToVector());
        return;
    }
    TPersistent::Assign(source);
}

// ---- TStringList ----------------------------------------------------------

TStringList::~TStringList() {
    // No change events while dying: handlers must not see a half-destroyed list.
    onChange_ = {};
    onChanging_ = {};
}

std::string TStringList::Get(int index) const {
    if (index < 0 || index >= GetCount()) IndexError(index);
    return lines_[static_cast<std::size_t>(index)];
}

void TStringList::Put(int index, const std::string& value) {
    if (index < 0 || index >= GetCount()) IndexError(index);
    Changing();
    lines_[static_cast<std::size_t>(index)] = value;
    Changed();
}

void TStringList::Insert(int index, const std::string& value) {
    if (index < 0 || index > GetCount()) IndexError(index);
    Changing();
    lines_.insert(lines_.begin() + index, value);
    Changed();
}

void TStringList::Delete(int index) {
    if (index < 0 || index >= GetCount()) IndexError(index);
    Changing();
    lines_.erase(lines_.begin() + index);
    Changed();
}

void TStringList::Clear() {
    if (lines_.empty()) return;
    Changing();
    lines_.clear();
    Changed();
}

bool TStringList::SameText(const std::string& a, const std::string& b) const {
    return caseSensitive_ ? a == b : TStrings::SameText(a, b);
}

void TStringList::SetUpdateState(bool updating) {
    if (updating)
        Changing();
    else
        Changed();
}

void TStringList::Changing() {
    if (UpdateCount() == 0 && onChanging_) onChanging_(this);
}

void TStringList::Changed() {
    if (UpdateCount() == 0 && onChange_) onChange_(this);
}

}  // namespace zr
