// The Windows-1251 codec: conversion to and from UTF-8 and Windows-1251 case folding, for
// both programs and pkgtool. Table-driven, no locale or iconv involved.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace codepage {

// The character of a Windows-1251 byte (0x98, which has none, stands for U+0098 as on
// Windows, so that every byte converts and comes back unchanged).
uint32_t Cp1251CodePoint(unsigned char byte);
// The Windows-1251 byte of a character, or -1 when it has none.
int Cp1251Byte(uint32_t codePoint);
// Decodes one UTF-8 character at text[*pos] and moves past it; -1 for a malformed, overlong
// or surrogate sequence, of which only the first byte is passed.
int64_t DecodeUtf8(std::string_view text, size_t* pos);
void AppendUtf8(uint32_t codePoint, std::string* out);

std::string Cp1251ToUtf8(std::string_view text);
// Appends the same to `out`, growing it once.
void AppendCp1251AsUtf8(std::string_view text, std::string* out);

// Characters without a Windows-1251 form, and malformed UTF-8 bytes, become '?'.
std::string Utf8ToCp1251(std::string_view text);

// As above, but false (and `out` unspecified) when any character has no Windows-1251 form
// or the UTF-8 is malformed: for name comparisons that must not match by accident.
bool Utf8ToCp1251Exact(std::string_view text, std::string* out);

// The lower-case form of an ASCII or Cyrillic letter; any other byte unchanged.
unsigned char FoldCp1251(unsigned char byte);

// Equal after folding both texts byte by byte.
bool EqualFoldCp1251(std::string_view a, std::string_view b);

// The value of a hexadecimal digit in either case, or -1.
int HexDigitValue(char c);

}  // namespace codepage
