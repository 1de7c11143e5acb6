#include <gtest/gtest.h>
#include <time.h>

#include <cmath>

#include "framework/DateUtils.h"
#include "framework/Exceptions.h"
#include "framework/FormatSettings.h"

namespace zr {
namespace {

TFormatSettings Iso() {
    TFormatSettings s = TFormatSettings::Default();
    s.DateSeparator = '-';
    s.TimeSeparator = ':';
    s.ShortDateFormat = "yyyy/mm/dd";
    s.LongDateFormat = "dddd d mmmm yyyy";
    s.ShortTimeFormat = "hh:nn";
    s.LongTimeFormat = "hh:nn:ss";
    return s;
}

TFormatSettings German() {
    TFormatSettings s = TFormatSettings::Default();
    s.DateSeparator = '.';
    s.TimeSeparator = ':';
    s.ShortDateFormat = "dd/mm/yyyy";
    s.LongDateFormat = "dddd, d. mmmm yyyy";
    s.ShortTimeFormat = "hh:nn";
    s.LongTimeFormat = "hh:nn:ss";
    s.LongMonthNames = {"Januar", "Februar", "M\xC3\xA4rz", "April",   "Mai",      "Juni",
                        "Juli",   "August",  "September",   "Oktober", "November", "Dezember"};
    s.LongDayNames = {"Sonntag",    "Montag",  "Dienstag", "Mittwoch",
                      "Donnerstag", "Freitag", "Samstag"};
    return s;
}

TFormatSettings UsEnglish() {
    TFormatSettings s = TFormatSettings::Default();
    s.DateSeparator = '/';
    s.ShortDateFormat = "m/d/yyyy";
    s.LongTimeFormat = "h:nn:ss AMPM";
    s.ShortTimeFormat = "h:nn AMPM";
    s.TimeAMString = "AM";
    s.TimePMString = "PM";
    return s;
}

// 2006-03-07 14:05:09.045, a Tuesday.
TDateTime Sample() {
    return EncodeDate(2006, 3, 7) + EncodeTime(14, 5, 9, 45);
}

TEST(DateEncoding, KnownDaysHaveTheFrameworksNumbers) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
    EXPECT_EQ(EncodeDate(1900, 1, 1), 2);
    EXPECT_EQ(EncodeDate(1970, 1, 1), 25569);
    EXPECT_EQ(EncodeDate(2000, 2, 29), 36585);
    EXPECT_EQ(EncodeDate(1, 1, 1), -693593);
    EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);
    EXPECT_EQ(DayOfWeek(EncodeDate(2006, 3, 7)), 3);  // Tuesday; Sunday is 1
    EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);     // a Monday
}

TEST(DateEncoding, EveryDayDecodesToWhatEncodedIt) {
    for (int year : {1, 4, 99, 100, 400, 1600, 1899, 1900, 1999, 2000, 2024, 2100, 9999})
        for (int month = 1; month <= 12; ++month)
            for (int day = 1; day <= DaysInMonth(year, month); ++day) {
                int y, m, d;
                // Before 1899-12-30 the time is a negative fraction of its day.
                TDateTime date = EncodeDate(year, month, day);
                DecodeDate(date < 0 ? date - 0.75 : date + 0.75, y, m, d);
                ASSERT_EQ(y * 10000 + m * 100 + d, year * 10000 + month * 100 + day);
            }
}

TEST(DateEncoding, OutOfRangeArgumentsRaise) {
    EXPECT_THROW(EncodeDate(2001, 2, 29), EConvertError);
    EXPECT_THROW(EncodeDate(2000, 13, 1), EConvertError);
    EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
    EXPECT_THROW(EncodeDate(10000, 1, 1), EConvertError);
    EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
    EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
    EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
    try {
        EncodeDate(2001, 2, 29);
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Invalid argument to date encode");
    }
}

TEST(DateEncoding, TimesAndTheDaysBeforeTheEpoch) {
    int h, n, s, ms;
    DecodeTime(Sample(), h, n, s, ms);
    EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + ms, 140509045);
    // A negative value still counts its time forward from midnight.
    int y, m, d;
    DecodeDate(-1.25, y, m, d);
    DecodeTime(-1.25, h, n, s, ms);
    EXPECT_EQ(y * 10000 + m * 100 + d, 18991229);
    EXPECT_EQ(h, 6);
    // A time a hair before midnight rounds into the next day, not to 24:00.
    DecodeDate(EncodeDate(2006, 12, 31) + 0.99999999999, y, m, d);
    DecodeTime(EncodeDate(2006, 12, 31) + 0.99999999999, h, n, s, ms);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20070101);
    EXPECT_EQ(h + n + s + ms, 0);
}

