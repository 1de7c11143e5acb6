#include "exception/KVMapInlined.h"

#include <algorithm>
#include <limits>

namespace zr {

using namespace mapinlined;

namespace {

constexpr size_t kLargestLine = 999999;

bool ReadHex8(std::string_view& text, std::uint32_t& value) {
    if (text.size() < 8) return false;
    value = 0;
    for (size_t i = 0; i < 8; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    text.remove_prefix(8);
    return true;
}

bool ReadDecimal(std::string_view& text, std::uint64_t limit, std::uint32_t& value) {
    size_t i = 0;
    std::uint64_t number = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        number = number * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (number > limit) return false;
    }
    if (i == 0) return false;
    value = static_cast<std::uint32_t>(number);
    text.remove_prefix(i);
    return true;
}

bool Skip(std::string_view& text, std::string_view expected) {
    if (!text.starts_with(expected)) return false;
    text.remove_prefix(expected.size());
    return true;
}

}  // namespace

TInlinedFrameView TKVMapInlined::TChain::operator[](size_t k) const {
    if (owner_ == nullptr || k >= count_) return {};
    const TFrame& frame = owner_->frames_[first_ + k];
    return {owner_->names_[frame.Unit], owner_->names_[frame.Procedure], frame.Line};
}

void TKVMapInlined::Clear() {
    names_.clear();
    frames_.clear();
    stretches_.clear();
}

void TKVMapInlined::AddLine(std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (Skip(line, kInlineNamePrefix))
        AddName(line);
    else if (Skip(line, kInlineCodePrefix))
        AddCode(line);
}

// Numbered in order: a number out of turn is passed over, so a damaged map
// can never make the reader reserve room for names it does not hold.
bool TKVMapInlined::AddName(std::string_view rest) {
    std::uint32_t number = 0;
    if (!ReadDecimal(rest, std::numeric_limits<std::uint32_t>::max(), number) ||
        number != names_.size() || !Skip(rest, " "))
        return false;
    names_.emplace_back(rest);
    return true;
}

bool TKVMapInlined::AddCode(std::string_view rest) {
    TStretch stretch;
    std::uint32_t length = 0;
    if (!Skip(rest, "0001:") || !ReadHex8(rest, stretch.Start) || !Skip(rest, " ") ||
        !ReadHex8(rest, length) || length == 0 || stretch.Start > UINT32_MAX - length)
        return false;
    stretch.End = stretch.Start + length;
    stretch.First = static_cast<std::uint32_t>(frames_.size());
    const size_t limit = names_.empty() ? 0 : names_.size() - 1;
    while (Skip(rest, " ")) {
        TFrame frame;
        std::uint32_t line = 0;
        if (stretch.Count == kDeepestChain || !ReadDecimal(rest, limit, frame.Procedure) ||
            !Skip(rest, "@") || !ReadDecimal(rest, limit, frame.Unit) || !Skip(rest, ":") ||
            !ReadDecimal(rest, kLargestLine, line) || names_.empty()) {
            frames_.resize(stretch.First);
            return false;
        }
        frame.Line = static_cast<int>(line);
        frames_.push_back(frame);
        ++stretch.Count;
    }
    if (!rest.empty() || stretch.Count == 0) {
        frames_.resize(stretch.First);
        return false;
    }
    stretches_.push_back(stretch);
    return true;
}

// Where stretches overlap (a damaged map), the one starting first keeps the code.
void TKVMapInlined::Finish() {
    std::stable_sort(stretches_.begin(), stretches_.end(),
                     [](const TStretch& a, const TStretch& b) { return a.Start < b.Start; });
    std::vector<TStretch> kept;
    kept.reserve(stretches_.size());
    for (const TStretch& s : stretches_)
        if (kept.empty() || s.Start >= kept.back().End) kept.push_back(s);
    stretches_ = std::move(kept);
}

TKVMapInlined::TChain TKVMapInlined::At(std::uint32_t codeOffset) const {
    TChain chain;
    auto past = std::upper_bound(
        stretches_.begin(), stretches_.end(), codeOffset,
        [](std::uint32_t offset, const TStretch& s) { return offset < s.Start; });
    if (past == stretches_.begin() || codeOffset >= (past - 1)->End) return chain;
    chain.owner_ = this;
    chain.first_ = (past - 1)->First;
    chain.count_ = (past - 1)->Count;
    return chain;
}

}  // namespace zr
