// A values file as read: its text, where each value's line is, and an index
// of the names. A value is parsed from its line only when it is asked for,
// and a change makes the next file's text by replacing, adding or removing
// one line, so that a key of many values costs no more to query or set than
// its file costs to read or write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RegistryValues.h"

namespace zr::os::regstore {

class TValueSnapshot {
  public:
    static constexpr std::size_t NotFound = static_cast<std::size_t>(-1);

    // Nothing when the text is not a values file (see ParseValues).
    static std::optional<TValueSnapshot> Parse(std::string text);

    std::size_t Count() const { return lines_.size(); }
    // The value at `position`, in file order.
    TStoredValue At(std::size_t position) const;
    // The position of the first value called `name` (ignoring case).
    std::size_t Find(std::string_view name) const;
    const std::string& Text() const { return text_; }

    // This file with `name` set to `type` and `data`: the first value of that
    // name keeps its place and spelling; a new one goes last.
    TValueSnapshot WithValue(std::string_view name, DWORD type, std::vector<BYTE> data) const;
    // This file without the values called `name`; nothing when there is none.
    std::optional<TValueSnapshot> Without(std::string_view name) const;

  private:
    struct TLine {
        std::size_t Begin = 0;
        std::size_t Length = 0;  // up to and with its line break
        std::uint64_t NameHash = 0;
    };

    std::string_view LineText(std::size_t position) const;
    std::string NameAt(std::size_t position) const;
    void Index();
    void Insert(std::size_t position);

    std::string text_;
    std::vector<TLine> lines_;
    // Open addressing over the lines' name hashes: position + 1, 0 when free.
    std::vector<std::uint32_t> slots_;
};

}  // namespace zr::os::regstore
