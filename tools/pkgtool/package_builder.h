// The package builder: writes patch packages for tests and for patch authors. Entries and the
// directory are stored or compressed (zlib, level 9), and every header and entry field can be
// overridden, so that tests can craft broken packages. The installer itself never writes one.
//
// A package is written front to back as it is made, and the header last; an entry's content
// may come from a file, read and compressed piece by piece, so that a package of several GiB
// is built without holding its payload in memory.
//
// Texts are bytes: whatever the caller passes (Windows-1251 for packages meant to be used).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/format.h"

namespace pkgbuild {

using Bytes = std::vector<uint8_t>;

// Where a manifest says a delta entry's bytes come from; pkgtool makes or checks them before
// the package is built (delta_entries.h).
struct DeltaSource {
    std::string newFile{};  // the file the delta rebuilds; empty when the delta is given ready
    std::string oldFile{};  // the file it rebuilds from; may be empty for a ready delta
};

struct Entry {
    std::string name{};  // up to 32 bytes; exactly 32 leaves no NUL in the field
    Bytes content{};
    std::string sourceFile{};  // when not empty (a UTF-8 path), the content is this file's, read
                               // while building
    bool compressed = true;
    // Overrides of what Build would write.
    std::optional<uint32_t> dataOffset{};
    std::optional<uint32_t> size{};
    std::optional<uint32_t> storedSize{};
    std::optional<uint16_t> entryFlags{};
    std::optional<Bytes> storedData{};  // the bytes placed at dataOffset instead of the encoding
    // A delta entry: `content` or `sourceFile` holds the delta's bytes, stored as they are, and
    // `size` must give the new file's length. A package holding one gets the deltas magic.
    std::optional<DeltaSource> delta{};
};

struct Package {
    std::vector<Entry> entries{};
    bool compressDirectory = true;
    // Overrides of what Build would write.
    std::optional<Bytes> magic{};  // 16 bytes
    std::optional<uint32_t> entryCount{};
    std::optional<uint32_t> directoryOffset{};
    std::optional<uint32_t> headerFlags{};
    std::optional<uint32_t> packedDirectorySize{};
    std::optional<Bytes> storedDirectory{};  // the bytes placed at directoryOffset
};

// Lays out header, entry data in directory order, then the directory, as producers do; the
// magic is the deltas magic when an entry is a delta.
// Empty when a source file cannot be read or the package would not fit in 4 GiB.
Bytes Build(const Package& package);

// The same into the file `path` (UTF-8), written as it is made; on failure `error` says why and no
// file is left under that name.
bool BuildFile(const Package& package, const std::string& path, std::string* error);

// A zlib stream (level 9) of the data.
Bytes Compress(const Bytes& data);

// The self-contained patch layout: image, package, and the trailer that points at the
// package (its packageOffset is the image's length).
Bytes Bind(const Bytes& image, const Bytes& package);

Bytes ToBytes(const std::string& text);

// Test content that compresses somewhat: a stream neither tiny nor as long as the content.
Bytes Pattern(size_t size, uint32_t seed);

// Control-section contents.
Bytes StringList(const std::vector<std::string>& strings);  // each with its NUL, then a NUL
Bytes RegistryKeysSection(const std::string& subKey, const std::string& folderValue,
                          const std::string& programValue, const std::string& levelValue,
                          int32_t packageLevel);

struct Command {
    uint8_t flags = 0;  // kCommandWaitForExit, kCommandRelativeToInstall, ... (any byte)
    std::string program;
    std::string arguments;
};
Bytes CommandsSection(const std::vector<Command>& commands);  // with the terminating record

// Fields as package/format.h gives them (any number may be written).
struct RegistryRecord {
    uint32_t operation = kRegistryOperationApply;
    uint32_t root = kRegistryRootLocalMachine;
    std::string subKey;
    uint32_t valueType = kRegistryValueText;
    std::string valueName;
    std::string data;
};
// With the terminating operation.
Bytes RegistryTableSection(const std::vector<RegistryRecord>& records);

// Paths are UTF-8 (host_path.h).
bool ReadFile(const std::string& path, Bytes* data);
bool WriteFile(const std::string& path, const Bytes& data);
bool WriteFile(const std::string& path, const uint8_t* data, size_t size);

}  // namespace pkgbuild
