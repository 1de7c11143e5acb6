#include "platform/EventLogIndex.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/EventLogFile.h"

namespace zr::os::eventlog {

namespace {

constexpr off_t BlockSize = 64 * 1024;
constexpr std::size_t MaxBlocks = 16;
// A search through damage holds this much of the file at a time; a record
// claimed at any position it tries lies inside.
constexpr off_t WindowSize = 2 * static_cast<off_t>(MaxRecordSize);
constexpr std::size_t ZeroChunk = 64;

bool PlausibleLength(DWORD length, off_t room) {
    return length >= MinRecordSize && length <= MaxRecordSize && length % 4 == 0 &&
           static_cast<off_t>(length) <= room;
}

// Records are numbered from 1 at the file's start and each takes at least
// MinRecordSize bytes, so no record at `offset` can have a larger number;
// this keeps a damaged number from inventing records.
bool FitsNumber(DWORD number, off_t offset) {
    return number >= 1 && static_cast<off_t>(number - 1) <= offset / MinRecordSize;
}

// Whether `missing` damaged records fit in the `skipped` bytes between two
// records that check out: a record whose number was damaged into another
// that checks out would otherwise hide the records its number leaps over.
bool MissingFit(DWORD missing, off_t skipped) {
    return static_cast<off_t>(missing) <= skipped / MinRecordSize;
}

bool ByNumber(const RecordSpot& spot, DWORD number) {
    return spot.number < number;
}

DWORD DwordAt(const std::uint8_t* at) {
    DWORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Whether the offsets and sizes in a record's fixed part stay inside its
// `length` bytes: what can be told of a claimed record without walking it.
inline __attribute__((always_inline)) bool HeaderAgrees(const std::uint8_t* record, DWORD length) {
    // Field by field: a copy of the whole fixed part would be read back
    // through the stack at every position tried.
    auto field = [record](std::size_t offset) { return std::uint64_t{DwordAt(record + offset)}; };
    const std::uint64_t bodyEnd = length - 4, fixed = sizeof(EVENTLOGRECORD);
    const std::uint64_t sidLength = field(offsetof(EVENTLOGRECORD, UserSidLength));
    const std::uint64_t sidOffset = field(offsetof(EVENTLOGRECORD, UserSidOffset));
    const std::uint64_t dataLength = field(offsetof(EVENTLOGRECORD, DataLength));
    const std::uint64_t dataOffset = field(offsetof(EVENTLOGRECORD, DataOffset));
    const std::uint64_t stringOffset = field(offsetof(EVENTLOGRECORD, StringOffset));
    const bool strings = (field(offsetof(EVENTLOGRECORD, EventType)) >> 16) != 0;  // NumStrings
    return (sidLength == 0 || (sidOffset >= fixed && sidOffset + sidLength <= bodyEnd)) &
           (dataLength == 0 || (dataOffset >= fixed && dataOffset + dataLength <= bodyEnd)) &
           (!strings || (stringOffset >= fixed && stringOffset < bodyEnd));
}

// The zero bytes among `length` bytes, eight at a time.
std::size_t CountZeros(const std::uint8_t* bytes, std::size_t length) {
    constexpr std::uint64_t Low7 = 0x7F7F7F7F7F7F7F7FULL;
    std::size_t zeros = 0, at = 0;
    for (; at + 8 <= length; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        // The high bit of each byte that is zero, exactly.
        const std::uint64_t high = ~(((word & Low7) + Low7) | word | Low7);
        zeros += static_cast<std::size_t>(__builtin_popcountll(high));
    }
    for (; at < length; ++at) zeros += bytes[at] == 0;
    return zeros;
}

}  // namespace

// ---- FileReader --------------------------------------------------------------

void FileReader::Reset(int fd, off_t size) {
    fd_ = fd;
    size_ = size;
    blocks_.clear();
    order_.clear();
}

void FileReader::Appended(off_t from, off_t size) {
    DropFrom(from);
    size_ = size;
}

void FileReader::DropFrom(off_t offset) {
    const off_t first = offset / BlockSize;
    blocks_.erase(blocks_.lower_bound(first), blocks_.end());
    order_.erase(std::remove_if(order_.begin(), order_.end(), [&](off_t n) { return n >= first; }),
                 order_.end());
}

const std::vector<std::uint8_t>* FileReader::Block(off_t number) {
    if (auto found = blocks_.find(number); found != blocks_.end()) return &found->second;
    const off_t begin = number * BlockSize;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min(BlockSize, size_ - begin)));
    for (std::size_t done = 0; done < block.size();) {
        const ssize_t got = ::pread(fd_, block.data() + done, block.size() - done,
                                    begin + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return nullptr;  // the file is shorter than it was
        done += static_cast<std::size_t>(got);
    }
    if (order_.size() >= MaxBlocks) {
        blocks_.erase(order_.front());
        order_.pop_front();
    }
    order_.push_back(number);
    return &blocks_.emplace(number, std::move(block)).first->second;
}

bool FileReader::Read(off_t offset, std::size_t length, void* out) {
    if (offset < 0 || static_cast<off_t>(length) > size_ - offset) return false;
    auto* to = static_cast<std::uint8_t*>(out);
    while (length > 0) {
        const std::vector<std::uint8_t>* block = Block(offset / BlockSize);
        const auto inside = static_cast<std::size_t>(offset % BlockSize);
        if (!block || inside >= block->size()) return false;
        const std::size_t part = std::min(length, block->size() - inside);
        std::memcpy(to, block->data() + inside, part);
        to += part;
        offset += static_cast<off_t>(part);
        length -= part;
    }
    return true;
}

bool FileReader::ReadDword(off_t offset, DWORD& value) {
    return Read(offset, sizeof value, &value);
}

bool FileReader::ReadThrough(off_t offset, std::size_t length, void* out) {
    if (offset < 0 || static_cast<off_t>(length) > size_ - offset) return false;
    auto* to = static_cast<std::uint8_t*>(out);
    for (std::size_t done = 0; done < length;) {
        const ssize_t got =
            ::pread(fd_, to + done, length - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// ---- ScanWindow --------------------------------------------------------------

bool ScanWindow::Load(FileReader& file, off_t begin, off_t end) {
    zerosBefore_.clear();
    size_ = static_cast<std::size_t>(end - begin);
    if (size_ > capacity_) {
        bytes_.reset(new std::uint8_t[size_]);
        capacity_ = size_;
    }
    begin_ = begin;
    if (file.ReadThrough(begin, size_, bytes_.get())) return true;
    Clear();
    return false;
}

void ScanWindow::Clear() {
    begin_ = 0;
    size_ = capacity_ = 0;
    bytes_.reset();
    std::vector<std::uint32_t>().swap(zerosBefore_);
}

std::size_t ScanWindow::Zeros(std::size_t from, std::size_t to) {
    if (zerosBefore_.empty()) {
        zerosBefore_.resize(size_ / ZeroChunk + 1);
        for (std::size_t chunk = 0; chunk + 1 < zerosBefore_.size(); ++chunk)
            zerosBefore_[chunk + 1] =
                zerosBefore_[chunk] +
                static_cast<std::uint32_t>(CountZeros(bytes_.get() + chunk * ZeroChunk, ZeroChunk));
    }
    auto before = [&](std::size_t at) {
        const std::size_t chunk = at / ZeroChunk;
        return zerosBefore_[chunk] +
               CountZeros(bytes_.get() + chunk * ZeroChunk, at - chunk * ZeroChunk);
    };
    return from >= to ? 0 : before(to) - before(from);
}

bool ScanWindow::Whole(off_t offset, DWORD length) {
    // RecordIsWhole's checks, with each text walk replaced by a count of the
    // zero bytes that end the texts.
    const std::uint8_t* record = At(offset);
    if (length < MinRecordSize || length > MaxRecordSize || length % 4 != 0 ||
        DwordAt(record) != length || DwordAt(record + length - 4) != length ||
        DwordAt(record + 4) != ELF_LOG_SIGNATURE || !HeaderAgrees(record, length))
        return false;
    const auto from = static_cast<std::size_t>(offset - begin_);
    const std::size_t bodyEnd = from + length - 4;
    // The source and the computer name.
    if (Zeros(from + sizeof(EVENTLOGRECORD), bodyEnd) < 2) return false;
    WORD strings;
    std::memcpy(&strings, record + offsetof(EVENTLOGRECORD, NumStrings), sizeof strings);
    const DWORD stringOffset = DwordAt(record + offsetof(EVENTLOGRECORD, StringOffset));
    if (strings != 0 && Zeros(from + stringOffset, bodyEnd) < strings) return false;
    // Found: checked once more the plain way, which costs this record's
    // length once.
    return RecordIsWhole(record, length);
}

// ---- LogIndex ----------------------------------------------------------------

bool LogIndex::WholeAt(FileReader& file, off_t offset, DWORD length, DWORD& number) {
    DWORD signature = 0, closing = 0;
    if (!PlausibleLength(length, file.Size() - offset) || !file.ReadDword(offset + 4, signature) ||
        signature != ELF_LOG_SIGNATURE || !file.ReadDword(offset + length - 4, closing) ||
        closing != length)
        return false;
    scratch_.resize(length);
    if (!file.Read(offset, length, scratch_.data()) || !RecordIsWhole(scratch_.data(), length))
        return false;
    std::memcpy(&number, scratch_.data() + offsetof(EVENTLOGRECORD, RecordNumber), 4);
    return FitsNumber(number, offset);
}

void LogIndex::Build(FileReader& file) {
    window_.Clear();
    known_.clear();
    knownFrom_ = validEnd_ = 0;
    oldest_ = 0;
    const off_t size = file.Size();
    // The usual file: record 1 at its start and whole records up to its end,
    // the last two numbered one after the other. Only they are read now.
    DWORD first = 0, firstNumber = 0, last = 0, lastNumber = 0;
    if (file.ReadDword(0, first) && WholeAt(file, 0, first, firstNumber) && firstNumber == 1 &&
        file.ReadDword(size - 4, last) && PlausibleLength(last, size) &&
        WholeAt(file, size - last, last, lastNumber)) {
        const RecordSpot newest{lastNumber, size - last, last};
        if (lastNumber == 1 && newest.offset == 0) {
            known_ = {newest};
            validEnd_ = size;
            oldest_ = 1;
            return;
        }
        DWORD before = 0, beforeNumber = 0;
        if (file.ReadDword(newest.offset - 4, before) && PlausibleLength(before, newest.offset) &&
            WholeAt(file, newest.offset - before, before, beforeNumber) &&
            beforeNumber + 1 == lastNumber) {
            known_ = {{beforeNumber, newest.offset - before, before}, newest};
            knownFrom_ = newest.offset - before;
            validEnd_ = size;
            oldest_ = 1;
            return;
        }
    }
    // Anything else (a torn tail, damage near either end) is read from the
    // start, stepping over what does not check out.
    ScanForward(file);
    oldest_ = known_.empty() ? 0 : known_.front().number;
}

bool LogIndex::Extend(FileReader& file) {
    if (file.Size() < validEnd_) return false;
    if (!known_.empty()) {
        const RecordSpot& newest = known_.back();
        DWORD number = 0;
        if (!WholeAt(file, newest.offset, newest.length, number) || number != newest.number)
            return false;
    }
    ScanForward(file);
    if (oldest_ == 0 && !known_.empty()) oldest_ = known_.front().number;
    return true;
}

void LogIndex::ScanForward(FileReader& file) {
    const off_t size = file.Size();
    off_t at = validEnd_;
    while (at + static_cast<off_t>(MinRecordSize) <= size) {
        const DWORD after = known_.empty() ? 0 : known_.back().number;
        DWORD length = 0, number = 0;
        if (file.ReadDword(at, length) && WholeAt(file, at, length, number) &&
            (known_.empty() || number == after + 1)) {
            known_.push_back({number, at, length});
            validEnd_ = at += length;
            continue;
        }
        // A damaged record: the next one that checks out and comes later in
        // the numbering.
        RecordSpot found;
        if (!FindAfterDamage(file, at, after, found)) break;  // the rest is a tail
        known_.push_back(found);
        validEnd_ = at = found.offset + found.length;
    }
    window_.Clear();
}

bool LogIndex::FindAfterDamage(FileReader& file, off_t at, DWORD after, RecordSpot& found) {
    const off_t size = file.Size();
    const auto min = static_cast<off_t>(MinRecordSize), max = static_cast<off_t>(MaxRecordSize);
    // Records begin at multiples of 4. Each position costs a few loads from
    // the window; only a position whose claims all agree is checked whole.
    for (off_t next = at + 4; next + min <= size;) {
        if (!window_.Holds(next, std::min(size, next + max)) &&
            !window_.Load(file, next, std::min(size, next + WindowSize)))
            return false;
        const off_t windowEnd = window_.End();
        const off_t last = windowEnd == size ? size - min : windowEnd - max;
        for (const std::uint8_t* bytes = window_.At(next); next <= last; next += 4, bytes += 4) {
            if (DwordAt(bytes + 4) != ELF_LOG_SIGNATURE) continue;
            const DWORD length = DwordAt(bytes);
            // The closing length last: it is the one load far from here.
            if (!PlausibleLength(length, size - next) || !HeaderAgrees(bytes, length) ||
                DwordAt(bytes + length - 4) != length)
                continue;
            const DWORD number = DwordAt(bytes + 8);
            if (!FitsNumber(number, next) || number <= after ||
                !MissingFit(number - after - 1, next - at) || !window_.Whole(next, length))
                continue;
            found = {number, next, length};
            return true;
        }
    }
    return false;
}

bool LogIndex::StepBack(FileReader& file) {
    const DWORD before = known_.front().number;
    // The usual case: a whole record ends where the oldest known begins.
    DWORD length = 0, number = 0;
    if (file.ReadDword(knownFrom_ - 4, length) && PlausibleLength(length, knownFrom_) &&
        WholeAt(file, knownFrom_ - length, length, number) && number < before &&
        MissingFit(before - number - 1, 0)) {
        known_.push_front({number, knownFrom_ - length, length});
        knownFrom_ -= length;
        return true;
    }
    // Damage: the nearest record before it that checks out, searched
    // through a window of the file held in memory.
    for (off_t end = knownFrom_; end >= static_cast<off_t>(MinRecordSize); end -= 4) {
        const off_t reach = std::max<off_t>(0, end - static_cast<off_t>(MaxRecordSize));
        if (!window_.Holds(reach, end) &&
            !window_.Load(file, std::max<off_t>(0, end - WindowSize), end))
            break;
        length = window_.Dword(end - 4);
        if (!PlausibleLength(length, end)) continue;
        const off_t start = end - length;
        if (window_.Dword(start) != length || window_.Dword(start + 4) != ELF_LOG_SIGNATURE)
            continue;
        number = window_.Dword(start + 8);
        if (number < before && FitsNumber(number, start) &&
            MissingFit(before - number - 1, knownFrom_ - end) && window_.Whole(start, length)) {
            known_.push_front({number, start, length});
            knownFrom_ = start;
            return true;
        }
    }
    knownFrom_ = 0;  // nothing before it checks out
    return false;
}

void LogIndex::ReachBackTo(FileReader& file, DWORD number) {
    while (!known_.empty() && number < known_.front().number && knownFrom_ > 0 && StepBack(file)) {
    }
}

std::optional<RecordSpot> LogIndex::Find(FileReader& file, DWORD number) {
    if (Empty() || number < Oldest() || number > Newest()) return std::nullopt;
    ReachBackTo(file, number);
    auto found = std::lower_bound(known_.begin(), known_.end(), number, ByNumber);
    if (found == known_.end() || found->number != number) return std::nullopt;
    return *found;
}

std::optional<RecordSpot> LogIndex::Nearest(FileReader& file, DWORD number, bool backwards) {
    if (Empty()) return std::nullopt;
    if (backwards) {
        if (number < Oldest()) return std::nullopt;
        number = std::min(number, Newest());
        ReachBackTo(file, number);
        auto after = std::upper_bound(known_.begin(), known_.end(), number,
                                      [](DWORD n, const RecordSpot& s) { return n < s.number; });
        if (after == known_.begin()) return std::nullopt;
        return *(after - 1);
    }
    if (number > Newest()) return std::nullopt;
    ReachBackTo(file, number);
    return *std::lower_bound(known_.begin(), known_.end(), number, ByNumber);
}

void LogIndex::Appended(const RecordSpot& spot) {
    if (known_.empty()) {
        knownFrom_ = spot.offset;
        oldest_ = spot.number;
    }
    known_.push_back(spot);
    validEnd_ = spot.offset + spot.length;
}

Tail ExamineTail(FileReader& file, off_t validEnd) {
    const off_t size = file.Size();
    Tail tail{validEnd, 0};
    while (tail.cutAt < size) {
        const off_t left = size - tail.cutAt;
        DWORD length = 0, closing = 0;
        // Too short to say how long it is: what a killed writer left.
        if (left < 4 || !file.ReadDword(tail.cutAt, length)) break;
        // A complete record, damaged somewhere inside (maybe in its closing
        // length): kept, and its number is not given again.
        if (PlausibleLength(length, left)) {
            ++tail.damagedRecords;
            tail.cutAt += length;
            continue;
        }
        // A complete record whose first length is the damaged part.
        const bool endsWhole = left >= static_cast<off_t>(MinRecordSize) &&
                               file.ReadDword(size - 4, closing) && closing == left &&
                               PlausibleLength(closing, left);
        // Only a record whose length runs past the end of the file is torn;
        // anything else is damage, and no damage is cut.
        if (endsWhole || length <= static_cast<DWORD>(std::min<off_t>(left, 0xFFFFFFFF))) {
            if (left >= static_cast<off_t>(MinRecordSize)) ++tail.damagedRecords;
            tail.cutAt = (size + 3) & ~off_t{3};
        }
        break;
    }
    return tail;
}

}  // namespace zr::os::eventlog
