#include "framework/FormatSettings.h"

#include <langinfo.h>
#include <locale.h>

#include <climits>
#include <string_view>

namespace zr {

namespace {

const std::array<std::string, 12> kShortMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const std::array<std::string, 12> kLongMonths = {"January",   "February", "March",    "April",
                                                 "May",       "June",     "July",     "August",
                                                 "September", "October",  "November", "December"};
const std::array<std::string, 7> kShortDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const std::array<std::string, 7> kLongDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                              "Thursday", "Friday", "Saturday"};

// Reads one locale item, or gives `fallback` when the locale leaves it empty.
std::string Item(locale_t locale, nl_item item, const std::string& fallback) {
    const char* text = nl_langinfo_l(item, locale);
    return text && *text ? std::string(text) : fallback;
}

// A separator must be a single byte to fit the format settings; anything
// else keeps the default.
char SingleByte(const char* text, char fallback) {
    return text && text[0] != '\0' && text[1] == '\0' ? text[0] : fallback;
}

// Turns an strftime pattern into the framework's date and time tokens. The
// first literal separator between fields becomes `separator` and is written
// as `placeholder` ('/' for dates, ':' for times); other literal text is quoted.
class TPatternConverter {
  public:
    TPatternConverter(locale_t locale, char placeholder)
        : locale_(locale), placeholder_(placeholder) {}

    std::string Convert(std::string_view pattern, int depth = 0) {
        std::string out;
        std::string literal;
        auto flushLiteral = [&] {
            if (literal.empty()) return;
            if (literal.size() == 1 && !IsLetter(literal[0]) && literal[0] != ' ' &&
                literal[0] != '\'' && literal[0] != '"' &&
                (separator == 0 || separator == literal[0])) {
                separator = literal[0];
                out += placeholder_;
            } else if (literal == " " || literal == ", " || literal == ",") {
                out += literal;
            } else {
                out += '"' + literal + '"';
            }
            literal.clear();
        };
        for (size_t i = 0; i < pattern.size(); ++i) {
            if (pattern[i] != '%' || i + 1 >= pattern.size()) {
                if (pattern[i] != '"') literal += pattern[i];
                continue;
            }
            char code = pattern[++i];
            // Flags and field widths of glibc ("%-d", "%_H", "%Ey") change nothing here.
            while ((code == '-' || code == '_' || code == '0' || code == '^' || code == '#' ||
                    code == 'E' || code == 'O') &&
                   i + 1 < pattern.size())
                code = pattern[++i];
            if (code == '%') {
                literal += '%';
                continue;
            }
            flushLiteral();
            out += Token(code, depth);
        }
        flushLiteral();
        return out;
    }

    char separator = 0;

  private:
    static bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

    std::string Token(char code, int depth) {
        switch (code) {
            case 'd':
                return "dd";
            case 'e':
                return "d";
            case 'm':
                return "mm";
            case 'b':
            case 'h':
                return "mmm";
            case 'B':
                return "mmmm";
            case 'a':
                return "ddd";
            case 'A':
                return "dddd";
            // Two-digit years lose the century, which a log read years later needs.
            case 'y':
            case 'Y':
            case 'C':
                return "yyyy";
            case 'H':
                return "hh";
            case 'k':
                return "h";
            case 'I':
                return "hh";
            case 'l':
                return "h";
            case 'M':
                return "nn";
            case 'S':
                return "ss";
            case 'p':
            case 'P':
                return "AMPM";
            case 'F':
                return Convert("%Y-%m-%d", depth + 1);
            case 'D':
                return Convert("%m/%d/%y", depth + 1);
            case 'T':
                return Convert("%H:%M:%S", depth + 1);
            case 'R':
                return Convert("%H:%M", depth + 1);
            case 'r':
                if (depth > 2) return {};
                return Convert(locale_ ? Item(locale_, T_FMT_AMPM, "%I:%M:%S %p") : "%I:%M:%S %p",
                               depth + 1);
            default:
                return {};  // weekday numbers, time zones and the like have no token
        }
    }

