// libFuzzer target: any bytes as a package file, opened both ways, every entry found by
// name and loaded into a buffer of exactly its size. Nothing may be read or written out of
// bounds, whatever the bytes say.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "package/reader.h"
#include "package_builder.h"

namespace {

// Entries larger than this are not loaded: the fuzzer's memory is limited, not the reader's.
constexpr uint32_t kLargestLoaded = 1 << 20;

// The package file each input is written to, removed when the fuzzer ends.
const struct ScratchFile {
    std::string path = "/tmp/qlm_package_fuzz." + std::to_string(getpid());
    ~ScratchFile() { unlink(path.c_str()); }
} kScratch;

void LoadEverything(const Package& package) {
    for (uint32_t index = 0; index < package.header.entryCount; ++index) {
        const DirectoryEntry& entry = package.directory[index];
        char name[kNameSize + 1] = {};
        std::memcpy(name, entry.name, kNameSize);
        const int found = FindEntry(package, name);
        if (found < 0 || static_cast<uint32_t>(found) > index || entry.size > kLargestLoaded) {
            continue;
        }
        std::vector<uint8_t> content(entry.size);
        LoadEntry(package, entry, content.data());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!pkgbuild::WriteFile(kScratch.path, data, size)) {
        abort();
    }
    for (const bool embedded : {false, true}) {
        Package package;
        if (OpenPackage(package, kScratch.path.c_str(), embedded) >= 0 &&
            package.header.entryCount <= 4096) {
            LoadEverything(package);
        }
        ClosePackage(package);
    }
    return 0;
}
