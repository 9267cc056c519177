// An index of an old file too large to suffix-sort: the hash of every aligned block of
// kIndexBlock bytes, in an open-addressed table of 8-byte slots (a few slots a block). Finding
// new bytes looks up the block that starts there and extends each candidate forward: a match
// is found at most a block after it starts, and the differ's backward extension recovers the
// bytes before it. About 16 bytes of memory for every 64 bytes of the old file.
#pragma once

#include <cstdint>
#include <memory>

namespace pkgbuild {

// How many bytes at `a` and `b` agree, up to `limit`.
uint64_t CommonPrefixLength(const uint8_t* a, const uint8_t* b, uint64_t limit);

class BlockIndex {
  public:
    static constexpr uint32_t kIndexBlock = 64;

    // Indexes `old` (it must stay alive and unchanged). False when memory runs out or the
    // file has more blocks than 32-bit indices can count.
    bool Build(const uint8_t* old, uint64_t oldSize);

    // The longest match in the old file of the bytes at `data` (at most `length` of them) among
    // the indexed blocks whose hash equals theirs: its old position and length (0 for none).
    uint64_t Find(const uint8_t* data, uint64_t length, uint64_t* position) const;

  private:
    const uint8_t* old_ = nullptr;
    uint64_t oldSize_ = 0;
    std::unique_ptr<uint64_t[]> slots_;
    uint64_t mask_ = 0;
};

}  // namespace pkgbuild
