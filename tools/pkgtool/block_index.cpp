#include "block_index.h"

#include <cstring>
#include <new>

namespace pkgbuild {
namespace {

// Slots probed for one hash; blocks that repeat (runs of zeros) keep only this many copies.
constexpr int kProbes = 8;
constexpr int kSameHashKept = 4;

uint64_t Load64(const uint8_t* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// A hash of one block: each word multiplied in, mixed at the end. Its low half chooses the
// first slot, its high half is kept in the slot to tell blocks apart without reading them.
uint64_t BlockHash(const uint8_t* bytes) {
    uint64_t value = 0x9E3779B97F4A7C15ull;
    for (uint32_t i = 0; i < BlockIndex::kIndexBlock; i += 8) {
        value = (value ^ Load64(bytes + i)) * 0xBF58476D1CE4E5B9ull;
        value ^= value >> 29;
    }
    value *= 0x94D049BB133111EBull;
    return value ^ (value >> 32);
}

// The slot's tag: never 0, which marks an empty slot.
uint32_t Tag(uint64_t hash) {
    return static_cast<uint32_t>(hash >> 32) | 1;
}

}  // namespace

uint64_t CommonPrefixLength(const uint8_t* a, const uint8_t* b, uint64_t limit) {
    uint64_t length = 0;
    while (length + 8 <= limit && Load64(a + length) == Load64(b + length)) {
        length += 8;
    }
    while (length < limit && a[length] == b[length]) {
        ++length;
    }
    return length;
}

bool BlockIndex::Build(const uint8_t* old, uint64_t oldSize) {
    old_ = old;
    oldSize_ = oldSize;
    const uint64_t blocks = oldSize / kIndexBlock;
    if (blocks >= 0xFFFFFFFFull) {
        return false;
    }
    uint64_t slotCount = 1024;
    while (slotCount < blocks * 2) {
        slotCount *= 2;
    }
    slots_.reset(new (std::nothrow) uint64_t[slotCount]());
    if (!slots_) {
        return false;
    }
    mask_ = slotCount - 1;
    for (uint64_t block = 0; block < blocks; ++block) {
        const uint64_t hash = BlockHash(old + block * kIndexBlock);
        const uint32_t tag = Tag(hash);
        int same = 0;
        for (int probe = 0; probe < kProbes && same < kSameHashKept; ++probe) {
            uint64_t& slot = slots_[(hash + probe) & mask_];
            if (slot == 0) {
                slot = static_cast<uint64_t>(tag) << 32 | block;
                break;
            }
            same += static_cast<uint32_t>(slot >> 32) == tag;
        }
    }
    return true;
}

uint64_t BlockIndex::Find(const uint8_t* data, uint64_t length, uint64_t* position) const {
    if (length < kIndexBlock || !slots_) {
        return 0;
    }
    const uint64_t hash = BlockHash(data);
    const uint32_t tag = Tag(hash);
    uint64_t best = 0;
    for (int probe = 0; probe < kProbes; ++probe) {
        const uint64_t slot = slots_[(hash + probe) & mask_];
        if (slot == 0) {
            break;
        }
        if (static_cast<uint32_t>(slot >> 32) != tag) {
            continue;
        }
        const uint64_t start = (slot & 0xFFFFFFFFull) * kIndexBlock;
        const uint64_t limit = length < oldSize_ - start ? length : oldSize_ - start;
        const uint64_t matched = CommonPrefixLength(old_ + start, data, limit);
        if (matched > best) {
            best = matched;
            *position = start;
        }
    }
    return best;
}

}  // namespace pkgbuild
