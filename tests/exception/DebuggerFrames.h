// Call stacks checked against a debugger's. A program built as applications
// are runs under gdb: at its first throw (a breakpoint on __cxa_throw) or
// first fault (gdb stops at the signal), gdb prints its backtrace and the
// process's mappings and lets the program go on, so that the program's own
// exception log writes its report of the same event. The frames of the
// program's own code in both are then compared one by one: procedure, unit
// (the source file's base name) and line. All runs of one program share one
// gdb session, which reads the symbols once.
//
// A case is a mode argument of the program; the program writes its report to
// the log file named by its second argument. A case that needs another stop
// (the third throw, a breakpoint on a function, another thread, the symbols
// of the libraries) says so in its TDebuggerCase.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "framework/SysUtils.h"
#include "tests/exception/ProgramRunSupport.h"

namespace zr::testing {

struct TDebuggerCase {
    std::string Mode;
    // Reading the symbols of every library costs the debugger about a second a
    // run; without them it stops at a throw of the program's own code (its
    // call of __cxa_throw) and names only the program's frames. A case whose
    // frames pass through a library's code needs them.
    bool LibrarySymbols = false;
    // Where gdb stops; a fault stops it wherever the breakpoint is.
    std::string Breakpoint;  // default: __cxa_throw, or the program's call of it
    int SkipStops = 0;  // stops passed over before the one compared
    // Commands run at the stop before the backtrace (e.g. "thread 2").
    std::string BeforeBacktrace;
    // One command a line: "bt 40\nbt -40" shows the ends of a deep stack.
    std::string Backtrace = "bt";
};

// A frame as shown by either side: the procedure's key (see ProcedureKey),
// the unit and the line; empty unit and 0 where none is known.
struct TShownFrame {
    std::string Key;
    std::string Unit;
    int Line = 0;
    std::string Text;  // as printed, for messages
    int Group = 0;     // the physical frame it belongs to, counted from the first
};

// "ns::T<int>::f(int) const" and "ns::T<int, A>::f" -> "f";
// "g()::{lambda(int)#1}::operator()(int) const" -> "operator()".
inline std::string ProcedureKey(std::string name) {
    const std::string call = "operator()";
    for (size_t at; (at = name.find(call)) != std::string::npos;) name.replace(at, call.size(), "operator#");
    std::string flat;
    int angle = 0, round = 0;
    for (char c : name) {
        if (c == '<') ++angle;
        else if (c == '>' && angle > 0) --angle;
        else if (c == '(') ++round;
        else if (c == ')' && round > 0) --round;
        else if (angle == 0 && round == 0) flat += c;
    }
    for (const std::string suffix : {" const", " volatile", " &&", " &"})
        if (flat.ends_with(suffix)) flat.resize(flat.size() - suffix.size());
    const size_t scope = flat.rfind("::");
    std::string key = scope == std::string::npos ? flat : flat.substr(scope + 2);
    for (size_t at; (at = key.find("operator#")) != std::string::npos;) key.replace(at, 9, call);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    return key;
}

inline std::string UnitOfPath(const std::string& path) {
    return path.empty() ? "" : ChangeFileExt(ExtractFileName(path), "");
}

// The frames of the program's own code in the last call stack of a report,
// innermost first: inlined and physical ones, without library frames.
inline std::vector<TShownFrame> ReportedProgramFrames(const std::string& log) {
    std::vector<TShownFrame> frames;
    size_t at = log.rfind("\r\nCall stack:\r\n");
    if (at == std::string::npos) return frames;
    for (at += 15; log.compare(at, 2, "  ") == 0;) {
        const size_t end = log.find("\r\n", at);
        std::string line = log.substr(at + 2, end - at - 2);
        at = end == std::string::npos ? log.size() : end + 2;
        const size_t blank = line.find(' ');
        if (line.starts_with("(") || blank == std::string::npos ||
            line.find("+0x") != std::string::npos)
            continue;  // folded plumbing, a bare address, a library frame
        std::string rest = line.substr(blank + 1);
        if (rest.starts_with("[inlined] ")) rest.erase(0, 10);
        TShownFrame frame;
        frame.Text = line;
        const size_t lineAt = rest.rfind(" line ");
        if (lineAt != std::string::npos) {
            frame.Line = std::atoi(rest.c_str() + lineAt + 6);
            rest.resize(lineAt);
        }
        // A unit is one word without scope or parameters; a frame of code
        // without lines starts with its procedure.
        const size_t word = rest.find(' ');
        if (word != std::string::npos && rest.find_first_of("(:<", 0) > word) {
            frame.Unit = rest.substr(0, word);
            rest.erase(0, word + 1);
        }
        frame.Key = ProcedureKey(rest);
        frames.push_back(frame);
    }
    return frames;
}

struct TDebuggedCase {
    std::vector<TShownFrame> Debugger;  // gdb's frames of the program's code
    bool Fault = false;                 // gdb stopped at a signal, not a breakpoint
    std::string Log;                    // the program's report
    std::string Transcript;             // gdb's output for the case
};

namespace detail {

struct TGdbFrame {
    bool HasAddress = false;
    std::uint64_t Address = 0;
    TShownFrame Frame;
};

// "#3  0x000055555555a49c in ns::f(int) () at file.cpp:12" and the like.
inline bool ParseGdbFrame(std::string line, TGdbFrame& out) {
    if (!line.starts_with("#")) return false;
    size_t p = line.find_first_of(" ");
    if (p == std::string::npos) return false;
    line.erase(0, line.find_first_not_of(' ', p));
    if (line.starts_with("0x")) {
        const size_t in = line.find(" in ");
        if (in == std::string::npos) return false;
        out.HasAddress = true;
        out.Address = std::stoull(line.substr(2, in - 2), nullptr, 16);
        line.erase(0, in + 4);
    }
    const size_t from = line.rfind(" from ");
    if (from != std::string::npos) line.resize(from);
    const size_t atFile = line.rfind(" at ");
    if (atFile != std::string::npos && line.find(')', atFile) == std::string::npos) {
        const std::string where = line.substr(atFile + 4);
        line.resize(atFile);
        const size_t colon = where.rfind(':');
        out.Frame.Unit = UnitOfPath(where.substr(0, colon));
        out.Frame.Line = colon == std::string::npos ? 0 : std::atoi(where.c_str() + colon + 1);
    }
    const size_t arguments = line.rfind(" (");
    if (arguments != std::string::npos) line.resize(arguments);
    out.Frame.Text = line;
    out.Frame.Key = ProcedureKey(line);
    return true;
}

struct TRange {
    std::uint64_t Start = 0, End = 0;
};

// "      0x555555554000     0x555555558000     0x4000        0x0  r--p   /path"
inline std::vector<TRange> ProgramRanges(const std::string& text, const std::string& program) {
    std::vector<TRange> ranges;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.ends_with(" " + program)) continue;
        std::istringstream fields(line);
        std::string start, end;
        fields >> start >> end;
        if (start.starts_with("0x") && end.starts_with("0x"))
            ranges.push_back({std::stoull(start, nullptr, 16), std::stoull(end, nullptr, 16)});
    }
    return ranges;
}

