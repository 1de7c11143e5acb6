// How dates, times and numbers are written and read: taken from the process
// locale at start-up, and changeable by the application (tests set it).
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace zr {

struct TFormatSettings {
    char DecimalSeparator = '.';
    // A string: many locales separate thousands with a multi-byte space.
    std::string ThousandSeparator = ",";
    char DateSeparator = '/';
    char TimeSeparator = ':';
    // Date formats write '/' and time formats ':' where the separators go.
    std::string ShortDateFormat = "mm/dd/yyyy";
    std::string LongDateFormat = "dddd, mmmm dd, yyyy";
    std::string ShortTimeFormat = "hh:nn";
    std::string LongTimeFormat = "hh:nn:ss";
    std::string TimeAMString = "AM";
    std::string TimePMString = "PM";
    std::string CurrencyString = "$";
    // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"
    int CurrencyFormat = 0;
    // 0 "($1)", 1 "-$1", 2 "$-1", 3 "$1-", 4 "(1$)", 5 "-1$", 6 "1-$", 7 "1$-",
    // 8 "-1 $", 9 "-$ 1", 10 "1 $-", 11 "$ 1-", 12 "$ -1", 13 "1- $", 14 "($ 1)", 15 "(1 $)"
    int NegCurrFormat = 1;
    int CurrencyDecimals = 2;
    // Index 0 is January / Sunday.
    std::array<std::string, 12> ShortMonthNames;
    std::array<std::string, 12> LongMonthNames;
    std::array<std::string, 7> ShortDayNames;
    std::array<std::string, 7> LongDayNames;

    TFormatSettings();
    // The settings of the "C" locale: US English names, '.' and '/' and ':'.
    static TFormatSettings Default();
    // The settings of the process's current locale (LC_TIME, LC_NUMERIC,
    // LC_MONETARY), falling back to Default() for what the locale leaves out.
    static TFormatSettings FromLocale();
    // The same for a named locale ("de_DE.UTF-8"); the defaults when the
    // system does not have it.
    static TFormatSettings FromLocale(const char* localeName);
};

// Turns a C library date or time pattern ("%d.%m.%Y") into this framework's
// tokens ("dd/mm/yyyy"): the first separator between fields is written as
// `placeholder` ('/' for dates, ':' for times) and returned in `separator`
// (0 when there is none); other literal text is quoted. Two-digit years
// become four, as a century lost in a log cannot be recovered.
std::string FormatFromStrftime(std::string_view pattern, char placeholder, char& separator);

// The process-wide settings every conversion uses unless given its own.
// Filled from the process locale (as set by the environment) at start-up.
extern TFormatSettings FormatSettings;

}  // namespace zr
