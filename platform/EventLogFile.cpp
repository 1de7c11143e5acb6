#include "platform/EventLogFile.h"

#include <cstring>

namespace zr::os::eventlog {

namespace {

constexpr std::size_t FixedSize = sizeof(EVENTLOGRECORD);

DWORD AlignUp(std::size_t value) {
    return static_cast<DWORD>((value + 3) & ~std::size_t{3});
}

DWORD ReadDword(const std::uint8_t* at) {
    DWORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The end of the zero-terminated text at `from`, or 0 when it runs past `end`.
std::size_t EndOfText(const std::uint8_t* record, std::size_t from, std::size_t end) {
    if (from >= end) return 0;
    const void* zero = std::memchr(record + from, 0, end - from);
    return zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - record) + 1 : 0;
}

bool InsideBody(std::uint64_t offset, std::uint64_t length, std::uint64_t bodyEnd) {
    return offset >= FixedSize && offset + length <= bodyEnd;
}

}  // namespace

std::vector<std::uint8_t> ComposeRecord(const RecordFields& f) {
    std::size_t size = FixedSize + f.source.size() + 1 + f.computer.size() + 1;
    const DWORD sidOffset = AlignUp(size);
    size = sidOffset + f.userSid.size();
    const DWORD stringOffset = static_cast<DWORD>(size);
    for (const auto& text : f.strings) size += text.size() + 1;
    const DWORD dataOffset = static_cast<DWORD>(size);
    size = AlignUp(size + f.data.size()) + 4;
    if (size > MaxRecordSize || f.strings.size() > 0xFFFF) return {};

    std::vector<std::uint8_t> record(size, 0);
    EVENTLOGRECORD head{};
    head.Length = static_cast<DWORD>(size);
    head.Reserved = ELF_LOG_SIGNATURE;
    head.RecordNumber = f.number;
    head.TimeGenerated = f.timeGenerated;
    head.TimeWritten = f.timeWritten;
    head.EventID = f.eventId;
    head.EventType = f.type;
    head.NumStrings = static_cast<WORD>(f.strings.size());
    head.EventCategory = f.category;
    head.StringOffset = stringOffset;
    head.UserSidLength = static_cast<DWORD>(f.userSid.size());
    head.UserSidOffset = sidOffset;
    head.DataLength = static_cast<DWORD>(f.data.size());
    head.DataOffset = dataOffset;
    std::memcpy(record.data(), &head, FixedSize);

    std::size_t at = FixedSize;
    auto put = [&](const std::string& text, bool terminated) {
        std::memcpy(record.data() + at, text.data(), text.size());
        at += text.size() + (terminated ? 1 : 0);
    };
    put(f.source, true);
    put(f.computer, true);
    at = sidOffset;
    put(f.userSid, false);
    for (const auto& text : f.strings) put(text, true);
    put(f.data, false);
    std::memcpy(record.data() + size - 4, &head.Length, 4);
    return record;
}

bool RecordChecksOut(const std::uint8_t* record, std::size_t size, DWORD number) {
    return RecordIsWhole(record, size) && ReadDword(record + 8) == number;
}

bool RecordIsWhole(const std::uint8_t* record, std::size_t size) {
    if (size < MinRecordSize || size > MaxRecordSize || size % 4 != 0) return false;
    EVENTLOGRECORD head;
    std::memcpy(&head, record, FixedSize);
    if (head.Length != size || ReadDword(record + size - 4) != size) return false;
    if (head.Reserved != ELF_LOG_SIGNATURE) return false;

    const std::size_t bodyEnd = size - 4;
    const std::size_t sourceEnd = EndOfText(record, FixedSize, bodyEnd);
    if (sourceEnd == 0 || EndOfText(record, sourceEnd, bodyEnd) == 0) return false;
    if (head.UserSidLength != 0 && !InsideBody(head.UserSidOffset, head.UserSidLength, bodyEnd))
        return false;
    if (head.DataLength != 0 && !InsideBody(head.DataOffset, head.DataLength, bodyEnd))
        return false;
    if (head.NumStrings != 0) {
        std::size_t at = head.StringOffset;
        if (at < FixedSize) return false;
        for (WORD i = 0; i < head.NumStrings; ++i)
            if ((at = EndOfText(record, at, bodyEnd)) == 0) return false;
    }
    return true;
}

}  // namespace zr::os::eventlog
