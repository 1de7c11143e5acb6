#include "exception/CallStackText.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "exception/FrameNames.h"
#include "exception/KVMapFile.h"
#include "exception/LibraryFrames.h"
#include "framework/ExceptAddr.h"
#include "framework/FaultExceptions.h"
#include "platform/LoadedModules.h"

namespace zr {

namespace {

constexpr size_t kFrameLineSize = 640;  // address, unit, procedure, line

void AddLowerHex(TFixedText& text, std::uintptr_t value) {
    char digits[2 * sizeof value];
    int count = 0;
    do {
        digits[sizeof digits - 1 - count++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    text.Add(digits + sizeof digits - count, static_cast<size_t>(count));
}

// Longer names are cut here; the short forms are far shorter.
constexpr size_t kNameBufferSize = 1024;

// Writes frame lines, folding runs of call plumbing into one line that says
// how many it stands for.
class TFrameWriter {
  public:
    TFrameWriter(TFixedText& text, TFrameStyle style) : text_(text), style_(style) {}

    // A frame the map names: the address, "[inlined]" for a function
    // inlined there, its unit, procedure and line.
    void Named(std::uintptr_t reported, bool inlined, std::string_view unit,
               std::string_view procedure, int line) {
        if (style_ == TFrameStyle::Readable && IsCallPlumbing(unit, procedure)) {
            ++folded_;
            return;
        }
        Flush();
        text_.Add("\r\n  ").Hex(reported);
        if (inlined) text_.Add(" [inlined]");
        if (!unit.empty()) text_.Add(" ").Add(unit.data(), unit.size());
        if (!procedure.empty()) {
            text_.Add(" ");
            if (style_ == TFrameStyle::Whole) {
                text_.Add(procedure.data(), procedure.size());
            } else {
                char name[kNameBufferSize];
                text_.Add(name, ShortFrameName(procedure, name, sizeof name));
            }
        }
        if (line > 0) text_.Add(" line ").Decimal(line);
    }

    // A frame of no map: the address alone.
    void Unnamed(std::uintptr_t reported) {
        Flush();
        text_.Add("\r\n  ").Hex(reported);
    }

    // A frame in a shared library: its name and offset, then what the
    // library's own tables say of the procedure there.
    void Library(std::uintptr_t reported, const os::TModuleSpot& spot, void* frame, bool first,
                 bool signalSafe) {
        Unnamed(reported);
        if (!spot.Found) return;
        text_.Add(" ").Add(spot.Name).Add("+0x"), AddLowerHex(text_, spot.Offset);
        AddLibraryFrameNames(text_, spot, frame, first, signalSafe);
    }

    void Flush() {
        if (folded_ == 0) return;
        text_.Add("\r\n  (").Decimal(folded_).Add(folded_ == 1 ? " frame" : " frames");
        text_.Add(" of call plumbing folded)");
        folded_ = 0;
    }

  private:
    TFixedText& text_;
    TFrameStyle style_;
    int folded_ = 0;
};

// The functions inlined at the frame's code come first, innermost first, as
// a debugger lists them, then the function they were inlined into.
void AddMappedFrame(TFrameWriter& writer, const TKVMapFile& map, std::uintptr_t reported,
                    bool first) {
    // A return address lies after its call, possibly on the next line.
    const std::uint32_t offset =
        static_cast<std::uint32_t>(reported) - map.CodeBase() - (first ? 0 : 1);
    const TKVMapInlined::TChain inlined = map.Inlined(offset);
    for (size_t k = 0; k < inlined.Count(); ++k) {
        const TInlinedFrameView f = inlined[k];
        writer.Named(reported, true, f.Unit, f.Procedure, f.Line);
    }
    const TKVMapFile::TMapSourceView found = map.Resolve(offset);
    writer.Named(reported, false, found.Unit, found.Procedure, found.Line);
}

void AddFrameLines(TFrameWriter& writer, const TKVMapFile* map, void* frame, bool first,
                   const os::TModuleSpot& spot, bool signalSafe) {
    const auto reported = reinterpret_cast<std::uintptr_t>(ReportedAddress(frame));
    if (!IsExecutableAddress(frame))
        return writer.Library(reported, spot, frame, first, signalSafe);
    if (map == nullptr || !map->MapLoaded() || reported > UINT32_MAX)
        return writer.Unnamed(reported);
    AddMappedFrame(writer, *map, reported, first);
}

// Where a stack too deep to show whole (a runaway recursion) was cut.
void AddGapLine(TFrameWriter& writer, TFixedText& text, int omitted) {
    writer.Flush();
    text.Add("\r\n  ... ").Decimal(omitted).Add(omitted == 1 ? " frame" : " frames");
    text.Add(" left out ...");
}

}  // namespace

void AddCallStackSection(TFixedText& text, const TKVMapFile* map, void* const* frames, int count,
                         bool signalSafe, TFrameStyle style, TFrameGap gap) {
    if (count > kMaxCallFrames) count = kMaxCallFrames;
    os::TModuleSpot spots[kMaxCallFrames];
    if (signalSafe) {
        os::FindModulesSignalSafe(frames, count, spots);
    } else {
        os::FindModules(frames, count, spots);
    }
    text.Add("Call stack:");
    TFrameWriter writer(text, style);
    for (int i = 0; i < count; ++i) {
        if (gap.Count > 0 && i == gap.After) AddGapLine(writer, text, gap.Count);
        AddFrameLines(writer, map, frames[i], i == 0, spots[i], signalSafe);
    }
    writer.Flush();
}

namespace {

// The frames of a walk from the fault on, at most the room of a call stack:
// where the walk kept outer frames, as many inner ones as leave room for
// them.
void AddFaultFrames(TFixedText& text, const TKVMapFile* map, void** frames, int count,
                    int omitted, TFrameStyle style) {
    if (count <= kMaxCallFrames) {
        AddCallStackSection(text, map, frames, count, true, style,
                            {count - kOuterCallFrames, omitted});
        return;
    }
    const int inner = kMaxCallFrames - kOuterCallFrames;
    void** outer = frames + count - kOuterCallFrames;
    std::memmove(frames + inner, outer, kOuterCallFrames * sizeof(void*));
    AddCallStackSection(text, map, frames, kMaxCallFrames, true, style,
                        {inner, omitted + count - kMaxCallFrames});
}

}  // namespace

void AddFaultCallStackSection(TFixedText& text, const TKVMapFile* map, void* instruction,
                              TFrameStyle style) {
    // Room for the handler's own frames in front of the faulting one.
    constexpr int kHandlerFrames = 16;
    void* frames[kMaxCallFrames + kHandlerFrames];
    int omitted = 0;
    const int count = WalkStack(frames, kMaxCallFrames + kHandlerFrames, &omitted);
    for (int i = 0; i < count; ++i)
        if (frames[i] == instruction) {
            AddFaultFrames(text, map, frames + i, count - i, omitted, style);
            return;
        }
    // Not in a signal handler: the fault's exception found no handler. Its
    // stack was taken when it was made.
    const TCallStack recorded = RecordedFaultCallStack(instruction);
    if (recorded.Count > 0) {
        AddCallStackSection(text, map, recorded.Frames, recorded.Count, true, style,
                            {recorded.OmittedAfter, recorded.Omitted});
        return;
    }
    AddCallStackSection(text, map, &instruction, 1, true, style);
}

void AddMapFrameLines(TFixedText& text, const TKVMapFile& map, const std::uintptr_t* reported,
                      int count, bool firstIsRaise, TFrameStyle style) {
    TFrameWriter writer(text, style);
    for (int i = 0; i < count; ++i) {
        if (reported[i] > UINT32_MAX)
            writer.Unnamed(reported[i]);
        else
            AddMappedFrame(writer, map, reported[i], firstIsRaise && i == 0);
    }
    writer.Flush();
}

std::string CallStackSection(const TKVMapFile* map, void* const* frames, int count,
                             TFrameStyle style, TFrameGap gap) {
    // Room for a few inlined frames to each physical one; left unfilled, as
    // only what is written is kept.
    const size_t size = static_cast<size_t>(kMaxCallFrames) * kFrameLineSize * 4 + 64;
    const std::unique_ptr<char[]> buffer(new char[size]);
    TFixedText text(buffer.get(), size);
    AddCallStackSection(text, map, frames, count, false, style, gap);
    return std::string(buffer.get(), text.Length());
}

}  // namespace zr
