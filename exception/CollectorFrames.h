// A report's call stack as a collector's frames: run-time addresses made
// into frames oldest first, those of the program named (function, file,
// line) from the map file here, so that they read well without any debug
// file on the collector's side; the others carry their module's path. And
// the modules loaded in the process with their build ids, for the event's
// image list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CollectorEvent.h"

namespace zr {

class TKVMapFile;

struct TLoadedModule {
    std::string Path;  // "" never: the program's own path is filled in
    std::uintptr_t Base = 0;  // where the image is loaded (its first segment)
    std::uintptr_t Begin = 0, End = 0;  // the span of its loaded segments
    std::string BuildId;
    bool IsProgram = false;
};

// Every module of the process, the program first.
std::vector<TLoadedModule> LoadedModules();

// `frames` are run-time addresses innermost first (the first is where the
// exception was raised, the others return addresses), as call stacks are
// taken; the frames come out oldest first. `map` may be null or unread.
std::vector<TEventFrame> EventFrames(const TKVMapFile* map, void* const* frames, int count,
                                     const std::vector<TLoadedModule>& modules);

// The images the frames lie in, and the program's.
std::vector<TEventImage> EventImages(const std::vector<TEventFrame>& frames,
                                     const std::vector<TLoadedModule>& modules);

// The image entry of one module.
TEventImage ImageOf(const TLoadedModule& module);

// The source file a map names for `unit` ("" when none): the path in its
// "Line numbers for <unit>(<file>)" header.
std::string MapSourceFile(const TKVMapFile& map, const std::string& unit);

}  // namespace zr
