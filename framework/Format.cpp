#include "framework/Format.h"

#include <algorithm>

#include "framework/Exceptions.h"
#include "framework/FloatText.h"
#include "framework/FormatSettings.h"
#include "framework/SysUtils.h"

namespace zr {

namespace {

// Fields wider than this are surely a mistake, and honouring them could
// exhaust memory from a single format string.
constexpr int kMaxWidth = 1 << 16;

struct TDirective {
    int index = -1;  // -1: the next argument
    bool left = false;
    int width = 0;
    int precision = -1;  // -1: none given
    char type = 0;       // lower case
};

class TFormatter {
  public:
    TFormatter(std::string_view format, const TVarRec* args, std::size_t count,
               const TFormatSettings& settings)
        : format_(format), args_(args), count_(count), settings_(settings) {}

    std::string Run() {
        while (pos_ < format_.size()) {
            size_t percent = format_.find('%', pos_);
            if (percent == std::string_view::npos) percent = format_.size();
            out_.append(format_.substr(pos_, percent - pos_));
            pos_ = percent;
            if (pos_ < format_.size()) Directive();
        }
        return std::move(out_);
    }

  private:
    [[noreturn]] void Invalid() const {
        throw EConvertError("Format '" + std::string(format_) +
                            "' invalid or incompatible with argument");
    }

    char Peek() const { return pos_ < format_.size() ? format_[pos_] : '\0'; }

    const TVarRec& NextArgument() {
        if (next_ >= count_) Invalid();
        return args_[next_++];
    }

    static bool IsInteger(const TVarRec& arg) {
        return arg.kind == TVarRec::vtInteger || arg.kind == TVarRec::vtUnsigned;
    }

    // A count written in the directive, or '*' for one taken from the
    // arguments; false when there is neither.
    bool ReadCount(int& value) {
        if (Peek() == '*') {
            ++pos_;
            const TVarRec& arg = NextArgument();
            if (!IsInteger(arg)) Invalid();
            if (arg.kind == TVarRec::vtUnsigned)
                value = static_cast<int>(std::min<std::uint64_t>(arg.unsignedValue, kMaxWidth + 1));
            else
                value = static_cast<int>(
                    std::clamp<std::int64_t>(arg.integer, -kMaxWidth - 1, kMaxWidth + 1));
            return true;
        }
        if (Peek() < '0' || Peek() > '9') return false;
        value = 0;
        while (Peek() >= '0' && Peek() <= '9') {
            if (value <= kMaxWidth) value = value * 10 + (format_[pos_] - '0');
            ++pos_;
        }
        return true;
    }

    TDirective Parse() {
        TDirective d;
        int count = 0;
        bool haveCount = ReadCount(count);
        if (haveCount && Peek() == ':') {
            ++pos_;
            if (count < 0) Invalid();
            d.index = count;
            haveCount = false;
        }
        if (!haveCount) {
            if (Peek() == '-') {
                d.left = true;
                ++pos_;
            }
            haveCount = ReadCount(count);
        }
        if (haveCount) {
            // A negative width from '*' means a left-justified field.
            if (count < 0) {
                d.left = true;
                count = -count;
            }
            d.width = count;
        }
        if (Peek() == '.') {
            ++pos_;
            int precision = 0;
            if (ReadCount(precision))
                d.precision = precision < 0 ? -1 : precision;
            else
                d.precision = 0;
        }
        if (d.width > kMaxWidth || d.precision > kMaxWidth) Invalid();
        char type = Peek();
        if (type >= 'A' && type <= 'Z') type = static_cast<char>(type - 'A' + 'a');
        if (std::string_view("duxefgnmps").find(type) == std::string_view::npos || type == 0)
            Invalid();
        ++pos_;
        d.type = type;
        return d;
    }

    void Directive() {
        ++pos_;  // the '%'
        if (Peek() == '%') {
            out_ += '%';
            ++pos_;
            return;
        }
        TDirective d = Parse();
        if (d.index >= 0) {
            if (static_cast<std::size_t>(d.index) >= count_) Invalid();
            next_ = static_cast<std::size_t>(d.index);
        }
        const TVarRec& arg = NextArgument();
        std::string text = Convert(d, arg);
        Pad(text, d);
    }

    void Pad(const std::string& text, const TDirective& d) {
        size_t width = static_cast<size_t>(d.width);
        if (text.size() >= width) {
            out_ += text;
        } else if (d.left) {
            out_ += text;
            out_.append(width - text.size(), ' ');
        } else {
            out_.append(width - text.size(), ' ');
            out_ += text;
        }
    }

    std::string Convert(const TDirective& d, const TVarRec& arg) {
        switch (d.type) {
            case 'd':
                return Decimal(d, arg);
            case 'u':
                return Unsigned(d, arg);
            case 'x':
                return Hex(d, arg);
            case 'e':
            case 'f':
            case 'g':
            case 'n':
            case 'm':
                return Float(d, arg);
            case 'p':
                return Pointer(arg);
            default:
                return String(d, arg);
        }
    }

