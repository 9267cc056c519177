// Numbers in registry-table text: decimal or hexadecimal, with the quirks packages rely on.
#include <gtest/gtest.h>

#include <cstdint>

#include "apply/apply.h"

namespace {

TEST(Numbers, ParseNumberAndParseHexDigits) {
    struct Case {
        int32_t (*parse)(const char*);
        const char* text;
        int32_t value;
    };
    const Case cases[] = {
        {ParseNumber, "  42", 42},
        {ParseNumber, "-42", -42},
        {ParseNumber, "+7", 7},
        {ParseNumber, "0X1f", 31},
        {ParseNumber, "-0x10", -16},
        {ParseNumber, "0x-5", -5},
        {ParseNumber, "-0x-5", 5},
        {ParseNumber, "12abc", 12},
        {ParseNumber, "0x", 0},
        {ParseNumber, "abc", 0},
        {ParseNumber, "", 0},
        {ParseNumber, "- 5", 0},
        {ParseNumber, "0x 1", -255},
        {ParseNumber, "4294967295", -1},
        {ParseNumber, "0xFFFFFFFF", -1},
        {ParseNumber, "2147483648", INT32_MIN},
        {ParseNumber, "\t\r\n9", 9},
        {ParseNumber, "Яя 15", 15},  // Windows-1251 letters are skipped like blanks
        {ParseHexDigits, "FF", 255},
        {ParseHexDigits, "-10", -16},
        {ParseHexDigits, "1-", 13},  // a '-' after the first character is a digit of value -3
        {ParseHexDigits, "G", 16},
        {ParseHexDigits, "z", 35},
        {ParseHexDigits, " ", -16},
        {ParseHexDigits, "100000000", 0},
        {ParseHexDigits, "80000000", INT32_MIN},
        {ParseHexDigits, "", 0},
        {ParseHexDigits, "-", 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.parse(c.text), c.value)
            << (c.parse == ParseNumber ? "ParseNumber" : "ParseHexDigits") << "(\"" << c.text
            << "\")";
    }
}

}  // namespace
