// XXH64 as its published description gives it: four lanes of 8-byte words, a stripe of 32
// bytes at a time, the rest folded in by 8, 4 and 1 bytes, then an avalanche.
#include "package/file_hash.h"

#include <bit>
#include <cstring>

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ull;
constexpr size_t kStripe = 32;

uint64_t RotateLeft(uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

// Reads of unaligned little-endian words (both programs run on little-endian machines only).
static_assert(std::endian::native == std::endian::little);

uint64_t Read64(const uint8_t* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

uint32_t Read32(const uint8_t* bytes) {
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

uint64_t Round(uint64_t lane, uint64_t input) {
    return RotateLeft(lane + input * kPrime2, 31) * kPrime1;
}

uint64_t MergeLane(uint64_t accumulator, uint64_t lane) {
    return (accumulator ^ Round(0, lane)) * kPrime1 + kPrime4;
}

void AddStripes(uint64_t lanes[4], const uint8_t* data, size_t stripes) {
    uint64_t a = lanes[0], b = lanes[1], c = lanes[2], d = lanes[3];
    for (size_t i = 0; i < stripes; ++i, data += kStripe) {
        a = Round(a, Read64(data));
        b = Round(b, Read64(data + 8));
        c = Round(c, Read64(data + 16));
        d = Round(d, Read64(data + 24));
    }
    lanes[0] = a, lanes[1] = b, lanes[2] = c, lanes[3] = d;
}

}  // namespace

void StartHash(FileHash& hash, uint64_t seed) {
    hash.lanes[0] = seed + kPrime1 + kPrime2;
    hash.lanes[1] = seed + kPrime2;
    hash.lanes[2] = seed;
    hash.lanes[3] = seed - kPrime1;
    hash.pendingLength = 0;
    hash.totalLength = 0;
    hash.seed = seed;
}

void AddToHash(FileHash& hash, const void* data, size_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    hash.totalLength += length;
    if (hash.pendingLength != 0) {
        const size_t taken =
            length < kStripe - hash.pendingLength ? length : kStripe - hash.pendingLength;
        std::memcpy(hash.pending + hash.pendingLength, bytes, taken);
        hash.pendingLength += static_cast<uint32_t>(taken);
        bytes += taken;
        length -= taken;
        if (hash.pendingLength < kStripe) {
            return;
        }
        AddStripes(hash.lanes, hash.pending, 1);
        hash.pendingLength = 0;
    }
    const size_t stripes = length / kStripe;
    AddStripes(hash.lanes, bytes, stripes);
    bytes += stripes * kStripe;
    length -= stripes * kStripe;
    if (length != 0) {
        std::memcpy(hash.pending, bytes, length);
        hash.pendingLength = static_cast<uint32_t>(length);
    }
}

uint64_t FinishHash(const FileHash& hash) {
    uint64_t value;
    if (hash.totalLength >= kStripe) {
        const uint64_t* lanes = hash.lanes;
        value = RotateLeft(lanes[0], 1) + RotateLeft(lanes[1], 7) + RotateLeft(lanes[2], 12) +
                RotateLeft(lanes[3], 18);
        for (int i = 0; i < 4; ++i) {
            value = MergeLane(value, lanes[i]);
        }
    } else {
        value = hash.seed + kPrime5;
    }
    value += hash.totalLength;
    const uint8_t* rest = hash.pending;
    size_t length = hash.pendingLength;
    for (; length >= 8; rest += 8, length -= 8) {
        value = RotateLeft(value ^ Round(0, Read64(rest)), 27) * kPrime1 + kPrime4;
    }
    if (length >= 4) {
        value = RotateLeft(value ^ (Read32(rest) * kPrime1), 23) * kPrime2 + kPrime3;
        rest += 4;
        length -= 4;
    }
    for (; length > 0; ++rest, --length) {
        value = RotateLeft(value ^ (*rest * kPrime5), 11) * kPrime1;
    }
    value ^= value >> 33;
    value *= kPrime2;
    value ^= value >> 29;
    value *= kPrime3;
    value ^= value >> 32;
    return value;
}

uint64_t HashBytes(const void* data, size_t length, uint64_t seed) {
    FileHash hash;
    StartHash(hash, seed);
    AddToHash(hash, data, length);
    return FinishHash(hash);
}
