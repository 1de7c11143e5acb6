#include "platform/RegistrySnapshot.h"

namespace zr::os::regstore {

namespace {

// FNV-1a over the name in lower case, so that spellings meet.
std::uint64_t NameHash(std::string_view name) {
    std::uint64_t hash = 1469598103934665603ull;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    return hash;
}

std::string_view WithoutBreak(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace

std::optional<TValueSnapshot> TValueSnapshot::Parse(std::string text) {
    TValueSnapshot snapshot;
    snapshot.text_ = std::move(text);
    std::string_view all = snapshot.text_;
    for (std::size_t begin = 0; begin < all.size();) {
        std::size_t end = all.find('\n', begin);
        end = end == std::string_view::npos ? all.size() : end + 1;
        std::string_view line = WithoutBreak(all.substr(begin, end - begin));
        if (!line.empty() && line.front() != '#') {
            auto value = ParseValueLine(line);
            if (!value) return std::nullopt;
            snapshot.lines_.push_back({begin, end - begin, NameHash(value->Name)});
        }
        begin = end;
    }
    snapshot.Index();
    return snapshot;
}

std::string_view TValueSnapshot::LineText(std::size_t position) const {
    const TLine& line = lines_[position];
    return WithoutBreak(std::string_view(text_).substr(line.Begin, line.Length));
}

std::string TValueSnapshot::NameAt(std::size_t position) const {
    std::string_view line = LineText(position);
    return ParseValueName(line).value_or(std::string());
}

TStoredValue TValueSnapshot::At(std::size_t position) const {
    // Every line was checked when the text was read or made.
    return ParseValueLine(LineText(position)).value_or(TStoredValue{});
}

void TValueSnapshot::Index() {
    std::size_t size = 16;
    while (size < lines_.size() * 2) size *= 2;
    slots_.assign(size, 0);
    for (std::size_t i = 0; i < lines_.size(); ++i) Insert(i);
}

void TValueSnapshot::Insert(std::size_t position) {
    std::size_t mask = slots_.size() - 1;
    std::size_t at = lines_[position].NameHash & mask;
    while (slots_[at] != 0) at = (at + 1) & mask;
    slots_[at] = static_cast<std::uint32_t>(position + 1);
}

std::size_t TValueSnapshot::Find(std::string_view name) const {
    if (slots_.empty()) return NotFound;
    std::uint64_t hash = NameHash(name);
    std::size_t mask = slots_.size() - 1;
    // Lines are indexed in file order, so the first of two equal names is
    // met first.
    for (std::size_t at = hash & mask; slots_[at] != 0; at = (at + 1) & mask) {
        std::size_t position = slots_[at] - 1;
        if (lines_[position].NameHash == hash && SameName(NameAt(position), name)) return position;
    }
    return NotFound;
}

TValueSnapshot TValueSnapshot::WithValue(std::string_view name, DWORD type,
                                         std::vector<BYTE> data) const {
    TValueSnapshot next;
    std::size_t position = Find(name);
    std::string line;
    if (position == NotFound) {
        AppendValueLine(line, {std::string(name), type, std::move(data)});
        next.text_ = text_.empty() ? std::string(ValuesFileHeader) : text_;
        if (next.text_.back() != '\n') next.text_ += '\n';
        next.lines_ = lines_;
        next.lines_.push_back({next.text_.size(), line.size(), NameHash(name)});
        next.text_ += line;
        next.slots_ = slots_;
        if (next.lines_.size() * 2 > next.slots_.size())
            next.Index();
        else
            next.Insert(next.lines_.size() - 1);
        return next;
    }
    AppendValueLine(line, {NameAt(position), type, std::move(data)});
    const TLine& old = lines_[position];
    next.text_.reserve(text_.size() - old.Length + line.size());
    next.text_.append(text_, 0, old.Begin).append(line).append(text_, old.Begin + old.Length);
    next.lines_ = lines_;
    next.lines_[position].Length = line.size();
    auto shift = static_cast<std::ptrdiff_t>(line.size()) - static_cast<std::ptrdiff_t>(old.Length);
    for (std::size_t i = position + 1; i < next.lines_.size(); ++i)
        next.lines_[i].Begin =
            static_cast<std::size_t>(static_cast<std::ptrdiff_t>(next.lines_[i].Begin) + shift);
    next.slots_ = slots_;  // the names and their positions are unchanged
    return next;
}

std::optional<TValueSnapshot> TValueSnapshot::Without(std::string_view name) const {
    if (Find(name) == NotFound) return std::nullopt;
    TValueSnapshot next;
    next.text_.reserve(text_.size());
    std::size_t copied = 0;
    std::uint64_t hash = NameHash(name);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const TLine& line = lines_[i];
        bool drop = line.NameHash == hash && SameName(NameAt(i), name);
        next.text_.append(text_, copied, line.Begin - copied);
        copied = line.Begin + line.Length;
        if (!drop) {
            next.lines_.push_back({next.text_.size(), line.Length, line.NameHash});
            next.text_.append(text_, line.Begin, line.Length);
        }
    }
    next.text_.append(text_, copied);
    next.Index();
    return next;
}

}  // namespace zr::os::regstore
