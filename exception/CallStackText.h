// The call stack of a report: a line "Call stack:", then one line per frame,
// innermost first, each two blanks and the frame's address in map form,
// followed by what the map file names there (unit, procedure, "line N") or,
// for a frame in a shared library, the library's file name and the offset
// in it ("libzoririive.so+0x1a2b3"), which can be looked up offline.
//
// Before each frame come the functions the map says were inlined at its
// code, innermost first, each on a line of its own marked "[inlined]" after
// the address. Names are shown short (std::string, no default template
// arguments) and runs of call plumbing (std::function's handler, std::invoke,
// the framework's closures) are folded into one line "(N frames of call
// plumbing folded)", unless the whole style is asked for.
//
// The first frame is where the exception was raised and is looked up as it
// stands; the others are return addresses, looked up one byte back so that
// they name the line of the call rather than the line after it.
#pragma once

#include <cstdint>
#include <string>

namespace zr {

class TKVMapFile;
class TFixedText;

enum class TFrameStyle { Readable, Whole };

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
                         bool signalSafe, TFrameStyle style = TFrameStyle::Readable,
                         TFrameGap gap = {});

// The section for a processor fault, from inside its signal handler: the
// stack is walked from there, and the frames start at the faulting
// instruction. Where the walk does not pass the fault (the fault's
// exception found no handler), the stack taken when the exception was made;
// else the faulting instruction alone.
void AddFaultCallStackSection(TFixedText& text, const TKVMapFile* map, void* instruction,
                              TFrameStyle style = TFrameStyle::Readable);

// The frame lines (each after a line break) that a report gives addresses
// already in map form, for a tool that names a report's bare frames
// afterwards; the first is the raise when `firstIsRaise`, the others return
// addresses.
void AddMapFrameLines(TFixedText& text, const TKVMapFile& map, const std::uintptr_t* reported,
                      int count, bool firstIsRaise, TFrameStyle style = TFrameStyle::Readable);

// The same, for a report made outside a signal handler.
std::string CallStackSection(const TKVMapFile* map, void* const* frames, int count,
                             TFrameStyle style = TFrameStyle::Readable, TFrameGap gap = {});

}  // namespace zr
