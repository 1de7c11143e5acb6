// The inlined calls a map file records for optimised code: for each stretch
// of code, the functions inlined there, innermost first, each with its unit
// and the line it runs at. The section comes before the detailed segments,
// where a reader of the classic layout never looks, so every map stays
// readable by every reader:
//
//   Inlined calls
//   Inline name 0 std::vector<int, std::allocator<int> >::at(unsigned long) const
//   Inline name 1 stl_vector
//   Inline code 0001:SSSSSSSS LLLLLLLL 0@1:1145 5@6:33
//
// Names are numbered in order and named before they are used; each frame is
// procedure@unit:line. A line that does not parse is passed over whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zr {

namespace mapinlined {
inline constexpr std::string_view kInlineSectionHeader = "Inlined calls";
inline constexpr std::string_view kInlineNamePrefix = "Inline name ";
inline constexpr std::string_view kInlineCodePrefix = "Inline code ";
// The classic reader's first header; nothing of this section may contain it.
inline constexpr std::string_view kInlineSectionEnd = "Detailed map of segments";
// Deeper chains come only from a damaged map.
inline constexpr size_t kDeepestChain = 64;
}  // namespace mapinlined

// One inlined frame: views into the names the map gave.
struct TInlinedFrameView {
    std::string_view Unit;
    std::string_view Procedure;
    int Line = 0;
};

class TKVMapInlined {
  public:
    // A stretch's frames, innermost first; empty where no call is inlined.
    // Reading them allocates nothing.
    class TChain {
      public:
        TChain() = default;
        size_t Count() const { return count_; }
        TInlinedFrameView operator[](size_t k) const;

      private:
        friend class TKVMapInlined;
        const TKVMapInlined* owner_ = nullptr;
        size_t first_ = 0;
        size_t count_ = 0;
    };

    void Clear();
    // One line of the part of the map before the detailed segments.
    void AddLine(std::string_view line);
    // After the last line: orders the stretches for lookups.
    void Finish();
    TChain At(std::uint32_t codeOffset) const;
    bool Empty() const { return stretches_.empty(); }

  private:
    bool AddName(std::string_view rest);
    bool AddCode(std::string_view rest);

    struct TFrame {
        std::uint32_t Procedure = 0;
        std::uint32_t Unit = 0;
        int Line = 0;
    };
    struct TStretch {
        std::uint32_t Start = 0;
        std::uint32_t End = 0;  // one past the last byte
        std::uint32_t First = 0;
        std::uint32_t Count = 0;
    };
    std::vector<std::string> names_;
    std::vector<TFrame> frames_;
    std::vector<TStretch> stretches_;
};

}  // namespace zr
