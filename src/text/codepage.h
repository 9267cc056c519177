// The Windows-1251 codec: conversion to and from UTF-8 and Windows-1251 case folding, for
// both programs and pkgtool. Table-driven, no locale or iconv involved.
//
// Inside the programs text is UTF-8: package text (Windows-1251, as the format says) is
// decoded where it is read, and the system's own text (paths, registry values, the command
// line) may hold any character. Limits count characters, as the single bytes of
// Windows-1251 did, so a buffer for n characters has room for the longest UTF-8 form of each.
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

// Bytes of the longest UTF-8 form of one character, and of one Windows-1251 character.
constexpr size_t kMaxUtf8Bytes = 4;
constexpr size_t kMaxCp1251Utf8Bytes = 3;

// A text buffer for at most `characters` characters and its NUL, and the characters that a
// buffer of `size` bytes holds.
constexpr size_t TextBufferSize(size_t characters) {
    return characters * kMaxUtf8Bytes + 1;
}
constexpr size_t CharacterRoom(size_t size) {
    return size == 0 ? 0 : (size - 1) / kMaxUtf8Bytes;
}

// Writes the UTF-8 form of `length` Windows-1251 bytes and a NUL to `out`, which has room for
// kMaxCp1251Utf8Bytes * length + 1 bytes (always enough); returns the UTF-8 length.
size_t DecodeCp1251(const char* text, size_t length, char* out);

// The characters of a UTF-8 text: its bytes that do not continue a sequence (a malformed
// byte counts as one).
size_t CountCharacters(std::string_view text);

// The length of the longest start of `text` that holds at most `characters` characters and
// ends on a character boundary.
size_t CharacterPrefix(std::string_view text, size_t characters);

std::string Cp1251ToUtf8(std::string_view text);

// Characters without a Windows-1251 form, and malformed UTF-8 bytes, become '?'.
std::string Utf8ToCp1251(std::string_view text);

// As above, but false (and `out` unspecified) when any character has no Windows-1251 form
// or the UTF-8 is malformed: for name comparisons that must not match by accident.
bool Utf8ToCp1251Exact(std::string_view text, std::string* out);

// The lower-case form of an ASCII or Cyrillic letter; any other byte unchanged.
unsigned char FoldCp1251(unsigned char byte);

// Equal after folding both texts byte by byte.
bool EqualFoldCp1251(std::string_view a, std::string_view b);

// The same folding on UTF-8 text: ASCII letters and the letters of Windows-1251 (Cyrillic)
// to lower case; every other character, and every malformed byte, unchanged.
std::string FoldUtf8(std::string_view text);
bool EqualFoldUtf8(std::string_view a, std::string_view b);

// The value of a hexadecimal digit in either case, or -1.
int HexDigitValue(char c);

}  // namespace codepage
