// How the registry table's numbers read as text: a REG_DWORD record carries its value as the
// text of a number, which the installer turns into 32 bits with these rules (pkgtool shows
// the same value). Every text gives a number; nothing is refused, and overflow wraps around.
#pragma once

#include <cstdint>

// Leading bytes below 0x21 (taken as signed 8-bit values: the controls, the blank and
// 0x80-0xFF) are skipped. Then "0x" and ParseHexDigits of the rest ("-0x": negated), or an
// optional sign and decimal digits up to the first other byte.
int32_t ParseNumber(const char* text);
// Every character is a hexadecimal digit, the last one the lowest and only the last eight
// counting; a leading '-' negates. Characters that are no digit count with whatever value the
// digit arithmetic gives them.
int32_t ParseHexDigits(const char* text);
