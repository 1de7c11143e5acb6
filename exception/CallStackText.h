// The call stack of a report: a line "Call stack:", then one line per frame,
// innermost first, each two blanks and the frame's address in map form,
// followed by what the map file names there (unit, procedure, "line N") or,
// for a frame in a shared library, the library's file name and the offset
// in it ("libzoririive.so+0x1a2b3"), which can be looked up offline.
//
// The first frame is where the exception was raised and is looked up as it
// stands; the others are return addresses, looked up one byte back so that
// they name the line of the call rather than the line after it.
#pragma once

#include <string>

namespace zr {

class TKVMapFile;
class TFixedText;

// Where a stack too deep to show whole was cut: `Count` frames left out
// after the first `After` shown, told on a line of their own.
struct TFrameGap {
    int After = 0;
    int Count = 0;
};

// Appends the section, starting with "Call stack:" (no line break before
// it). `frames` are run-time addresses; `map` may be null or not yet read.
// With `signalSafe` only async-signal-safe calls are made: the libraries are
// found in the process's memory map instead of through the loader.
void AddCallStackSection(TFixedText& text, const TKVMapFile* map, void* const* frames, int count,
                         bool signalSafe, TFrameGap gap = {});

// The section for a processor fault, from inside its signal handler: the
// stack is walked from there, and the frames start at the faulting
// instruction. Where the walk does not pass the fault (the fault's
// exception found no handler), the stack taken when the exception was made;
// else the faulting instruction alone.
void AddFaultCallStackSection(TFixedText& text, const TKVMapFile* map, void* instruction);

// The same, for a report made outside a signal handler.
std::string CallStackSection(const TKVMapFile* map, void* const* frames, int count,
                             TFrameGap gap = {});

}  // namespace zr