// The frames of the program's code: every frame of a group (a physical frame
// and the frames inlined into it) whose address lies in the program.
// Without the libraries' symbols gdb cannot unwind through their frames: then
// the frames end at the first frame outside the program (`throughLibraries`
// false).
inline std::vector<TShownFrame> ProgramFrames(const std::string& transcript,
                                              const std::string& program, bool throughLibraries) {
    const std::vector<TRange> ranges = ProgramRanges(transcript, program);
    std::uint64_t pc = 0;
    const size_t pcAt = transcript.find("@@pc\n$");
    if (pcAt != std::string::npos) {
        const size_t hex = transcript.find("0x", pcAt);
        if (hex != std::string::npos) pc = std::stoull(transcript.substr(hex + 2), nullptr, 16);
    }
    std::vector<TShownFrame> frames;
    bool inProgram = false;
    int group = -1;
    std::istringstream lines(transcript);
    for (std::string line; std::getline(lines, line);) {
        TGdbFrame frame;
        // A stub of the linkage table is no frame of a report; "??" is where
        // gdb lost its way (in a library whose symbols it did not read).
        if (!ParseGdbFrame(line, frame) || frame.Frame.Text.ends_with("@plt")) continue;
        if (frame.Frame.Text == "??") {
            if (!throughLibraries && group >= 0) break;
            inProgram = false;
            continue;
        }
        if (frame.HasAddress || line.starts_with("#0 ")) {
            const std::uint64_t address = frame.HasAddress ? frame.Address : pc;
            inProgram = std::any_of(ranges.begin(), ranges.end(), [&](const TRange& r) {
                return address >= r.Start && address < r.End;
            });
            if (inProgram) ++group;
            if (!inProgram && group >= 0 && !throughLibraries) break;
        }
        frame.Frame.Group = group;
        if (inProgram) frames.push_back(frame.Frame);
    }
    return frames;
}

inline std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace detail

