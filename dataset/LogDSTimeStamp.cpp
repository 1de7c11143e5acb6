#include "dataset/LogDSTimeStamp.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "framework/FormatSettings.h"

namespace zr {

namespace {

// Whether a format's text is the same for every moment of one second: no
// milliseconds, no names, no nested or quoted formats, no am/pm (a format
// holding any of those is simply formatted every time).
bool SameForTheWholeSecond(std::string_view format) {
    char previous = 0;
    int run = 0;
    for (char c : format) {
        const char lower = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (lower == 'z' || lower == 'a' || lower == 't' || lower == 'c' || c == '\'' || c == '"')
            return false;
        run = lower == previous ? run + 1 : 1;
        previous = lower;
        if ((lower == 'm' || lower == 'd') && run >= 3) return false;
    }
    return true;
}

// Now() of the moment `clock` read.
TDateTime LocalDateTime(const timespec& clock) {
    tm local{};
    localtime_r(&clock.tv_sec, &local);
    return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
           EncodeTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59),
                      static_cast<int>(clock.tv_nsec / 1000000));
}

}  // namespace

const std::string& TLogTimeStamp::TextNow() {
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    if (valid_ && clock.tv_sec == clockSecond_ && SameFormats()) return text_;
    Text(LocalDateTime(clock));
    clockSecond_ = valid_ ? clock.tv_sec : -1;
    return text_;
}

bool TLogTimeStamp::SameFormats() const {
    const TFormatSettings& s = FormatSettings;
    return s.DateSeparator == dateSeparator_ && s.TimeSeparator == timeSeparator_ &&
           s.ShortDateFormat == shortDateFormat_ && s.LongTimeFormat == longTimeFormat_;
}

const std::string& TLogTimeStamp::Text(TDateTime value) {
    int hour, minute, second, msec;
    DecodeTime(value, hour, minute, second, msec);
    const int secondOfDay = (hour * 60 + minute) * 60 + second;
    const double day = std::trunc(value);
    // Exact midnight has no time part while the rest of its second has one
    // (and a time that rounds up to midnight belongs to the next day).
    const bool midnight = secondOfDay == 0;
    if (valid_ && !midnight && day == day_ && secondOfDay == second_ && SameFormats()) return text_;
    text_ = FormatDateTime("c", value);
    clockSecond_ = -1;  // TextNow's second no longer goes with the text
    if (!SameFormats()) {
        const TFormatSettings& s = FormatSettings;
        shortDateFormat_ = s.ShortDateFormat;
        longTimeFormat_ = s.LongTimeFormat;
        dateSeparator_ = s.DateSeparator;
        timeSeparator_ = s.TimeSeparator;
        keepable_ =
            SameForTheWholeSecond(shortDateFormat_) && SameForTheWholeSecond(longTimeFormat_);
    }
    valid_ = keepable_ && !midnight;
    day_ = day;
    second_ = secondOfDay;
    return text_;
}

}  // namespace zr
