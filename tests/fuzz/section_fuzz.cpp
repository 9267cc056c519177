// libFuzzer target: the control sections' contents on their own. The input is a series of
// records, each a selector byte, a 16-bit little-endian length and that many bytes of one
// section's content; the target wraps them in a well-formed package (stored entries, a stored
// directory, two payload files, and the seeds' :RegistryKeys unless a record gives one) and
// applies it in a scratch installation. So the fuzzer spends its time in the section parsers
// rather than in getting zlib streams and offsets right.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "package/format.h"
#include "package_builder.h"
#include "scratch_run.h"

namespace {

// The selector picks a section kind in their declared order (so a kind added to the format
// takes its place in the fuzzing at once).
constexpr size_t kSectionCount = std::size(kSectionNames);

pkgbuild::Entry Stored(const std::string& name, pkgbuild::Bytes content) {
    return {.name = name, .content = std::move(content), .compressed = false};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pkgbuild::Package package;
    package.compressDirectory = false;
    bool registryKeysGiven = false;
    for (size_t pos = 0; pos + 3 <= size;) {
        const size_t kind = data[pos] % kSectionCount;
        const size_t length = std::min<size_t>(data[pos + 1] | data[pos + 2] << 8, size - pos - 3);
        pos += 3;
        package.entries.push_back(
            Stored(kSectionNames[kind], pkgbuild::Bytes(data + pos, data + pos + length)));
        registryKeysGiven =
            registryKeysGiven || kind == static_cast<size_t>(SectionKind::RegistryKeys);
        pos += length;
    }
    if (!registryKeysGiven) {
        package.entries.push_back(
            Stored(SectionName(SectionKind::RegistryKeys),
                   pkgbuild::RegistryKeysSection(fuzz::kSubKey, fuzz::kFolderValue,
                                                 fuzz::kProgramValue, fuzz::kLevelValue, 2)));
    }
    package.entries.push_back(Stored("data\\file.txt", pkgbuild::ToBytes("new file")));
    package.entries.push_back(Stored("TMP0000000000000001", pkgbuild::ToBytes("long name")));
    const pkgbuild::Bytes bytes = pkgbuild::Build(package);
    fuzz::ApplyPackage(bytes.data(), bytes.size());
    return 0;
}
