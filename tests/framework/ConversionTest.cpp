#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include "framework/SysUtils.h"

namespace zr {
namespace {

template <class F>
std::string ConvertErrorOf(F&& f) {
    try {
        f();
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return "no error";
}

// Restores the process-wide settings however a test ends.
class SettingsGuard {
  public:
    SettingsGuard() : saved_(FormatSettings) {}
    ~SettingsGuard() { FormatSettings = saved_; }

  private:
    TFormatSettings saved_;
};

TEST(IntegerConversion, WritesIntegersOfEveryWidth) {
    EXPECT_EQ(IntToStr(0), "0");
    EXPECT_EQ(IntToStr(-2147483647 - 1), "-2147483648");
    EXPECT_EQ(IntToStr(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(IntToStr(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(IntToHex(255, 4), "00FF");
    EXPECT_EQ(IntToHex(0x1234567, 2), "1234567");  // digits is a minimum
    EXPECT_EQ(IntToHex(-1, 1), "FFFFFFFF");
    EXPECT_EQ(IntToHex(std::int64_t{-2}, 1), "FFFFFFFFFFFFFFFE");
}

TEST(IntegerConversion, ReadsDecimalAndHexadecimal) {
    EXPECT_EQ(StrToInt("42"), 42);
    EXPECT_EQ(StrToInt("-42"), -42);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("   12"), 12);  // leading blanks are allowed
    EXPECT_EQ(StrToInt("$FF"), 255);
    EXPECT_EQ(StrToInt("$ff"), 255);
    EXPECT_EQ(StrToInt("0x10"), 16);
    EXPECT_EQ(StrToInt("-$10"), -16);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);  // hexadecimal spells the bits
    EXPECT_EQ(StrToInt64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(StrToInt64("$8000000000000000"), std::numeric_limits<std::int64_t>::min());
}

TEST(IntegerConversion, RejectsWhatIsNoIntegerWithTheTextInTheMessage) {
    EXPECT_EQ(ConvertErrorOf([] { StrToInt("12a"); }), "'12a' is not a valid integer value");
    for (const char* bad : {"", " ", "12 ", "-", "$", "0x", "1.5", "--1", "+-1", "$-1",
                            "2147483648", "-2147483649", "$100000000", "1e3"})
        EXPECT_EQ(ConvertErrorOf([&] { StrToInt(bad); }),
                  "'" + std::string(bad) + "' is not a valid integer value")
            << bad;
    EXPECT_EQ(ConvertErrorOf([] { StrToInt64("9223372036854775808"); }),
              "'9223372036854775808' is not a valid integer value");
    EXPECT_EQ(StrToIntDef("x", -5), -5);
    EXPECT_EQ(StrToIntDef("$A", -5), 10);
}

TEST(FloatConversion, WritesFifteenSignificantDigitsInGeneralFormat) {
    SettingsGuard guard;
    FormatSettings.DecimalSeparator = '.';
    EXPECT_EQ(FloatToStr(0.5), "0.5");
    EXPECT_EQ(FloatToStr(0), "0");
    EXPECT_EQ(FloatToStr(-0.0), "0");
    EXPECT_EQ(FloatToStr(1.0 / 3), "0.333333333333333");
    EXPECT_EQ(FloatToStr(2.0 / 3), "0.666666666666667");
    EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");  // 15 digits hide the binary noise
    EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
    EXPECT_EQ(FloatToStr(1e15), "1E15");
    EXPECT_EQ(FloatToStr(1e20), "1E20");
    EXPECT_EQ(FloatToStr(-1.5e20), "-1.5E20");
    EXPECT_EQ(FloatToStr(0.0001), "0.0001");
    EXPECT_EQ(FloatToStr(0.00001), "1E-5");
    EXPECT_EQ(FloatToStr(9.9999999999999999), "10");
    EXPECT_EQ(FloatToStr(std::numeric_limits<double>::quiet_NaN()), "NAN");
}

TEST(FloatConversion, ReadsAndWritesWithTheSettingsSeparator) {
    SettingsGuard guard;
    FormatSettings.DecimalSeparator = '.';
    EXPECT_EQ(FloatToStr(1234.5), "1234.5");
    EXPECT_DOUBLE_EQ(StrToFloat("1234.5"), 1234.5);
    EXPECT_DOUBLE_EQ(StrToFloat(" -1.5e3 "), -1500);
    EXPECT_DOUBLE_EQ(StrToFloat(".5"), 0.5);
    EXPECT_DOUBLE_EQ(StrToFloat("5."), 5);
    EXPECT_EQ(ConvertErrorOf([] { StrToFloat("1,5"); }),
              "'1,5' is not a valid floating point value");

    FormatSettings.DecimalSeparator = ',';
    EXPECT_EQ(FloatToStr(1234.5), "1234,5");
    EXPECT_EQ(FloatToStr(1.5e-7), "1,5E-7");
    EXPECT_DOUBLE_EQ(StrToFloat("1,5"), 1.5);
    EXPECT_EQ(ConvertErrorOf([] { StrToFloat("1.5"); }),
              "'1.5' is not a valid floating point value");
    // What is written can be read back.
    for (double v : {0.1, -123.456, 1e-300, 6.02214076e23, 1.0 / 7})
        EXPECT_NEAR(StrToFloat(FloatToStr(v)), v, std::fabs(v) * 1e-14) << FloatToStr(v);
}

TEST(FloatConversion, RejectsWhatIsNoNumber) {
    SettingsGuard guard;
    FormatSettings.DecimalSeparator = '.';
    for (const char* bad :
         {"", "  ", ".", "-", "e5", "1e", "1e+", "1.5.5", "inf", "nan", "0x10", "1e999", "1 5"})
        EXPECT_EQ(ConvertErrorOf([&] { StrToFloat(bad); }),
                  "'" + std::string(bad) + "' is not a valid floating point value")
            << bad;
    EXPECT_EQ(StrToFloat("1e-999"), 0.0);  // too small to hold is zero, not an error
    EXPECT_EQ(StrToFloatDef("x", 2.5), 2.5);
}

TEST(StringUtilities, TrimAndCaseTouchOnlyWhatTheyShould) {
    EXPECT_EQ(Trim(" \t\r\n a b \x01"), "a b");
    EXPECT_EQ(TrimLeft("  a  "), "a  ");
    EXPECT_EQ(TrimRight("  a  "), "  a");
    EXPECT_EQ(Trim("   "), "");
    // Only ASCII letters change case; UTF-8 bytes pass unchanged.
    EXPECT_EQ(UpperCase("abz\xC3\xA9-09"), "ABZ\xC3\xA9-09");
    EXPECT_EQ(LowerCase("ABZ\xC3\x89"), "abz\xC3\x89");
    EXPECT_TRUE(SameText("EAbort", "eabort"));
    EXPECT_FALSE(SameText("EAbort", "EAbor"));
    EXPECT_LT(CompareText("abc", "ABD"), 0);
    EXPECT_GT(CompareText("abc", "AB"), 0);
    EXPECT_EQ(CompareText("", ""), 0);
}

TEST(FileNames, PartsOfAName) {
    EXPECT_EQ(ChangeFileExt("/opt/app/demo", ".map"), "/opt/app/demo.map");
    EXPECT_EQ(ChangeFileExt("/opt/app/demo.bin", ".map"), "/opt/app/demo.map");
    EXPECT_EQ(ChangeFileExt("/opt/app.d/demo", ".map"), "/opt/app.d/demo.map");
    EXPECT_EQ(ChangeFileExt("a.tar.gz", ""), "a.tar");
    // A hidden file's leading dot is part of its name, which must survive.
    EXPECT_EQ(ChangeFileExt("/home/u/.profile", ".bak"), "/home/u/.profile.bak");
    EXPECT_EQ(ExtractFileExt("/home/u/.profile"), "");
    EXPECT_EQ(ExtractFileExt("x/report.LOG"), ".LOG");
    EXPECT_EQ(ExtractFileName("/var/log/kvevents.log"), "kvevents.log");
    EXPECT_EQ(ExtractFileName("kvevents.log"), "kvevents.log");
    EXPECT_EQ(ExtractFileName("/var/log/"), "");
    EXPECT_EQ(ExtractFilePath("/var/log/kvevents.log"), "/var/log/");
    EXPECT_EQ(ExtractFilePath("kvevents.log"), "");
    EXPECT_EQ(ExtractFileDir("/var/log/kvevents.log"), "/var/log");
    EXPECT_EQ(ExtractFileDir("/kvevents.log"), "/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/tmp"), "/tmp/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/tmp/"), "/tmp/");
    EXPECT_EQ(ExpandFileName("/a/./b/../c"), "/a/c");
    EXPECT_EQ(ExpandFileName("x"), IncludeTrailingPathDelimiter(GetCurrentDir()) + "x");
}

TEST(FileSystem, FilesFoldersAndDeletion) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("zr_conv_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string file = (dir / "a.txt").string();
    std::ofstream(file) << "x";

    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FileExists(dir.string()));  // a folder is no file
    EXPECT_TRUE(DirectoryExists(dir.string()));
    EXPECT_FALSE(DirectoryExists(file));
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(DeleteFile(dir.string()));  // folders are not deleted as files
    EXPECT_TRUE(DeleteFile(file));
    EXPECT_FALSE(FileExists(file));
    EXPECT_FALSE(DeleteFile(file));

    std::string deep = (dir / "b" / "c").string();
    EXPECT_TRUE(ForceDirectories(deep));
    EXPECT_TRUE(DirectoryExists(deep));
    fs::remove_all(dir);
}

TEST(Process, ParametersAndCurrentFolder) {
    EXPECT_EQ(ParamStr(0), std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_GE(ParamCount(), 0);
    EXPECT_EQ(ParamStr(ParamCount() + 1), "");
    EXPECT_EQ(ParamStr(-1), "");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(GetCurrentDir(), cwd);
}

}  // namespace
}  // namespace zr
