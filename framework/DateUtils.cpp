#include "framework/DateUtils.h"

#include <time.h>

#include <cmath>

#include "framework/Exceptions.h"
#include "framework/FormatSettings.h"

namespace zr {

namespace {

constexpr double kMSecsPerDay = 86400000.0;
// Days from 0001-01-01 (day 1) to 1899-12-30 (TDateTime 0).
constexpr int kDateDelta = 693594;
// TDateTime of 0001-01-01 and of the day after 9999-12-31.
constexpr double kMinDate = -693593.0;
constexpr double kMaxDate = 2958466.0;

// Days since 0001-01-01 of a date in the proleptic Gregorian calendar (1-based).
int DayNumber(int year, int month, int day) {
    static const int kBefore[2][12] = {{0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
                                       {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};
    int y = year - 1;
    return y * 365 + y / 4 - y / 100 + y / 400 + kBefore[IsLeapYear(year)][month - 1] + day;
}

// A TDateTime split into whole days (of the calendar) and milliseconds of
// the day. The fraction of a negative value counts forward from its day's
// midnight, as the framework's dates always have.
struct TStamp {
    int day = 0;  // TDateTime days, 0 = 1899-12-30
    int msec = 0;
    bool valid = false;
};

TStamp Stamp(TDateTime value) {
    TStamp s;
    if (!std::isfinite(value) || value <= kMinDate - 1 || value >= kMaxDate) return s;
    double whole = std::trunc(value);
    auto msec = static_cast<long long>(std::llround(std::fabs(value - whole) * kMSecsPerDay));
    s.day = static_cast<int>(whole);
    // A time that rounds up to midnight belongs to the next day.
    if (msec >= static_cast<long long>(kMSecsPerDay)) {
        msec -= static_cast<long long>(kMSecsPerDay);
        ++s.day;
    }
    s.msec = static_cast<int>(msec);
    s.valid = s.day + kDateDelta >= 1 && s.day + kDateDelta <= DayNumber(9999, 12, 31);
    return s;
}

void CivilFromDays(int dayNumber, int& year, int& month, int& day) {
    // From days since 0001-01-01 (day 1): shift to days since 0000-03-01.
    long long z = dayNumber + 305;
    long long era = z / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month))
        return false;
    result = DayNumber(year, month, day) - kDateDelta;
    return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        millisecond < 0 || millisecond > 999)
        return false;
    result = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / kMSecsPerDay;
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime result = 0;
    if (!TryEncodeDate(year, month, day, result))
        throw EConvertError("Invalid argument to date encode");
    return result;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
    TDateTime result = 0;
    if (!TryEncodeTime(hour, minute, second, millisecond, result))
        throw EConvertError("Invalid argument to time encode");
    return result;
}

TDateTime CombineDateTime(TDateTime date, TDateTime time) {
    return date < 0 ? date - time : date + time;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
    TStamp s = Stamp(value);
    if (!s.valid) {
        year = month = day = 0;
        return;
    }
    CivilFromDays(s.day + kDateDelta, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond) {
    TStamp s = Stamp(value);
    int msec = s.valid ? s.msec : 0;
    millisecond = msec % 1000;
    second = msec / 1000 % 60;
    minute = msec / 60000 % 60;
    hour = msec / 3600000;
}

int DayOfWeek(TDateTime value) {
    TStamp s = Stamp(value);
    if (!s.valid) return 0;
    // 0001-01-01 was a Monday.
    return (s.day + kDateDelta) % 7 + 1;
}

TDateTime Now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
           EncodeTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59),
                      static_cast<int>(now.tv_nsec / 1000000));
}

TDateTime Date() {
    return std::trunc(Now());
}

TDateTime Time() {
    TDateTime now = Now();
    return now - std::trunc(now);
}

// Before 1899-12-30 the day counts backwards while the time of day still
// counts forwards from that day's midnight, so day and time go separately.
TDateTime UnixToDateTime(std::int64_t seconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    return CombineDateTime(25569.0 + static_cast<double>(days), static_cast<double>(rest) / 86400.0);
}

std::int64_t DateTimeToUnix(TDateTime value) {
    const double day = std::trunc(value);
    const double time = std::fabs(value - day);
    return static_cast<std::int64_t>(std::llround((day - 25569.0) * 86400.0 + time * 86400.0));
}

}  // namespace zr
