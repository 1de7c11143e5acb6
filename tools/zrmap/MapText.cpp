#include "tools/zrmap/MapText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "exception/KVMapInlined.h"

namespace zr::zrmap {

namespace {

using mapinlined::kInlineCodePrefix;
using mapinlined::kInlineNamePrefix;
using mapinlined::kInlineSectionEnd;
using mapinlined::kInlineSectionHeader;

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

// A segment without a unit is marked as a gap, so that a list of the units
// can leave it out; a reader of the classic layout sees an empty unit.
void AppendDetailedSegments(std::string& out, const TMapLayout& layout) {
    out += "\nDetailed map of segments\n\n";
    for (const TMapSegment& segment : layout.Segments)
        out += " 0001:" + Hex8(segment.Start) + " " + Hex8(segment.Length) +
               (segment.Unit.empty() ? " C=CODE     S=.text    G=(gap)    M="
                                     : " C=CODE     S=.text    G=(none)   M=") +
               segment.Unit + " ACBP=A9\n";
}

// A name goes on one line and must never read as the header the classic
// reader looks for, which this section comes before.
std::string OneLine(std::string name) {
    std::replace_if(name.begin(), name.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    for (size_t at; (at = name.find(kInlineSectionEnd)) != std::string::npos;) name[at] = 'd';
    return name;
}

void AppendInlinedCalls(std::string& out, const TMapLayout& layout) {
    if (layout.Inlined.empty()) return;
    out += "\n";
    out += kInlineSectionHeader;
    out += "\n\n";
    for (size_t i = 0; i < layout.InlineNames.size(); ++i)
        out += std::string(kInlineNamePrefix) + std::to_string(i) + " " +
               OneLine(layout.InlineNames[i]) + "\n";
    for (const TMapInlinedStretch& stretch : layout.Inlined) {
        out += std::string(kInlineCodePrefix) + "0001:" + Hex8(stretch.Start) + " " +
               Hex8(stretch.Length);
        for (const TMapInlinedFrame& frame : stretch.Frames)
            out += " " + std::to_string(frame.Procedure) + "@" + std::to_string(frame.Unit) + ":" +
                   std::to_string(frame.Line);
        out += "\n";
    }
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

int WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? EIO : errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

[[noreturn]] void Fail(const std::string& path, int error) {
    throw EImageError(path + ": cannot write: " + std::strerror(error));
}

}  // namespace

std::string FormatMapText(const TMapLayout& layout) {
    std::string out;
    AppendSegmentTable(out, layout);
    AppendInlinedCalls(out, layout);
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
    // A temporary file of a name nobody could know beforehand, made in the
    // target's folder (so the rename cannot cross file systems) and created
    // exclusively: a file or link planted there is never written through.
    std::string temporary = path + ".XXXXXX.tmp";
    const int fd = ::mkostemps(temporary.data(), 4, O_CLOEXEC);
    if (fd == -1) Fail(path, errno);
    // It gets the mode any new file of the user gets, not the private one
    // of a temporary file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    int error = WriteAll(fd, text);
    if (error == 0 && ::fchmod(fd, 0666 & ~mask) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        Fail(path, error);
    }
}

}  // namespace zr::zrmap
