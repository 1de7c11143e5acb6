// What a map file is made of, read from an ELF executable: its functions
// from the symbol table and its source lines from the DWARF line table.
// Every address is an offset from the start of the executable's first code
// segment, the point that a map file's code base stands for.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zr::zrmap {

// The binding of a symbol decides which of several names at one address a
// map shows: the one other code can see first.
enum class TSymbolBinding { Global, Weak, Local };

struct TFunctionSymbol {
    std::uint32_t Offset = 0;
    std::uint32_t Size = 0;
    std::string Name;  // demangled when it is a C++ name
    TSymbolBinding Binding = TSymbolBinding::Global;
};

// One row of a line table. The rows of one sequence cover the addresses from
// their own offset up to the next row's; an end row closes a sequence.
struct TLineRow {
    std::uint32_t Offset = 0;
    std::uint32_t File = 0;  // index into TProgramImage::Files
    int Line = 0;
    bool EndSequence = false;
};

// One frame of code inlined into a function: the function that was inlined
// (an index into TProgramImage::Names) and the source position it runs at.
struct TInlinedFrame {
    std::uint32_t Procedure = 0;
    std::uint32_t File = 0;  // index into TProgramImage::Files
    int Line = 0;            // 0: the line table names none
    bool operator==(const TInlinedFrame&) const = default;
};

// A stretch of code that runs inside inlined calls, and their frames,
// innermost first; the function the code lies in is not among them.
struct TInlinedStretch {
    std::uint32_t Start = 0;
    std::uint32_t End = 0;  // one past the last byte
    std::vector<TInlinedFrame> Frames;
};

struct TProgramImage {
    std::uint64_t CodeStart = 0;  // link-time address of the first code segment
    std::uint64_t CodeSize = 0;
    std::vector<TFunctionSymbol> Functions;
    std::vector<std::string> Files;  // source file paths as the line tables name them
    // Every compilation unit's rows, sorted by offset; inside functions, the
    // rows of the outermost frame (see OuterLines.h).
    std::vector<TLineRow> Rows;
    bool HasLineTable = false;  // false when the executable carries no DWARF
    // Code inlined from other functions, by start, stretches not overlapping.
    std::vector<TInlinedStretch> Inlined;
    std::vector<std::string> Names;  // the inlined functions' names, demangled
};

// A file that cannot be read as an executable with code.
class EImageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads `path`; raises EImageError with a message for the user when it is
// missing, not ELF, or has no code segment.
TProgramImage ReadProgramImage(const std::string& path);

// The readable form of a symbol name; names that are not C++ come back as
// they are.
std::string Demangle(const std::string& name);

}  // namespace zr::zrmap
