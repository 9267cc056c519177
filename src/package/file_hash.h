// The 64-bit hash that tells two versions of a file apart: XXH64 (seed 0), computed as the
// bytes go by, so that a file of several GiB is hashed through views without being held.
//
// Not a defence against someone who crafts a collision on purpose: a package is trusted as a
// whole (its publisher signs it); the hash only makes sure that a delta is applied to the very
// file it was made from, and that what it wrote is the file it meant to write.
#pragma once

#include <cstddef>
#include <cstdint>

struct FileHash {
    uint64_t lanes[4];
    uint8_t pending[32];  // the bytes of an unfinished stripe
    uint32_t pendingLength;
    uint64_t totalLength;
    uint64_t seed;
};

void StartHash(FileHash& hash, uint64_t seed = 0);
void AddToHash(FileHash& hash, const void* data, size_t length);
uint64_t FinishHash(const FileHash& hash);

// The hash of one buffer.
uint64_t HashBytes(const void* data, size_t length, uint64_t seed = 0);
