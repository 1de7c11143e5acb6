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

// ---- LogIndex ----------------------------------------------------------------

bool LogIndex::WholeAt(FileReader& file, off_t offset, DWORD length, DWORD& number) {
    DWORD signature = 0;
    if (!PlausibleLength(length, file.Size() - offset) || !file.ReadDword(offset + 4, signature) ||
        signature != ELF_LOG_SIGNATURE)
        return false;
    scratch_.resize(length);
    if (!file.Read(offset, length, scratch_.data()) || !RecordIsWhole(scratch_.data(), length))
        return false;
    std::memcpy(&number, scratch_.data() + offsetof(EVENTLOGRECORD, RecordNumber), 4);
    return FitsNumber(number, offset);
}

void LogIndex::Build(FileReader& file) {
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
        // the numbering. Records begin at multiples of 4.
        bool found = false;
        for (off_t next = at + 4; !found && next + static_cast<off_t>(MinRecordSize) <= size;
             next += 4) {
            if (file.ReadDword(next, length) && WholeAt(file, next, length, number) &&
                number > after && MissingFit(number - after - 1, next - at)) {
                known_.push_back({number, next, length});
                validEnd_ = at = next + length;
                found = true;
            }
        }
        if (!found) return;  // the rest is a tail
    }
}

bool LogIndex::StepBack(FileReader& file) {
    const DWORD before = known_.front().number;
    for (off_t end = knownFrom_; end >= static_cast<off_t>(MinRecordSize); end -= 4) {
        DWORD length = 0, number = 0;
        if (!file.ReadDword(end - 4, length) || !PlausibleLength(length, end)) continue;
        if (WholeAt(file, end - length, length, number) && number < before &&
            MissingFit(before - number - 1, knownFrom_ - end)) {
            known_.push_front({number, end - length, length});
            knownFrom_ = end - length;
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
        // A complete record, damaged inside: its length agrees at both ends.
        if (file.ReadDword(tail.cutAt, length) && PlausibleLength(length, left) &&
            file.ReadDword(tail.cutAt + length - 4, closing) && closing == length) {
            ++tail.damagedRecords;
            tail.cutAt += length;
            continue;
        }
        // A complete record whose first length is the damaged part.
        if (left >= static_cast<off_t>(MinRecordSize) && file.ReadDword(size - 4, closing) &&
            PlausibleLength(closing, left) && closing == left) {
            ++tail.damagedRecords;
            tail.cutAt = size;
        }
        break;
    }
    return tail;
}

}  // namespace zr::os::eventlog
