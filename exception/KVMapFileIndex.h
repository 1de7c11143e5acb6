// A sorted index over the lines a map file reader keeps, built once when the
// map is read, so that a lookup costs a few binary searches instead of a scan
// of every line. It answers exactly as the scans do, for any content: the
// quirks of the scans (lines in file order whatever their offsets, a unit
// matched by substring against the line-number headers) are folded into the
// index, and a line-number block that is not plainly ascending is still read
// by the scan.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zr {

class TKVMapIndex {
  public:
    // The lists must outlive the index and stay unchanged: it keeps views
    // into their lines.
    void Build(const std::vector<std::string>& segments, const std::vector<std::string>& publics,
               const std::vector<std::string>& lineNumbers);

    // The unit and the position in `lineNumbers` of its line-number block's
    // header (npos when no line names the unit).
    struct TUnit {
        std::string_view Name;
        size_t Header = std::string_view::npos;
    };
    TUnit Unit(std::uint32_t codeOffset) const;
    std::string_view Procedure(std::uint32_t codeOffset) const;
    // `header` as Unit returned it.
    int Line(std::uint32_t codeOffset, size_t header) const;

  private:
    struct TBlock {
        size_t Header = 0;
        bool Ascending = true;  // else Line reads the block by the scan
        std::vector<std::uint32_t> Offsets;
        std::vector<std::int32_t> Lines;
    };
    void IndexSegments(const std::vector<std::string>& segments);
    void IndexPublics(const std::vector<std::string>& publics);
    void IndexBlocks(const std::vector<std::string>& lineNumbers);
    size_t BlockOf(size_t header);

    const std::vector<std::string>* publics_ = nullptr;
    const std::vector<std::string>* lineNumbers_ = nullptr;

    // Segment lines that convert, in file order: the running maximum of
    // their starts, and for the first n of them the last unit named (the
    // entry n of unitAfter_, an index into units_, -1 for none).
    std::vector<std::uint32_t> segmentStartMax_;
    std::vector<int> unitAfter_;
    std::vector<TUnit> units_;

    // Public lines that convert, in file order: running maxima of their
    // offsets, from the first and from the second of them, and their
    // positions in `publics`.
    std::vector<std::uint32_t> publicMax_;
    std::vector<std::uint32_t> publicMaxFromSecond_;
    std::vector<size_t> publicLine_;
    std::vector<std::uint32_t> publicOffset_;

    std::vector<TBlock> blocks_;
    std::vector<std::pair<size_t, size_t>> blockOfHeader_;  // sorted (header, block)
};

// The line a unit's block gives an offset, read line by line as the reader
// always did; the reference the index answers like.
int ScanLineBlock(const std::vector<std::string>& lines, size_t header, std::uint32_t codeOffset);

}  // namespace zr