    locale_t locale_;
    char placeholder_;
};

// The short time format is the long one without its seconds.
std::string WithoutSeconds(std::string format) {
    for (const char* seconds : {":ss", ":s"}) {
        size_t at = format.find(seconds);
        if (at != std::string::npos) {
            format.erase(at, std::string_view(seconds).size());
            break;
        }
    }
    return format;
}

// Maps the C library's currency layout onto the framework's numbered layouts.
int PositiveCurrencyFormat(bool precedes, bool space) {
    if (precedes) return space ? 2 : 0;
    return space ? 3 : 1;
}

int NegativeCurrencyFormat(bool precedes, bool space, int signPosition) {
    switch (signPosition) {
        case 0:
            return precedes ? (space ? 14 : 0) : (space ? 15 : 4);
        case 2:
            return precedes ? (space ? 11 : 3) : (space ? 10 : 7);
        case 3:
            return precedes ? (space ? 9 : 1) : (space ? 13 : 6);
        case 4:
            return precedes ? (space ? 12 : 2) : (space ? 10 : 7);
        default:
            return precedes ? (space ? 9 : 1) : (space ? 8 : 5);
    }
}

void ReadNames(TFormatSettings& s, locale_t locale) {
    for (int i = 0; i < 12; ++i) {
        s.ShortMonthNames[i] = Item(locale, ABMON_1 + i, kShortMonths[i]);
        s.LongMonthNames[i] = Item(locale, MON_1 + i, kLongMonths[i]);
    }
    for (int i = 0; i < 7; ++i) {
        s.ShortDayNames[i] = Item(locale, ABDAY_1 + i, kShortDays[i]);
        s.LongDayNames[i] = Item(locale, DAY_1 + i, kLongDays[i]);
    }
}

void ReadDateAndTime(TFormatSettings& s, locale_t locale) {
    TPatternConverter date(locale, '/');
    s.ShortDateFormat = date.Convert(Item(locale, D_FMT, "%m/%d/%Y"));
    if (date.separator != 0) s.DateSeparator = date.separator;

    TPatternConverter time(locale, ':');
    s.LongTimeFormat = time.Convert(Item(locale, T_FMT, "%H:%M:%S"));
    if (time.separator != 0) s.TimeSeparator = time.separator;
    s.ShortTimeFormat = WithoutSeconds(s.LongTimeFormat);

    // The locale's AM and PM may be empty (24-hour locales); keep them so.
    const char* am = nl_langinfo_l(AM_STR, locale);
    const char* pm = nl_langinfo_l(PM_STR, locale);
    s.TimeAMString = am ? am : "";
    s.TimePMString = pm ? pm : "";
}

void ReadNumbers(TFormatSettings& s, locale_t locale) {
    s.DecimalSeparator = SingleByte(nl_langinfo_l(RADIXCHAR, locale), '.');
    const char* thousands = nl_langinfo_l(THOUSEP, locale);
    s.ThousandSeparator = thousands ? thousands : "";

    // localeconv reads the calling thread's locale.
    locale_t previous = uselocale(locale);
    const lconv* conv = localeconv();
    if (conv->currency_symbol && *conv->currency_symbol) s.CurrencyString = conv->currency_symbol;
    if (conv->frac_digits != CHAR_MAX) s.CurrencyDecimals = conv->frac_digits;
    if (conv->p_cs_precedes != CHAR_MAX)
        s.CurrencyFormat = PositiveCurrencyFormat(conv->p_cs_precedes, conv->p_sep_by_space == 1);
    if (conv->n_cs_precedes != CHAR_MAX)
        s.NegCurrFormat = NegativeCurrencyFormat(conv->n_cs_precedes, conv->n_sep_by_space == 1,
                                                 conv->n_sign_posn);
    uselocale(previous);
}

bool IsPlainCLocale(locale_t locale) {
    const char* dateFormat = nl_langinfo_l(D_FMT, locale);
    const char* monthName = nl_langinfo_l(MON_1, locale);
    return dateFormat && std::string_view(dateFormat) == "%m/%d/%y" && monthName &&
           std::string_view(monthName) == "January" &&
           std::string_view(nl_langinfo_l(T_FMT, locale)) == "%H:%M:%S";
}

}  // namespace

TFormatSettings::TFormatSettings()
    : ShortMonthNames(kShortMonths),
      LongMonthNames(kLongMonths),
      ShortDayNames(kShortDays),
      LongDayNames(kLongDays) {}

TFormatSettings TFormatSettings::Default() {
    return TFormatSettings();
}

std::string FormatFromStrftime(std::string_view pattern, char placeholder, char& separator) {
    TPatternConverter converter(static_cast<locale_t>(0), placeholder);
    std::string format = converter.Convert(pattern);
    separator = converter.separator;
    return format;
}

TFormatSettings TFormatSettings::FromLocale() {
    return FromLocale("");
}

TFormatSettings TFormatSettings::FromLocale(const char* localeName) {
    TFormatSettings s;
    // The locale is read without making it the process's own: switching the
    // process locale would change how the C library reads and writes numbers
    // everywhere.
    locale_t locale = newlocale(LC_ALL_MASK, localeName, static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0)) return s;
    // The plain C locale has no regional habits; keep the built-in defaults.
    if (!IsPlainCLocale(locale)) {
        ReadNames(s, locale);
        ReadDateAndTime(s, locale);
        ReadNumbers(s, locale);
    }
    freelocale(locale);
    return s;
}

TFormatSettings FormatSettings = TFormatSettings::FromLocale();

}  // namespace zr
