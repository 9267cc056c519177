// The registry of the posix backend: one text file in the REGEDIT4 ".reg" format holding both
// roots. This file is the store's model (UTF-8 texts) and its text form (Windows-1251, or
// UTF-8 behind a byte-order mark when a text needs it); registry.cpp puts the registry calls
// of platform.h on top of it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::posix {

struct RegValue {
    std::string name;  // empty: the key's default value
    uint32_t type = 0;
    std::string data;  // the stored bytes (UTF-8 for text types), a REG_SZ's NUL included
};

struct RegKeyEntry {
    std::string path;  // normalised, root included: "HKEY_CURRENT_USER\Software\Firm"
    std::vector<RegValue> values;
};

// Keys and values in the order they were first met; the file is written in that order.
struct RegStore {
    std::vector<RegKeyEntry> keys;
};

// Root name and sub-keys joined by single backslashes, without leading, trailing or doubled
// ones; the two root names known to the program are spelled in upper case.
std::string NormaliseKeyPath(std::string_view path);

// Key paths and value names compare ignoring ASCII and Cyrillic letter case.
RegKeyEntry* FindKey(RegStore* store, std::string_view normalisedPath);
const RegValue* FindValue(const RegKeyEntry& key, std::string_view name);

// Adds the key and its missing parents; true when anything was added.
bool EnsureKey(RegStore* store, std::string_view normalisedPath);
void PutValue(RegKeyEntry* key, std::string_view name, uint32_t type, std::string data);

// Reads ".reg" text. Blank lines, ";" comments and the header are skipped, and so is every
// line that cannot be read (a damaged line costs that line only).
RegStore ParseRegText(std::string_view text);
std::string FormatRegText(const RegStore& store);

// True when the name can be written to the file: no line breaks (a name is one line).
bool IsStorableName(std::string_view name);

// $QLM_REGISTRY, or ${XDG_DATA_HOME:-$HOME/.local/share}/qlm-patch/registry.reg, read anew
// at each call; empty when neither can be formed.
std::string RegistryFilePath();

// Creates each missing folder above the file `path`.
bool CreateParentFolders(const std::string& path);

// A missing file is an empty registry; false when the file exists but cannot be read.
bool LoadRegistryFile(const std::string& path, RegStore* store);

// Replaces the file atomically: a temporary file in the same folder, flushed to disk, then
// renamed over it. Creates the folder when missing.
bool SaveRegistryFile(const std::string& path, const RegStore& store);

}  // namespace platform::posix