TEST(DateEncoding, UnixSecondsBeforeTheEpochKeepTheirDayAndTime) {
    // 1899-12-29 06:00 UTC, and 1850-06-15 06:30 UTC.
    for (std::int64_t seconds : {-2209226400LL, -3772546200LL, 0LL, 86399LL}) {
        const TDateTime value = UnixToDateTime(seconds);
        EXPECT_EQ(DateTimeToUnix(value), seconds);
    }
    int y, m, d, h, n, s, ms;
    DecodeDate(UnixToDateTime(-2209226400LL), y, m, d);
    DecodeTime(UnixToDateTime(-2209226400LL), h, n, s, ms);
    EXPECT_EQ(y * 10000 + m * 100 + d, 18991229);
    EXPECT_EQ(h, 6);
}

TEST(DateEncoding, NowIsTheLocalClock) {
    time_t before = time(nullptr);
    TDateTime now = Now();
    tm local{};
    localtime_r(&before, &local);
    TDateTime expected = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
                         EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, 0);
    EXPECT_NEAR(now, expected, 5.0 / 86400);
    EXPECT_EQ(Date(), std::trunc(Date()));
    EXPECT_LT(Time(), 1.0);
}

TEST(FormatDateTime, TokensUnderTwoSettings) {
    const TDateTime t = Sample();
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", t, Iso()), "2006-03-07 14:05:09.045");
    EXPECT_EQ(FormatDateTime("d/m/yy h:n:s z", t, Iso()), "7-3-06 14:5:9 45");
    EXPECT_EQ(FormatDateTime("c", t, Iso()), "2006-03-07 14:05:09");
    EXPECT_EQ(FormatDateTime("c", t, German()), "07.03.2006 14:05:09");
    EXPECT_EQ(FormatDateTime("ddddd", t, German()), "07.03.2006");
    EXPECT_EQ(FormatDateTime("dddddd", t, German()), "Dienstag, 7. M\xC3\xA4rz 2006");
    EXPECT_EQ(FormatDateTime("ddd dddd mmm mmmm", t, Iso()), "Tue Tuesday Mar March");
    EXPECT_EQ(FormatDateTime("t | tt", t, German()), "14:05 | 14:05:09");
    EXPECT_EQ(FormatDateTime("", t, German()), "07.03.2006 14:05:09");  // empty means "c"
}

TEST(FormatDateTime, MinutesAfterAnHourAndTheTwelveHourClock) {
    const TDateTime t = Sample();
    EXPECT_EQ(FormatDateTime("hh:mm", t, Iso()), "14:05");
    EXPECT_EQ(FormatDateTime("mm hh:mm", t, Iso()), "03 14:05");
    EXPECT_EQ(FormatDateTime("h:nn am/pm", t, Iso()), "2:05 pm");
    EXPECT_EQ(FormatDateTime("h:nn AM/PM", EncodeTime(9, 0, 0, 0), Iso()), "9:00 AM");
    EXPECT_EQ(FormatDateTime("h a/p", t, Iso()), "2 p");
    EXPECT_EQ(FormatDateTime("hh ampm", EncodeTime(0, 30, 0, 0), UsEnglish()), "12 AM");
    EXPECT_EQ(FormatDateTime("tt", t, UsEnglish()), "2:05:09 PM");
    // The marker applies to the hour before it only.
    EXPECT_EQ(FormatDateTime("h am/pm h", t, Iso()), "2 pm 14");
}

TEST(FormatDateTime, QuotedTextAndLiterals) {
    const TDateTime t = Sample();
    EXPECT_EQ(FormatDateTime("'day' d \"of\" mmmm", t, Iso()), "day 7 of March");
    EXPECT_EQ(FormatDateTime("'h:m/s' hh", t, Iso()), "h:m/s 14");
    EXPECT_EQ(FormatDateTime("[yyyy] #", t, Iso()), "[2006] #");
    EXPECT_EQ(FormatDateTime("'open", t, Iso()), "open");  // an unclosed quote runs to the end
}