// Runs every case of `program` under one gdb session; the logs go to
// `folder`. The program sees `environment` ("NAME=value" items) as well.
inline std::vector<TDebuggedCase> RunUnderDebugger(const std::string& program,
                                                   const std::vector<TDebuggerCase>& cases,
                                                   const std::string& folder,
                                                   const std::vector<std::string>& environment) {
    std::string command = "gdb -batch -nx -q";
    for (const std::string setting :
         {"set pagination off", "set width 0", "set print frame-arguments none",
          "set startup-with-shell off", "set breakpoint pending on", "set confirm off"})
        command += " -ex " + detail::Quoted(setting);
    for (const std::string& item : environment)
        command += " -ex " + detail::Quoted("set environment " + item.substr(0, item.find('=')) +
                                            " " + item.substr(item.find('=') + 1));
    for (size_t i = 0; i < cases.size(); ++i) {
        const TDebuggerCase& c = cases[i];
        const std::string log = folder + "/" + c.Mode + ".log";
        DeleteFile(log);
        command += " -ex " + detail::Quoted(std::string("set auto-solib-add ") +
                                            (c.LibrarySymbols ? "on" : "off"));
        const std::string stop = !c.Breakpoint.empty() ? c.Breakpoint
                                 : c.LibrarySymbols    ? "__cxa_throw"
                                                       : "__cxa_throw@plt";
        command += " -ex 'delete' -ex " + detail::Quoted("break " + stop);
        if (c.SkipStops > 0) command += " -ex " + detail::Quoted("ignore 1 " + std::to_string(c.SkipStops));
        command += " -ex " + detail::Quoted("run " + c.Mode + " " + log);
        command += " -ex " + detail::Quoted("echo @@case " + std::to_string(i) + "\\n");
        if (!c.BeforeBacktrace.empty()) command += " -ex " + detail::Quoted(c.BeforeBacktrace);
        command += " -ex 'echo @@pc\\n' -ex 'p/x $pc'";
        std::istringstream backtrace(c.Backtrace);
        for (std::string line; std::getline(backtrace, line);)
            command += " -ex " + detail::Quoted(line);
        command += " -ex 'info proc mappings' -ex 'delete' -ex 'continue'";
    }
    command += " --args " + detail::Quoted(program) + " </dev/null 2>&1";
    std::string transcript;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) transcript.append(buffer, n);
        pclose(pipe);
    }
    std::vector<TDebuggedCase> results(cases.size());
    size_t previous = 0;  // where the run of the case began
    for (size_t i = 0; i < cases.size(); ++i) {
        const size_t begin = transcript.find("@@case " + std::to_string(i) + "\n", previous);
        const size_t end = transcript.find("@@case " + std::to_string(i + 1) + "\n", previous);
        if (begin != std::string::npos) {
            results[i].Transcript =
                transcript.substr(begin, end == std::string::npos ? end : end - begin);
            // gdb tells of the signal that stopped it before the case's marker.
            results[i].Fault = transcript.substr(previous, begin - previous).find(
                                   " received signal ") != std::string::npos;
            previous = begin;
        }
        results[i].Debugger =
            detail::ProgramFrames(results[i].Transcript, program, cases[i].LibrarySymbols);
        results[i].Log = ReadWhole(folder + "/" + cases[i].Mode + ".log");
    }
    return results;
}

// How many of the debugger's frames the report shows, in the same order, with
// the same procedure, unit and line; the others listed in `missed`. A report
// may hold frames the debugger does not (beyond main) and skip some; each of
// the debugger's frames is looked for among the next few of the report's.
// Of a throw, a report gives where the exception object was made and the
// debugger where it was thrown: in the raising frame they agree on the
// procedures (`raised`), not always on the lines.
inline int MatchingFrames(const std::vector<TShownFrame>& debugger,
                          const std::vector<TShownFrame>& reported, bool raised,
                          std::string& missed) {
    constexpr size_t kLookAhead = 4;
    int matched = 0;
    size_t next = 0;
    for (const TShownFrame& expected : debugger) {
        bool found = false;
        for (size_t k = next; k < reported.size() && k < next + kLookAhead; ++k) {
            const TShownFrame& shown = reported[k];
            const bool byProcedure = raised && expected.Group == 0;
            if (shown.Key == expected.Key &&
                (byProcedure || (shown.Line == expected.Line && shown.Unit == expected.Unit))) {
                ++matched;
                next = k + 1;
                found = true;
                break;
            }
        }
        if (!found)
            missed += "\n  gdb: " + expected.Text + " " + expected.Unit + ":" +
                      std::to_string(expected.Line);
    }
    return matched;
}

}  // namespace zr::testing
