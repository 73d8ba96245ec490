#include "toolkit/SysUtils.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

using namespace SysUtils;

namespace {

TEST(StrToFloat, AcceptsPlainAndExponentForms) {
    const std::pair<const char*, double> cases[] = {
        {"1", 1.0},   {"-1.5", -1.5},  {"+.5", 0.5},     {"5.", 5.0},        {" 2.5e-3 ", 0.0025},
        {"1E5", 1e5}, {"1e+05", 1e5},  {"\t3\t", 3.0},   {"0005", 5.0},      {"0.0005", 0.0005},
        {"-0", -0.0}, {"1e-400", 0.0}, {"0e99999", 0.0}, {"0.9999", 0.9999}, {"6000", 6000.0},
    };
    for (const auto& [text, expected] : cases) {
        double value = -123.0;
        EXPECT_TRUE(TryStrToFloat(text, value)) << text;
        EXPECT_DOUBLE_EQ(value, expected) << text;
        EXPECT_DOUBLE_EQ(StrToFloat(text), expected) << text;
    }
}

TEST(StrToFloat, RejectsEverythingElse) {
    for (const char* text : {"",    " ",   ".",     "-",     "+",        "e5",    ".e5",  "1e",
                             "1e+", "1,5", "inf",   "-inf",  "nan",      "1.5x",  "0x10", "$10",
                             "1 2", "--1", "1.2.3", "1e999", "0.01e400", "1e5.5", "١"}) {
        double value = 42.0;
        EXPECT_FALSE(TryStrToFloat(text, value)) << text;
        EXPECT_EQ(value, 42.0) << "a failed parse must leave the value alone: " << text;
    }
}

TEST(StrToFloat, RaisesConvertErrorWithTheText) {
    try {
        StrToFloat("0,5");
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'0,5' is not a valid floating point value");
    }
    EXPECT_THROW(StrToFloat(""), Exception);
}

TEST(ParseInteger, DecimalAndHexadecimalWithinThirtyTwoBits) {
    const std::pair<const char*, std::int64_t> good[] = {
        {"0", 0},
        {"+7", 7},
        {" 12 ", 12},
        {"-5", -5},
        {"0x10", 16},
        {"0X10", 16},
        {"$FF", 255},
        {"$ff", 255},
        {"0x00000000ffffffff", 4294967295},
        {"-2147483648", -2147483648LL},
        {"4294967295", 4294967295LL},
        {"000000000000000000070000", 70000},
    };
    for (const auto& [text, expected] : good)
        EXPECT_EQ(ParseInteger(text), expected) << text;
    for (const char* text : {"", " ", "-", "0x", "$", "-$10", "+0x10", "0x1G", "12a", "1.0", "1e3",
                             "-2147483649", "4294967296", "0x100000000", "99999999999999999999"})
        EXPECT_FALSE(ParseInteger(text).has_value()) << text;
}

TEST(ParseInteger, CallerCutsToFieldWidth) {
    EXPECT_EQ(static_cast<std::uint16_t>(*ParseInteger("70000")), 4464);
    EXPECT_EQ(static_cast<std::uint8_t>(*ParseInteger("260")), 4);
    EXPECT_EQ(StrToIntDef("4294967295", 0), -1);
    EXPECT_EQ(StrToIntDef("$FFFFFFFF", 0), -1);
    EXPECT_EQ(StrToIntDef("$80000000", 0), INT32_MIN);
    EXPECT_EQ(StrToIntDef("-1", 0), -1);
    EXPECT_EQ(StrToIntDef("x", 7), 7);
}

TEST(FloatToStr, GeneralFormatWithFifteenDigits) {
    const std::pair<double, const char*> cases[] = {
        {0.0005, "0.0005"},
        {5000, "5000"},
        {6000, "6000"},
        {100, "100"},
        {0.1, "0.1"},
        {0.9999, "0.9999"},
        {-2.5, "-2.5"},
        {1.0 / 3.0, "0.333333333333333"},
        {123456789012345.0, "123456789012345"},
        {1e15, "1E15"},
        {0.0001, "0.0001"},
        {0.00001, "1E-5"},
        {1e-20, "1E-20"},
        {-1.5e300, "-1.5E300"},
        {-0.0, "0"},
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(FloatToStr(value), expected) << value;
}

TEST(FloatToStr, ReadsBackToFifteenDigits) {
    for (double value : {0.1, 0.0005, 1e-20, 12345.678901234, -987654321.5, 4.9e-324, 1.7e308}) {
        double back = StrToFloat(FloatToStr(value));
        EXPECT_NEAR(back, value, std::abs(value) * 1e-14) << FloatToStr(value);
    }
}

TEST(FormatFloat, FixedDecimalsRoundedHalfAwayFromZero) {
    const std::tuple<const char*, double, const char*> cases[] = {
        {"0.000000", 0.0123456, "0.012346"},
        {"0.000000", 0.0005, "0.000500"},
        {"0.000000", 0.0, "0.000000"},
        {"0.000000", -0.0000001, "0.000000"},
        {"0.000000", -0.0000005, "-0.000001"},
        {"0.000000", 0.0000005, "0.000001"},
        {"0.000000", 9.9999996, "10.000000"},
        {"0.000000", 0.25, "0.250000"},
        {"0.000000", 1e-20, "0.000000"},
        {"0.00", 1.005, "1.01"},
        {"0", 2.5, "3"},
        {"0", -2.5, "-3"},
        {"0", 0.4, "0"},
        {"0", -0.4, "0"},
        {"0", 999.5, "1000"},
        {"0.0", 1234.56, "1234.6"},
        {"0", 1e20, "100000000000000000000"},
        {"00.0", 5.0, "05.0"},
    };
    for (const auto& [pattern, value, expected] : cases)
        EXPECT_EQ(FormatFloat(pattern, value), expected) << pattern << " " << value;
}

TEST(FormatFloat, RejectsOtherPatterns) {
    for (const char* pattern : {"", ".0", "0.", "#.##", "0,0", "0.0#", "0.00e0", "x"})
        EXPECT_THROW(FormatFloat(pattern, 1.0), Exception) << pattern;
}

} // namespace
