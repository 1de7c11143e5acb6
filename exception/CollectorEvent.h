// What an exception report becomes for a crash collector: an event (JSON)
// with the exception's class and message, whether the application handled
// it, its frames oldest first as the map file names them, the modules they
// lie in with their build ids, and the machine's facts from the report's
// sections. Only composing is done here; how the event travels is the
// platform's (CollectorEnvelope, CollectorOutbox, CollectorSender).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zr {

struct TEventFrame {
    std::uintptr_t Address = 0;  // run-time address
    std::string Function;
    std::string File;     // the source file's name
    std::string AbsPath;  // the source file as the map names it
    int Line = 0;
    std::string Package;  // the module's path, for a frame outside the program
    bool InApp = false;
    std::uintptr_t ImageAddress = 0;
};

struct TEventImage {
    std::string CodeFile;
    std::uintptr_t Address = 0;
    std::size_t Size = 0;
    std::string BuildId;  // hex, as the note holds it
};

struct TEventFacts {
    std::string EventId;
    double Timestamp = 0;  // Unix seconds, UTC
    bool Handled = true;   // false: a fault that ended the process
    std::string ClassName;
    std::string Message;
    std::string Release;
    // contexts.os and contexts.device; empty ones are left out.
    std::string OSVersion;
    std::string KernelVersion;
    std::string OSBuild;
    std::string DeviceName;
    std::string Arch;
    long long MemorySize = 0;
    int ProcessorCount = 0;
    std::vector<TEventFrame> Frames;  // oldest first, the raise last
    std::vector<TEventImage> Images;
};

// The whole event.
std::string ComposeEvent(const TEventFacts& facts);

// The members after "exception" (release, contexts, debug_meta) and the
// closing brace: the part of an event that can be composed before the fault
// that it will describe.
std::string ComposeEventTail(const TEventFacts& facts);

// The debug id of an ELF image: the first 16 bytes of its build id as a
// GUID with the first three fields little-endian
// ("xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"); "" for a build id that is too
// short.
std::string DebugIdOf(std::string_view buildIdHex);

}  // namespace zr
