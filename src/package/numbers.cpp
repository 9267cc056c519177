#include "package/numbers.h"

#include <cstdint>
#include <cstring>

namespace {

// Bytes below 0x21 taken as signed 8-bit values: the controls, the blank and 0x80-0xFF.
bool IsSkippedLead(char c) {
    return c != '\0' && static_cast<int8_t>(c) < 0x21;
}

bool IsHexPrefix(const char* text) {
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

int32_t Negated(uint32_t value) {
    return static_cast<int32_t>(0u - value);
}

// Every character is a digit: '0'-'9', 'A'-'F' and 'a'-'f' give 0-15, others whatever the
// same arithmetic makes of them ('g' 16, a blank -16).
int32_t DigitValue(char c) {
    int8_t value = static_cast<int8_t>(c);
    if (value >= 0x61) {
        value = static_cast<int8_t>(value - 0x20);
    }
    value = static_cast<int8_t>(value - 0x30);
    if (value > 9) {
        value = static_cast<int8_t>(value - 7);
    }
    return value;
}

}  // namespace

int32_t ParseHexDigits(const char* text) {
    const bool negative = text[0] == '-';
    const char* digits = negative ? text + 1 : text;
    uint32_t sum = 0;
    uint32_t weight = 1;  // 0 from the ninth character from the end on
    for (size_t index = strlen(digits); index > 0; --index) {
        sum += static_cast<uint32_t>(DigitValue(digits[index - 1])) * weight;
        weight <<= 4;
    }
    return negative ? Negated(sum) : static_cast<int32_t>(sum);
}

int32_t ParseNumber(const char* text) {
    while (IsSkippedLead(*text)) {
        ++text;
    }
    const bool hexNegative = text[0] == '-';
    if (IsHexPrefix(hexNegative ? text + 1 : text)) {
        const int32_t value = ParseHexDigits(text + (hexNegative ? 3 : 2));
        return hexNegative ? Negated(static_cast<uint32_t>(value)) : value;
    }
    const bool negative = text[0] == '-';
    if (text[0] == '-' || text[0] == '+') {
        ++text;
    }
    uint32_t value = 0;  // wraps around on overflow
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + static_cast<uint32_t>(*text - '0');
    }
    return negative ? Negated(value) : static_cast<int32_t>(value);
}