    static std::string MinDigits(std::string digits, int precision) {
        if (precision > 0 && digits.size() < static_cast<size_t>(precision))
            digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
        return digits;
    }

    // The bits of an integer argument as the unsigned type of its own width.
    static std::uint64_t Bits(const TVarRec& arg) {
        if (arg.kind == TVarRec::vtUnsigned) return arg.unsignedValue;
        auto bits = static_cast<std::uint64_t>(arg.integer);
        return arg.narrow ? bits & 0xFFFFFFFFu : bits;
    }

    std::string Decimal(const TDirective& d, const TVarRec& arg) {
        if (!IsInteger(arg)) Invalid();
        if (arg.kind == TVarRec::vtUnsigned)
            return MinDigits(UnsignedToStr(arg.unsignedValue), d.precision);
        std::uint64_t magnitude = arg.integer < 0 ? 0 - static_cast<std::uint64_t>(arg.integer)
                                                  : static_cast<std::uint64_t>(arg.integer);
        std::string digits = MinDigits(UnsignedToStr(magnitude), d.precision);
        return arg.integer < 0 ? "-" + digits : digits;
    }

    std::string Unsigned(const TDirective& d, const TVarRec& arg) {
        if (!IsInteger(arg)) Invalid();
        return MinDigits(UnsignedToStr(Bits(arg)), d.precision);
    }

    std::string Hex(const TDirective& d, const TVarRec& arg) {
        if (!IsInteger(arg)) Invalid();
        return MinDigits(BitsToHex(Bits(arg), 0), d.precision);
    }

    std::string Float(const TDirective& d, const TVarRec& arg) {
        if (arg.kind != TVarRec::vtFloat) Invalid();
        const double value = arg.floating;
        const char separator = settings_.DecimalSeparator;
        // A double holds no more than 18 meaningful digits.
        auto digits = [&](int fallback, int low) {
            return d.precision < 0 ? fallback : std::clamp(d.precision, low, 18);
        };
        switch (d.type) {
            case 'e':
                return ExponentFloatText(value, digits(15, 1), 3, separator);
            case 'f':
                return FixedFloatText(value, digits(2, 0), separator, {});
            case 'g':
                return GeneralFloatText(value, digits(15, 1), 0, separator);
            case 'n':
                return FixedFloatText(value, digits(2, 0), separator, settings_.ThousandSeparator);
            default:
                return Money(value, digits(std::clamp(settings_.CurrencyDecimals, 0, 18), 0));
        }
    }

    std::string Money(double value, int decimals) {
        bool negative = false;
        std::string number = FixedFloatDigits(value, decimals, settings_.DecimalSeparator,
                                              settings_.ThousandSeparator, negative);
        // Layouts in which '1' stands for the number and '$' for the currency.
        static const char* const kPositive[] = {"$1", "1$", "$ 1", "1 $"};
        static const char* const kNegative[] = {"($1)", "-$1",  "$-1",   "$1-",  "(1$)", "-1$",
                                                "1-$",  "1$-",  "-1 $",  "-$ 1", "1 $-", "$ 1-",
                                                "$ -1", "1- $", "($ 1)", "(1 $)"};
        const char* layout = negative ? kNegative[std::clamp(settings_.NegCurrFormat, 0, 15)]
                                      : kPositive[std::clamp(settings_.CurrencyFormat, 0, 3)];
        std::string text;
        for (const char* c = layout; *c; ++c) {
            if (*c == '1')
                text += number;
            else if (*c == '$')
                text += settings_.CurrencyString;
            else
                text += *c;
        }
        return text;
    }

    std::string Pointer(const TVarRec& arg) {
        if (arg.kind != TVarRec::vtPointer) Invalid();
        auto address = reinterpret_cast<std::uintptr_t>(arg.pointer);
        // Eight digits as addresses are usually read; never cut a wider one.
        return BitsToHex(address, address > 0xFFFFFFFFu ? 16 : 8);
    }

    std::string String(const TDirective& d, const TVarRec& arg) {
        if (arg.kind != TVarRec::vtString) Invalid();
        std::string_view s = arg.string;
        if (d.precision >= 0 && s.size() > static_cast<size_t>(d.precision)) {
            size_t cut = static_cast<size_t>(d.precision);
            // Keep whole UTF-8 characters.
            while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
            s = s.substr(0, cut);
        }
        return std::string(s);
    }

    std::string_view format_;
    const TVarRec* args_;
    std::size_t count_;
    const TFormatSettings& settings_;
    size_t pos_ = 0;
    std::size_t next_ = 0;
    std::string out_;
};

}  // namespace

std::string Format(std::string_view format, const TVarRec* args, std::size_t count,
                   const TFormatSettings& settings) {
    return TFormatter(format, args, count, settings).Run();
}

std::string Format(std::string_view format, std::initializer_list<TVarRec> args,
                   const TFormatSettings& settings) {
    return Format(format, args.begin(), args.size(), settings);
}

std::string Format(std::string_view format, std::initializer_list<TVarRec> args) {
    return Format(format, args.begin(), args.size(), FormatSettings);
}

}  // namespace zr
