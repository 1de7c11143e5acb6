#include "framework/Format.h"

#include <gtest/gtest.h>

#include <string>

#include "framework/Exceptions.h"
#include "framework/FormatSettings.h"

namespace zr {
namespace {

// Two regional habits that differ in every separator the formats use.
TFormatSettings English() {
    TFormatSettings s = TFormatSettings::Default();
    s.DecimalSeparator = '.';
    s.ThousandSeparator = ",";
    s.CurrencyString = "$";
    s.CurrencyFormat = 0;
    s.NegCurrFormat = 0;
    s.CurrencyDecimals = 2;
    return s;
}

TFormatSettings German() {
    TFormatSettings s = TFormatSettings::Default();
    s.DecimalSeparator = ',';
    s.ThousandSeparator = ".";
    s.CurrencyString = "EUR";
    s.CurrencyFormat = 3;
    s.NegCurrFormat = 8;
    s.CurrencyDecimals = 2;
    return s;
}

std::string En(std::string_view format, std::initializer_list<TVarRec> args) {
    return Format(format, args, English());
}

void ExpectInvalid(std::string_view format, std::initializer_list<TVarRec> args) {
    try {
        Format(format, args, English());
        ADD_FAILURE() << "no error for " << format;
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(),
                  "Format '" + std::string(format) + "' invalid or incompatible with argument");
    }
}

TEST(Format, WritesEachKindOfArgument) {
    EXPECT_EQ(En("%s=%d", {std::string("a"), 5}), "a=5");
    EXPECT_EQ(En("%d %d", {-42, std::int64_t{-9223372036854775807LL - 1}}),
              "-42 -9223372036854775808");
    EXPECT_EQ(En("%u", {4000000000u}), "4000000000");
    EXPECT_EQ(En("%x %X", {255, 3054}), "FF BEE");
    EXPECT_EQ(En("%f %.3f %.0f", {3.14159, 2.0, 2.5}), "3.14 2.000 3");
    EXPECT_EQ(En("%e", {1234.5}), "1.23450000000000E+003");
    EXPECT_EQ(En("%.3e", {-0.000123}), "-1.23E-004");
    EXPECT_EQ(En("%g %g %g", {0.5, 1e20, 100.0}), "0.5 1E20 100");
    EXPECT_EQ(En("100%%", {}), "100%");
    EXPECT_EQ(En("no directives", {1, 2}), "no directives");
}

TEST(Format, NegativeNarrowIntegersShowTheirOwnWidthInHex) {
    // An int of -1 is 32 bits of ones; a 64-bit -1 is 64 of them.
    EXPECT_EQ(En("%x", {-1}), "FFFFFFFF");
    EXPECT_EQ(En("%x", {std::int64_t{-1}}), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(En("%u", {-1}), "4294967295");
}

TEST(Format, IndexesChooseArgumentsAndTheRestFollow) {
    EXPECT_EQ(En("%1:s %0:s", {"a", "b"}), "b a");
    // After an index the next plain directive takes the argument after it.
    EXPECT_EQ(En("%1:s %s %0:s %s", {"a", "b", "c"}), "b c a b");
    EXPECT_EQ(En("%0:s%0:s", {"x"}), "xx");
}

TEST(Format, WidthsPrecisionsAndJustification) {
    EXPECT_EQ(En("[%5d]", {42}), "[   42]");
    EXPECT_EQ(En("[%-5d]", {42}), "[42   ]");
    EXPECT_EQ(En("[%.5d]", {-42}), "[-00042]");
    EXPECT_EQ(En("[%3s]", {"abcdef"}), "[abcdef]");  // a width never cuts
    EXPECT_EQ(En("[%.3s]", {"abcdef"}), "[abc]");    // a precision does
    EXPECT_EQ(En("[%8.2f]", {3.14159}), "[    3.14]");
    EXPECT_EQ(En("[%*d]", {4, 7}), "[   7]");
    EXPECT_EQ(En("[%-*.*f]", {7, 1, 2.25}), "[2.3    ]");  // exact halves round away from zero
    EXPECT_EQ(En("[%*d]", {-3, 7}), "[7  ]");              // a negative width justifies left
    EXPECT_EQ(En("[%.4x]", {10}), "[000A]");
}

TEST(Format, PrecisionNeverSplitsAMultiByteCharacter) {
    EXPECT_EQ(En("%.2s", {"\xC3\xA9t\xC3\xA9"}), "\xC3\xA9");  // "été" cut to "é"
    EXPECT_EQ(En("%.3s", {"\xC3\xA9t\xC3\xA9"}), "\xC3\xA9t");
}

TEST(Format, PointersAreEightDigitsUnlessTheAddressNeedsMore) {
    EXPECT_EQ(En("%p", {reinterpret_cast<const void*>(0x401A2C)}), "00401A2C");
    EXPECT_EQ(En("%p", {nullptr}), "00000000");
    EXPECT_EQ(En("%p", {reinterpret_cast<const void*>(0x7FFF12345678)}), "00007FFF12345678");
    EXPECT_EQ(En("Phys.addr: %p ", {reinterpret_cast<const void*>(0xDEADBEEF)}),
              "Phys.addr: DEADBEEF ");
    EXPECT_EQ(En("[%10p]", {reinterpret_cast<const void*>(0x1)}), "[  00000001]");
}

TEST(Format, NumbersFollowTheSettings) {
    EXPECT_EQ(Format("%n", {1234567.891}, English()), "1,234,567.89");
    EXPECT_EQ(Format("%n", {1234567.891}, German()), "1.234.567,89");
    EXPECT_EQ(Format("%.0n", {-999.5}, English()), "-1,000");
    EXPECT_EQ(Format("%f", {0.5}, German()), "0,50");
    EXPECT_EQ(Format("%g", {0.25}, German()), "0,25");
    EXPECT_EQ(Format("%m", {1234.5}, English()), "$1,234.50");
    EXPECT_EQ(Format("%m", {-1234.5}, English()), "($1,234.50)");
    EXPECT_EQ(Format("%m", {1234.5}, German()), "1.234,50 EUR");
    EXPECT_EQ(Format("%m", {-1234.5}, German()), "-1.234,50 EUR");
    EXPECT_EQ(Format("%.0m", {-0.4}, English()), "$0");  // rounds to no negative amount
}

TEST(Format, SpecialFloatsAreWordsNotGarbage) {
    EXPECT_EQ(En("%f %g %e",
                 {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::quiet_NaN()}),
              "INF -INF NAN");
}

TEST(Format, WrongOrMissingArgumentsRaise) {
    ExpectInvalid("%d", {"text"});
    ExpectInvalid("%s", {5});
    ExpectInvalid("%f", {5});  // integers are no floating point arguments
    ExpectInvalid("%d", {1.5});
    ExpectInvalid("%p", {5});
    ExpectInvalid("%s %s", {"only one"});
    ExpectInvalid("%s", {});
    ExpectInvalid("%2:s", {"a", "b"});
    ExpectInvalid("%*d", {"width", 5});
}

TEST(Format, BrokenDirectivesRaise) {
    ExpectInvalid("%", {1});
    ExpectInvalid("abc%", {});
    ExpectInvalid("%5", {1});
    ExpectInvalid("%y", {1});
    ExpectInvalid("%-", {1});
    ExpectInvalid("%.", {1});
    ExpectInvalid("%1:", {1, 2});
    ExpectInvalid("%99999999999999999999d", {1});  // an absurd width is no field
}

}  // namespace
}  // namespace zr
