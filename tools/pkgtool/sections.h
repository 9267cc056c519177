// Control sections read back into the records the builder writes, for `show` and `extract`.
// Each decoder walks the section's bytes with the installer's own reader (apply/section.h), so
// it reads what the installer reads, and says where the section is damaged instead of reading
// past its end. Strings come as the package holds them (Windows-1251).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "package/format.h"
#include "package_builder.h"

namespace pkgbuild {

// A file name folded as Windows compares file names: ASCII and Windows-1251 letters without
// case (entry names compare only ASCII letters so: see FoldName).
std::string FoldFileName(std::string_view windows1251);

struct RegistryKeys {
    std::string subKey;
    std::string folderValue;
    std::string programValue;
    std::string levelValue;
    int32_t level = 0;
};

// What a decoder found. `problem` is empty when the section is whole; `used` counts the bytes
// the installer reads (the terminator included). Bytes after them are never read.
struct Decoding {
    std::string problem;
    size_t used = 0;
};

// Strings up to the empty one. A string cut off by the section's end still counts, as the
// installer takes it, and is reported as damage.
Decoding DecodeStringList(std::string_view bytes, std::vector<std::string>* strings);
// The caption and the text (the producers' closing NUL is not read).
Decoding DecodeStartupMsg(std::string_view bytes, std::string* caption, std::string* text);
// Four strings and the signed level (the producers' byte after the level is not read).
Decoding DecodeRegistryKeys(std::string_view bytes, RegistryKeys* keys);
// Command records up to the one with an empty program; only whole records are returned.
Decoding DecodeCommands(std::string_view bytes, std::vector<Command>* commands);
// Registry records up to operation 0; only whole records are returned.
Decoding DecodeRegistryTable(std::string_view bytes, std::vector<RegistryRecord>* records);

// Any of the above by kind, for its damage and extent only; an unknown section is taken
// whole.
Decoding DecodeSection(SectionKind kind, std::string_view bytes);

// The path a payload entry is installed under: the real path of the first pair of the name
// table (stored name, real path, ...) whose stored name matches, ASCII case ignored; else
// the entry name. A stored name without a real path after it matches nothing.
std::string_view RealPath(const std::vector<std::string>& nameTable, std::string_view entryName);

}  // namespace pkgbuild
