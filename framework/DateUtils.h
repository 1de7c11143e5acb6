// Dates and times as the framework keeps them: a double of days since
// 1899-12-30, the fraction being the time of day.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zr {

struct TFormatSettings;

using TDateTime = double;

TDateTime Now();
TDateTime Date();
TDateTime Time();

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// Raise EConvertError for values out of range.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result);
// A date (whole days) and a time of day (0 <= time < 1) as one value. Before
// 1899-12-30 the sign belongs to the day only: the fraction still counts
// forward from that day's midnight, so the time is taken away (-1.25 is
// 1899-12-29 06:00). Plain addition puts such a time on the wrong day.
TDateTime CombineDateTime(TDateTime date, TDateTime time);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond);
// 1 = Sunday .. 7 = Saturday.
int DayOfWeek(TDateTime value);

// FormatSettings tokens: c t tt ddddd dddddd d dd ddd dddd m mm mmm mmmm
// yy yyyy h hh n nn s ss z zzz am/pm a/p ampm, '/' and ':' for the
// separators, quoted text in '…' or "…".
std::string FormatDateTime(std::string_view format, TDateTime value);
std::string FormatDateTime(std::string_view format, TDateTime value,
                           const TFormatSettings& settings);
// Short date, then a blank and the long time unless the time is exactly midnight.
std::string DateTimeToStr(TDateTime value);
std::string DateTimeToStr(TDateTime value, const TFormatSettings& settings);
std::string DateToStr(TDateTime value);
std::string TimeToStr(TDateTime value);

// Conversions between TDateTime and Unix time (seconds since 1970, UTC
// meaning whatever the caller's time is in).
TDateTime UnixToDateTime(std::int64_t seconds);
std::int64_t DateTimeToUnix(TDateTime value);

}  // namespace zr
