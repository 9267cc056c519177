// Windows-1251 <-> UTF-8 conversion and Windows-1251 case folding for the posix backend.
// Inside the program every text is 8-bit Windows-1251; the system, its file names and the
// terminal speak UTF-8. Table-driven, no locale or iconv involved.
#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

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

}  // namespace platform::posix
