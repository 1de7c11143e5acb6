// Where the whole records of one log file lie. A log is read from its end:
// each record carries its length at both ends, so opening a long log reads
// its newest records (and its first, for the oldest number) and nothing in
// between until a reader asks for it.
//
// A record that does not check out (one damaged byte) is skipped: the next
// record that checks out at both ends is found, and records keep the numbers
// they were written with, so the damaged one leaves a gap in the numbers.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "EventLog.h"

namespace zr::os::eventlog {

// Reads the first `Size()` bytes of a log file through a few cached blocks,
// so that walking records one at a time costs no system call per record.
class FileReader {
  public:
    // Reads `fd` from now on as a file of `size` bytes; nothing cached stays.
    void Reset(int fd, off_t size);
    // The file grew to `size` bytes by an append of this process, after
    // `from`: what is cached before that stays.
    void Appended(off_t from, off_t size);
    off_t Size() const { return size_; }
    // Copies `length` bytes at `offset`; false when they are not all there.
    bool Read(off_t offset, std::size_t length, void* out);
    bool ReadDword(off_t offset, DWORD& value);
    // The same, straight from the file without passing the cache: for
    // reading a long stretch once.
    bool ReadThrough(off_t offset, std::size_t length, void* out);

  private:
    const std::vector<std::uint8_t>* Block(off_t number);
    void DropFrom(off_t offset);

    int fd_ = -1;
    off_t size_ = 0;
    std::map<off_t, std::vector<std::uint8_t>> blocks_;  // by block number
    std::deque<off_t> order_;                            // oldest first, for eviction
};

struct RecordSpot {
    DWORD number = 0;
    off_t offset = 0;
    DWORD length = 0;
};

// A stretch of the file held whole in memory, with the count of zero bytes
// before every 64th byte: a search through damage checks each position it
// tries in a few steps, whatever the bytes there claim (no text inside a
// claimed record is walked), so a search costs what reading the file costs.
class ScanWindow {
  public:
    // Holds [begin, end) of `file`; false when it cannot be read.
    bool Load(FileReader& file, off_t begin, off_t end);
    void Clear();
    bool Holds(off_t begin, off_t end) const { return begin >= begin_ && end <= End(); }
    off_t End() const { return begin_ + static_cast<off_t>(size_); }
    const std::uint8_t* At(off_t offset) const { return bytes_.get() + (offset - begin_); }
    DWORD Dword(off_t offset) const {
        DWORD value;
        std::memcpy(&value, At(offset), sizeof value);
        return value;
    }
    // Whether the record claimed at `offset` (its `length` inside the
    // window) is one whole record, as RecordIsWhole decides.
    bool Whole(off_t offset, DWORD length);

  private:
    std::size_t Zeros(std::size_t from, std::size_t to);

    off_t begin_ = 0;
    std::size_t size_ = 0, capacity_ = 0;
    std::unique_ptr<std::uint8_t[]> bytes_;   // not cleared first: read over at once
    std::vector<std::uint32_t> zerosBefore_;  // per 64 bytes; empty until needed
};

class LogIndex {
  public:
    // Finds the records of the file anew.
    void Build(FileReader& file);
    // Takes in the records appended since the file was last looked at; false
    // when the newest record known is no longer where it was (the caller
    // builds anew).
    bool Extend(FileReader& file);

    bool Empty() const { return known_.empty(); }
    DWORD Oldest() const { return Empty() ? 0 : oldest_; }
    DWORD Newest() const { return Empty() ? 0 : known_.back().number; }
    // The end of the newest whole record; anything after it is a tail a
    // killed writer left or a damaged record.
    off_t ValidEnd() const { return validEnd_; }

    // Record `number`; none when it is damaged or not in the log.
    std::optional<RecordSpot> Find(FileReader& file, DWORD number);
    // The first whole record from `number` on (with `backwards`, the last
    // one up to it); none when there is no such record.
    std::optional<RecordSpot> Nearest(FileReader& file, DWORD number, bool backwards);
    // A record this process wrote at `spot.offset`, after everything known.
    void Appended(const RecordSpot& spot);

  private:
    bool WholeAt(FileReader& file, off_t offset, DWORD length, DWORD& number);
    // The first whole record after `at` numbered after `after` that the
    // damage from `at` on can hide; false when there is none.
    bool FindAfterDamage(FileReader& file, off_t at, DWORD after, RecordSpot& found);
    bool StepBack(FileReader& file);
    void ScanForward(FileReader& file);
    void ReachBackTo(FileReader& file, DWORD number);

    // Every whole record in [knownFrom_, validEnd_), in file order.
    std::deque<RecordSpot> known_;
    off_t knownFrom_ = 0;
    off_t validEnd_ = 0;
    DWORD oldest_ = 0;
    std::vector<std::uint8_t> scratch_;
    ScanWindow window_;  // of a search through damage, kept for the next step back
};

// What follows the last whole record of a file: where a writer may cut it
// (only an incomplete record, which a killed writer left: its length runs
// past the end of the file; a complete record that is damaged stays, even
// with a damaged closing length) and how many damaged records it keeps. The
// cut may lie past the end (damage that ends off the 4-byte grid): records
// begin at multiples of 4.
struct Tail {
    off_t cutAt = 0;
    DWORD damagedRecords = 0;
};
Tail ExamineTail(FileReader& file, off_t validEnd);

}  // namespace zr::os::eventlog
