// Reads the text map file that sits beside an executable and turns an
// address inside the executable into the unit, the nearest public symbol
// (the procedure) and the source line that hold it. The exception log owns
// one reader and asks it about every exception it reports.
//
// The reader keeps three sections of the file as raw lines and, once when
// they are read, sorts what they say into an index that every lookup
// searches (see KVMapFileIndex.h):
//
//   Segments     " 0001:SSSSSSSS LLLLLLLL ... M=<unit> ACBP=..."   (start, length)
//   Publics      " 0001:OOOOOOOO       <name>"                    (name from column 22)
//   LineNumbers  "Line numbers for <unit>(<file>) ..." blocks, four
//                "LLLLLL 0001:OOOOOOOO" entries of 20 columns a line
//
// Before the segments, a map of optimised code may record inlined calls
// (see KVMapInlined.h). A segment line marked G=(gap) holds code of no unit.
//
// Offsets count from CodeBase (0x00401000). A map need not exist; without one
// every lookup finds nothing. A line that does not parse is passed over:
// the reader never fails on the map's content.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../framework/Exceptions.h"
#include "../framework/Object.h"
#include "../framework/Strings.h"
#include "KVMapInlined.h"

namespace zr {

class TKVMapIndex;

// The exception class of map file handling. The reader itself raises none; a
// map that cannot be opened reaches the caller as the framework's file-open
// error.
ZR_EXCEPTION_CLASS(EMapFileException, Exception);

class TKVMapFile : public TObject {
    ZR_CLASS(TKVMapFile, TObject)
  public:
    static constexpr std::uint32_t kCodeBase = 0x00401000;

    TKVMapFile();
    ~TKVMapFile() override;

    // Full path of the map. A different name (compared case-sensitively)
    // clears MapLoaded so that the next lookup reads the new file; the same
    // name changes nothing.
    const std::string& MapFileName() const { return mapFileName_; }
    void SetMapFileName(const std::string& value);
    // The file has been read, or found missing, since the name last changed.
    bool MapLoaded() const { return mapLoaded_; }

    // Reads the map into the three lists, every time it is called. A missing
    // file leaves them empty and is no error; a file that cannot be opened
    // raises EFOpenError and leaves MapLoaded clear, so the next use tries
    // again.
    void LoadMapFile();

    // Resolves `address`, given in map form (as ExceptAddr reports it); null
    // means the address of the exception now being handled. Reads the map
    // first when it has not been read. The results below belong to the last
    // call and are reset by each one.
    void LoadExceptionData(const void* address = nullptr);

    // Fills `list` with the unit name of every segment line, in file order,
    // duplicates kept. Does nothing for a null list.
    void LoadUnitNames(TStrings* list);

    const std::string& UnitName() const { return unitName_; }
    const std::string& ProcedureName() const { return procedureName_; }
    std::int32_t LineNumber() const { return lineNumber_; }  // 0: none found
    bool DataLoaded() const { return dataLoaded_; }          // the last lookup had an address
    std::uint32_t CodeOffset() const { return codeOffset_; }
    std::uint32_t CodeBase() const { return codeBase_; }
    // The source file the unit's line numbers name; "" when none does.
    const std::string& SourceFile() const { return sourceFile_; }

    // What a lookup of `codeOffset` finds in the map as read, as views into
    // the kept lines: nothing is read or allocated, so a last report written
    // where the process cannot go on can still name the source position.
    struct TMapSourceView {
        std::string_view Unit;
        std::string_view Procedure;
        int Line = 0;
        // The source file the unit's line-number block names (Resolve only).
        std::string_view File;
    };
    TMapSourceView Resolve(std::uint32_t codeOffset) const;
    // The same answer found by scanning the kept lines, as the reader did
    // before it had an index: far slower, kept as the index's reference.
    TMapSourceView ResolveByScan(std::uint32_t codeOffset) const;

    // The functions inlined at `codeOffset`, innermost first, each with the
    // unit and line it runs at; Resolve names the function they lie in.
    // Allocates nothing.
    TKVMapInlined::TChain Inlined(std::uint32_t codeOffset) const {
        return inlined_->At(codeOffset);
    }

    // The raw lines kept from the map.
    const TStringList& Segments() const { return *segments_; }
    const TStringList& Publics() const { return *publics_; }
    const TStringList& LineNumbers() const { return *lineNumbers_; }

  private:
    void ResetResults();
    void SplitSections(const std::vector<std::string>& lines);
    std::string_view ResolveUnit(std::uint32_t codeOffset) const;
    std::string_view ResolveProcedure(std::uint32_t codeOffset) const;
    int ResolveLine(std::uint32_t codeOffset, std::string_view unitName) const;

    bool mapLoaded_ = false;
    std::string mapFileName_;
    std::unique_ptr<TStringList> segments_;
    std::unique_ptr<TStringList> publics_;
    std::unique_ptr<TStringList> lineNumbers_;
    std::unique_ptr<TKVMapIndex> index_;
    std::unique_ptr<TKVMapInlined> inlined_;
    std::uint32_t codeBase_ = kCodeBase;
    std::uint32_t codeOffset_ = 0;
    std::int32_t lineNumber_ = 0;
    std::string sourceFile_;
    std::string procedureName_;
    std::string unitName_;
    bool dataLoaded_ = false;
};

}  // namespace zr
