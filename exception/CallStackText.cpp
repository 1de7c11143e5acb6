#include "exception/CallStackText.h"

#include <cstdint>
#include <cstring>

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

void AddFrameLine(TFixedText& text, const TKVMapFile* map, void* frame, bool first,
                  const os::TModuleSpot& spot, bool signalSafe) {
    const auto reported = reinterpret_cast<std::uintptr_t>(ReportedAddress(frame));
    text.Add("\r\n  ").Hex(reported);
    if (!IsExecutableAddress(frame)) {
        if (!spot.Found) return;
        text.Add(" ").Add(spot.Name).Add("+0x"), AddLowerHex(text, spot.Offset);
        AddLibraryFrameNames(text, spot, frame, first, signalSafe);
        return;
    }
    if (map == nullptr || !map->MapLoaded() || reported > UINT32_MAX) return;
    // A return address lies after its call, possibly on the next line.
    const std::uint32_t offset =
        static_cast<std::uint32_t>(reported) - map->CodeBase() - (first ? 0 : 1);
    const TKVMapFile::TMapSourceView found = map->Resolve(offset);
    if (!found.Unit.empty()) text.Add(" ").Add(found.Unit.data(), found.Unit.size());
    if (!found.Procedure.empty()) text.Add(" ").Add(found.Procedure.data(), found.Procedure.size());
    if (found.Line > 0) text.Add(" line ").Decimal(found.Line);
}

// Where a stack too deep to show whole (a runaway recursion) was cut.
void AddGapLine(TFixedText& text, int omitted) {
    text.Add("\r\n  ... ").Decimal(omitted).Add(omitted == 1 ? " frame" : " frames");
    text.Add(" left out ...");
}

}  // namespace

void AddCallStackSection(TFixedText& text, const TKVMapFile* map, void* const* frames, int count,
                         bool signalSafe, TFrameGap gap) {
    if (count > kMaxCallFrames) count = kMaxCallFrames;
    os::TModuleSpot spots[kMaxCallFrames];
    if (signalSafe) {
        os::FindModulesSignalSafe(frames, count, spots);
    } else {
        os::FindModules(frames, count, spots);
    }
    text.Add("Call stack:");
    for (int i = 0; i < count; ++i) {
        if (gap.Count > 0 && i == gap.After) AddGapLine(text, gap.Count);
        AddFrameLine(text, map, frames[i], i == 0, spots[i], signalSafe);
    }
}

namespace {

// The frames of a walk from the fault on, at most the room of a call stack:
// where the walk kept outer frames, as many inner ones as leave room for
// them.
void AddFaultFrames(TFixedText& text, const TKVMapFile* map, void** frames, int count,
                    int omitted) {
    if (count <= kMaxCallFrames) {
        AddCallStackSection(text, map, frames, count, true, {count - kOuterCallFrames, omitted});
        return;
    }
    const int inner = kMaxCallFrames - kOuterCallFrames;
    void** outer = frames + count - kOuterCallFrames;
    std::memmove(frames + inner, outer, kOuterCallFrames * sizeof(void*));
    AddCallStackSection(text, map, frames, kMaxCallFrames, true,
                        {inner, omitted + count - kMaxCallFrames});
}

}  // namespace

void AddFaultCallStackSection(TFixedText& text, const TKVMapFile* map, void* instruction) {
    // Room for the handler's own frames in front of the faulting one.
    constexpr int kHandlerFrames = 16;
    void* frames[kMaxCallFrames + kHandlerFrames];
    int omitted = 0;
    const int count = WalkStack(frames, kMaxCallFrames + kHandlerFrames, &omitted);
    for (int i = 0; i < count; ++i)
        if (frames[i] == instruction) {
            AddFaultFrames(text, map, frames + i, count - i, omitted);
            return;
        }
    // Not in a signal handler: the fault's exception found no handler. Its
    // stack was taken when it was made.
    const TCallStack recorded = RecordedFaultCallStack(instruction);
    if (recorded.Count > 0) {
        AddCallStackSection(text, map, recorded.Frames, recorded.Count, true,
                            {recorded.OmittedAfter, recorded.Omitted});
        return;
    }
    AddCallStackSection(text, map, &instruction, 1, true);
}

std::string CallStackSection(const TKVMapFile* map, void* const* frames, int count, TFrameGap gap) {
    std::string buffer(static_cast<size_t>(kMaxCallFrames) * kFrameLineSize + 64, '\0');
    TFixedText text(buffer.data(), buffer.size());
    AddCallStackSection(text, map, frames, count, false, gap);
    buffer.resize(text.Length());
    return buffer;
}

}  // namespace zr
