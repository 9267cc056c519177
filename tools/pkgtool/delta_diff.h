// The differ: makes the delta (package/delta.h) that rebuilds a new file from an old one.
//
// Matches are found in the old file by a suffix array when the old file fits the memory
// budget, by an index of its blocks' hashes above that. New bytes are scanned in order, as
// bsdiff does: a match is taken when it is clearly better than carrying on with the old data
// at the current offset, and the stretch between two matches is extended forward from the
// first and backward from the second for as long as at least half the bytes agree. Those
// stretches become additions to old data (small differences, as shifted pointers in a
// program), with their long runs of equal bytes as copies; what is left between them becomes
// literal bytes. The new file is scanned in parts on several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/delta.h"

namespace pkgbuild {

enum class DeltaMethod { SuffixArray, BlockIndex };

struct DeltaOptions {
    uint32_t blockSize = kDeltaDefaultBlockSize;
    // The suffix array is used while the old file, its array and the sorting's work space fit
    // in this, with the new file; the block index above.
    uint64_t memoryBudget = 12ull << 30;
    unsigned threads = 2;
};

// What the differ chose and made.
struct DeltaReport {
    DeltaMethod method = DeltaMethod::SuffixArray;
    uint64_t oldSize = 0;
    uint64_t newSize = 0;
    uint64_t deltaSize = 0;
    uint64_t copied = 0;  // new bytes copied from the old file
    uint64_t added = 0;   // new bytes made by adding to old bytes
    uint64_t literal = 0;
    // False when the whole new file compressed with zlib is no larger than the delta: then a
    // package should carry the file rather than the delta.
    bool smallerThanWhole = true;
};

// Called now and then with what is being done and how far it is.
using DeltaProgress = std::function<void(const char* phase, uint64_t done, uint64_t total)>;

// The delta from `oldData` to `newData`, appended to `delta`.
bool EncodeDelta(const uint8_t* oldData, uint64_t oldSize, const uint8_t* newData, uint64_t newSize,
                 const DeltaOptions& options, std::vector<uint8_t>* delta, DeltaReport* report,
                 const DeltaProgress& progress = {});

// The same from two files, read whole into memory; on failure `error` says why.
bool DiffFiles(const std::string& oldPath, const std::string& newPath, const DeltaOptions& options,
               std::vector<uint8_t>* delta, DeltaReport* report, std::string* error,
               const DeltaProgress& progress = {});

const char* DeltaMethodName(DeltaMethod method);

}  // namespace pkgbuild
