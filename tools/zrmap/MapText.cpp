#include "tools/zrmap/MapText.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace zr::zrmap {

namespace {

constexpr std::uint32_t kCodeBase = 0x00401000;

std::string Hex8(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%08" PRIX64, value);
    return text;
}

void AppendSegmentTable(std::string& out, const TMapLayout& layout) {
    out += "\n Start         Length     Name                   Class\n";
    out += " 0001:" + Hex8(kCodeBase) + " " + Hex8(layout.CodeSize) +
           "H .text                   CODE\n\n";
}

void AppendDetailedSegments(std::string& out, const TMapLayout& layout) {
    out += "\nDetailed map of segments\n\n";
    for (const TMapSegment& segment : layout.Segments)
        out += " 0001:" + Hex8(segment.Start) + " " + Hex8(segment.Length) +
               " C=CODE     S=.text    G=(none)   M=" + segment.Unit + " ACBP=A9\n";
}

// The name begins in column 22: six columns of segment, eight of offset and
// seven blanks before it.
void AppendPublics(std::string& out, const char* title, const std::vector<TMapPublic>& publics) {
    out += "\n\n  Address         Publics by ";
    out += title;
    out += "\n\n\n";  // the reader skips the header and the two lines after it
    for (const TMapPublic& p : publics)
        out += " 0001:" + Hex8(p.Offset) + "       " + p.Name + "\n";
}

void AppendLineBlock(std::string& out, const TMapLineBlock& block) {
    out += "\n" + LineBlockHeader(block) + "\n\n" + LineBlockEntries(block);
}

}  // namespace

std::string FormatMapText(const TMapLayout& layout) {
    std::string out;
    AppendSegmentTable(out, layout);
    AppendDetailedSegments(out, layout);

    std::vector<TMapPublic> byName = layout.Publics;
    std::stable_sort(byName.begin(), byName.end(),
                     [](const auto& a, const auto& b) { return a.Name < b.Name; });
    AppendPublics(out, "Name", byName);
    AppendPublics(out, "Value", layout.Publics);

    for (const TMapLineBlock& block : layout.LineBlocks) AppendLineBlock(out, block);
    return out;
}

void WriteMapFile(const TMapLayout& layout, const std::string& path) {
    const std::string text = FormatMapText(layout);
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        file.close();
        if (!file) {
            int error = errno;
            std::remove(temporary.c_str());
            throw EImageError(path + ": cannot write: " + std::strerror(error));
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        std::remove(temporary.c_str());
        throw EImageError(path + ": cannot write: " + std::strerror(error));
    }
}

}  // namespace zr::zrmap
