// FormatDateTime and the texts made from it.
#include <string>

#include "framework/DateUtils.h"
#include "framework/FormatSettings.h"

namespace zr {

namespace {

struct TParts {
    int year, month, day, hour, minute, second, msec, dayOfWeek;
};

bool SameLetter(char a, char b) {
    return (a | 0x20) == (b | 0x20);
}

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view prefix) {
    if (text.size() - at < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (!SameLetter(text[at + i], prefix[i])) return false;
    return true;
}

std::string Padded(int value, int digits) {
    std::string text = std::to_string(value);
    if (static_cast<int>(text.size()) < digits) text.insert(0, digits - text.size(), '0');
    return text;
}

class TDateTimeWriter {
  public:
    TDateTimeWriter(const TParts& parts, const TFormatSettings& settings)
        : p_(parts), s_(settings) {}

    // Formats found inside formats (ShortDateFormat within "c") are expanded
    // two levels deep at most, so a setting that names itself cannot loop.
    void Append(std::string_view format, int level = 0) {
        if (level > 2) return;
        char lastToken = 0;
        size_t i = 0;
        while (i < format.size()) {
            char c = format[i];
            char token = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
            if (token >= 'A' && token <= 'Z') {
                // 'm' right after an hour means minutes.
                if (token == 'M' && lastToken == 'H') token = 'N';
                lastToken = token;
            }
            size_t count = RunLength(format, i);
            switch (token) {
                case 'Y':
                    i += count;
                    Year(count);
                    break;
                case 'M':
                    i += count;
                    Month(count);
                    break;
                case 'D':
                    i += count;
                    Day(count, level);
                    break;
                case 'H':
                    i += count;
                    Hour(count, TwelveHour(format, i));
                    break;
                case 'N':
                    i += count;
                    out_ += Padded(p_.minute, count > 1 ? 2 : 0);
                    break;
                case 'S':
                    i += count;
                    out_ += Padded(p_.second, count > 1 ? 2 : 0);
                    break;
                case 'Z':
                    i += count;
                    out_ += Padded(p_.msec, count > 2 ? 3 : 0);
                    break;
                case 'T':
                    i += count;
                    Append(count == 1 ? s_.ShortTimeFormat : s_.LongTimeFormat, level + 1);
                    break;
                case 'C':
                    i += count;
                    Append(s_.ShortDateFormat, level + 1);
                    if (p_.hour || p_.minute || p_.second || p_.msec) {
                        out_ += ' ';
                        Append(s_.LongTimeFormat, level + 1);
                    }
                    break;
                case 'A':
                    i = AmPm(format, i);
                    break;
                case '/':
                    ++i;
                    out_ += s_.DateSeparator;
                    break;
                case ':':
                    ++i;
                    out_ += s_.TimeSeparator;
                    break;
                case '\'':
                case '"':
                    i = Quoted(format, i);
                    break;
                default:
                    ++i;
                    out_ += c;
                    break;
            }
        }
    }

    std::string Text() { return std::move(out_); }

  private:
    static size_t RunLength(std::string_view format, size_t at) {
        size_t n = 1;
        while (
            at + n < format.size() && SameLetter(format[at + n], format[at]) &&
            ((format[at] >= 'a' && format[at] <= 'z') || (format[at] >= 'A' && format[at] <= 'Z')))
            ++n;
        return n;
    }

    void Year(size_t count) { out_ += count <= 2 ? Padded(p_.year % 100, 2) : Padded(p_.year, 4); }

    void Month(size_t count) {
        if (p_.month < 1) return;  // a date out of range has no month names
        switch (count) {
            case 1:
                out_ += std::to_string(p_.month);
                break;
            case 2:
                out_ += Padded(p_.month, 2);
                break;
            case 3:
                out_ += s_.ShortMonthNames[p_.month - 1];
                break;
            default:
                out_ += s_.LongMonthNames[p_.month - 1];
                break;
        }
    }

    void Day(size_t count, int level) {
        switch (count) {
            case 1:
                out_ += std::to_string(p_.day);
                break;
            case 2:
                out_ += Padded(p_.day, 2);
                break;
            case 3:
                if (p_.dayOfWeek >= 1) out_ += s_.ShortDayNames[p_.dayOfWeek - 1];
                break;
            case 4:
                if (p_.dayOfWeek >= 1) out_ += s_.LongDayNames[p_.dayOfWeek - 1];
                break;
            case 5:
                Append(s_.ShortDateFormat, level + 1);
                break;
            default:
                Append(s_.LongDateFormat, level + 1);
                break;
        }
    }

    void Hour(size_t count, bool twelveHour) {
        int hour = p_.hour;
        if (twelveHour) {
            hour %= 12;
            if (hour == 0) hour = 12;
        }
        out_ += Padded(hour, count > 1 ? 2 : 0);
    }

    // An hour is on the 12-hour clock when an am/pm marker follows it before
    // the next hour (quoted text aside).
    static bool TwelveHour(std::string_view format, size_t from) {
        char quote = 0;
        for (size_t i = from; i < format.size(); ++i) {
            char c = format[i];
            if (quote) {
                if (c == quote) quote = 0;
                continue;
            }
            if (c == '\'' || c == '"')
                quote = c;
            else if (SameLetter(c, 'h'))
                return false;
            else if (StartsWithNoCase(format, i, "am/pm") || StartsWithNoCase(format, i, "a/p") ||
                     StartsWithNoCase(format, i, "ampm"))
                return true;
        }
        return false;
    }

    // am/pm and a/p write the marker in the case the format gives it;
    // ampm writes the settings' TimeAMString or TimePMString.
    size_t AmPm(std::string_view format, size_t at) {
        bool pm = p_.hour >= 12;
        if (StartsWithNoCase(format, at, "am/pm")) {
            out_ += format.substr(at + (pm ? 3 : 0), 2);
            return at + 5;
        }
        if (StartsWithNoCase(format, at, "a/p")) {
            out_ += format[at + (pm ? 2 : 0)];
            return at + 3;
        }
        if (StartsWithNoCase(format, at, "ampm")) {
            out_ += pm ? s_.TimePMString : s_.TimeAMString;
            return at + 4;
        }
        out_ += format[at];
        return at + 1;
    }

    size_t Quoted(std::string_view format, size_t at) {
        size_t end = format.find(format[at], at + 1);
        if (end == std::string_view::npos) end = format.size();
        out_.append(format.substr(at + 1, end - at - 1));
        return end < format.size() ? end + 1 : end;
    }

    const TParts& p_;
    const TFormatSettings& s_;
    std::string out_;
};

TParts Split(TDateTime value) {
    TParts p{};
    DecodeDate(value, p.year, p.month, p.day);
    DecodeTime(value, p.hour, p.minute, p.second, p.msec);
    p.dayOfWeek = DayOfWeek(value);
    return p;
}

}  // namespace

std::string FormatDateTime(std::string_view format, TDateTime value,
                           const TFormatSettings& settings) {
    TParts parts = Split(value);
    TDateTimeWriter writer(parts, settings);
    writer.Append(format.empty() ? std::string_view("c") : format);
    return writer.Text();
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
    return FormatDateTime(format, value, FormatSettings);
}

std::string DateTimeToStr(TDateTime value, const TFormatSettings& settings) {
    return FormatDateTime("c", value, settings);
}

std::string DateTimeToStr(TDateTime value) {
    return DateTimeToStr(value, FormatSettings);
}

std::string DateToStr(TDateTime value) {
    return FormatDateTime("ddddd", value);
}

std::string TimeToStr(TDateTime value) {
    return FormatDateTime("tt", value);
}

}  // namespace zr
