#include "exception/CollectorEvent.h"

#include <cstdio>

#include "platform/JsonText.h"

namespace zr {

namespace {

using os::json::AppendQuoted;

std::string HexAddress(std::uintptr_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
    return text;
}

void Member(std::string& out, std::string_view name, std::string_view value, bool& first) {
    if (value.empty()) return;
    if (!first) out += ',';
    first = false;
    AppendQuoted(out, name);
    out += ':';
    AppendQuoted(out, value);
}

void NumberMember(std::string& out, std::string_view name, long long value, bool& first) {
    if (value <= 0) return;
    if (!first) out += ',';
    first = false;
    AppendQuoted(out, name);
    out += ':' + std::to_string(value);
}

void AppendFrame(std::string& out, const TEventFrame& frame) {
    bool first = true;
    out += '{';
    Member(out, "instruction_addr", HexAddress(frame.Address), first);
    Member(out, "function", frame.Function, first);
    Member(out, "filename", frame.File, first);
    Member(out, "abs_path", frame.AbsPath, first);
    NumberMember(out, "lineno", frame.Line, first);
    Member(out, "package", frame.Package, first);
    if (frame.ImageAddress != 0) Member(out, "image_addr", HexAddress(frame.ImageAddress), first);
    out += frame.InApp ? ",\"in_app\":true}" : ",\"in_app\":false}";
}

void AppendImage(std::string& out, const TEventImage& image) {
    bool first = false;
    out += "{\"type\":\"elf\"";
    Member(out, "code_file", image.CodeFile, first);
    Member(out, "image_addr", HexAddress(image.Address), first);
    NumberMember(out, "image_size", static_cast<long long>(image.Size), first);
    Member(out, "code_id", image.BuildId, first);
    // A collector needs a debug id for every image: one without a build id
    // gets the nil id, which matches no debug file.
    const std::string debugId = DebugIdOf(image.BuildId);
    Member(out, "debug_id", debugId.empty() ? "00000000-0000-0000-0000-000000000000" : debugId,
           first);
#if defined(__x86_64__)
    Member(out, "arch", "x86_64", first);
#elif defined(__aarch64__)
    Member(out, "arch", "arm64", first);
#endif
    out += '}';
}

}  // namespace

std::string DebugIdOf(std::string_view hex) {
    if (hex.size() < 32) return "";
    // Bytes 0-3, 4-5 and 6-7 are read as little-endian numbers.
    static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string id;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
        id.append(hex.substr(static_cast<std::size_t>(order[i]) * 2, 2));
    }
    return id;
}

std::string ComposeEventTail(const TEventFacts& facts) {
    std::string out;
    bool first = false;
    Member(out, "release", facts.Release, first);
    out += ",\"contexts\":{\"os\":{\"name\":\"Linux\"";
    Member(out, "version", facts.OSVersion, first);
    Member(out, "kernel_version", facts.KernelVersion, first);
    Member(out, "build", facts.OSBuild, first);
    out += "},\"device\":{";
    bool firstDevice = true;
    Member(out, "name", facts.DeviceName, firstDevice);
    Member(out, "arch", facts.Arch, firstDevice);
    NumberMember(out, "memory_size", facts.MemorySize, firstDevice);
    NumberMember(out, "processor_count", facts.ProcessorCount, firstDevice);
    out += "}},\"debug_meta\":{\"images\":[";
    for (std::size_t i = 0; i < facts.Images.size(); ++i) {
        if (i > 0) out += ',';
        AppendImage(out, facts.Images[i]);
    }
    out += "]}}";
    return out;
}

std::string ComposeEvent(const TEventFacts& facts) {
    std::string out = "{\"event_id\":";
    AppendQuoted(out, facts.EventId);
    char timestamp[40];
    std::snprintf(timestamp, sizeof timestamp, "%.3f", facts.Timestamp);
    out += ",\"timestamp\":";
    out += timestamp;
    out += ",\"platform\":\"native\",\"level\":";
    out += facts.Handled ? "\"error\"" : "\"fatal\"";
    out += ",\"exception\":{\"values\":[{\"type\":";
    AppendQuoted(out, facts.ClassName);
    out += ",\"value\":";
    AppendQuoted(out, facts.Message);
    out += ",\"mechanism\":{\"type\":";
    out += facts.Handled ? "\"exception_log\",\"handled\":true}" : "\"signalhandler\",\"handled\":false}";
    out += ",\"stacktrace\":{\"frames\":[";
    for (std::size_t i = 0; i < facts.Frames.size(); ++i) {
        if (i > 0) out += ',';
        AppendFrame(out, facts.Frames[i]);
    }
    out += "]}}]}";
    out += ComposeEventTail(facts);
    return out;
}

}  // namespace zr