TEST(FormatDateTime, SettingsThatNameThemselvesDoNotLoop) {
    TFormatSettings s = Iso();
    s.ShortDateFormat = "c";
    s.LongTimeFormat = "tt";
    EXPECT_NO_THROW(FormatDateTime("c", Sample(), s));
}

TEST(FormatDateTime, ValuesOutsideTheCalendarDoNotCrash) {
    for (double bad : {1e300, -1e300, std::nan(""), HUGE_VAL, 3e6})
        EXPECT_NO_THROW(FormatDateTime("dddd mmmm c", bad, Iso()));
}

TEST(DateTimeToStr, LeavesOutTheTimeAtMidnightOnly) {
    EXPECT_EQ(DateTimeToStr(EncodeDate(2006, 3, 7), German()), "07.03.2006");
    EXPECT_EQ(DateTimeToStr(EncodeDate(2006, 3, 7) + EncodeTime(0, 0, 0, 1), German()),
              "07.03.2006 00:00:00");
    EXPECT_EQ(DateTimeToStr(Sample(), UsEnglish()), "3/7/2006 2:05:09 PM");
}

TEST(LocaleSettings, DatePatternsOfTheCLibraryBecomeTokens) {
    char separator = 0;
    EXPECT_EQ(FormatFromStrftime("%d.%m.%Y", '/', separator), "dd/mm/yyyy");
    EXPECT_EQ(separator, '.');
    EXPECT_EQ(FormatFromStrftime("%m/%d/%y", '/', separator), "mm/dd/yyyy");
    EXPECT_EQ(separator, '/');
    EXPECT_EQ(FormatFromStrftime("%F", '/', separator), "yyyy/mm/dd");
    EXPECT_EQ(separator, '-');
    EXPECT_EQ(FormatFromStrftime("%e-%b-%Y", '/', separator), "d/mmm/yyyy");
    EXPECT_EQ(FormatFromStrftime("%r", ':', separator), "hh:nn:ss AMPM");
    EXPECT_EQ(separator, ':');
    EXPECT_EQ(FormatFromStrftime("%H.%M Uhr", ':', separator), "hh:nn\" Uhr\"");
    EXPECT_EQ(separator, '.');
}

TEST(LocaleSettings, LiteralTextOfAPatternIsWrittenAsItStands) {
    // Words between the fields are quoted so that none of their letters
    // turn into tokens.
    char separator = 0;
    TFormatSettings s = Iso();
    s.ShortDateFormat =
        FormatFromStrftime("%Y\xE5\xB9\xB4%m\xE6\x9C\x88%d\xE6\x97\xA5 day", '/', separator);
    EXPECT_EQ(separator, 0);
    EXPECT_EQ(FormatDateTime("ddddd", Sample(), s),
              "2006\xE5\xB9\xB4"
              "03\xE6\x9C\x88"
              "07\xE6\x97\xA5 day");
}

TEST(LocaleSettings, AnUnknownLocaleGivesTheDefaults) {
    TFormatSettings s = TFormatSettings::FromLocale("xx_NOWHERE.UTF-8");
    TFormatSettings d = TFormatSettings::Default();
    EXPECT_EQ(s.ShortDateFormat, d.ShortDateFormat);
    EXPECT_EQ(s.LongTimeFormat, d.LongTimeFormat);
    EXPECT_EQ(s.DecimalSeparator, '.');
    EXPECT_EQ(s.LongMonthNames[0], "January");
}

TEST(LocaleSettings, AGermanLocaleWhereTheSystemHasOne) {
    TFormatSettings s = TFormatSettings::FromLocale("de_DE.UTF-8");
    if (s.LongMonthNames[0] == "January") GTEST_SKIP() << "no de_DE.UTF-8 locale here";
    EXPECT_EQ(s.DecimalSeparator, ',');
    EXPECT_EQ(s.DateSeparator, '.');
    EXPECT_EQ(s.ShortDateFormat, "dd/mm/yyyy");
    EXPECT_EQ(s.LongTimeFormat, "hh:nn:ss");
    EXPECT_EQ(s.LongMonthNames[2], "M\xC3\xA4rz");
}

}  // namespace
}  // namespace zr
