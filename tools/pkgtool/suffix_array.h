// Suffix sorting by induced sorting (SA-IS), linear in time, with 32-bit indices: the suffix
// array of an old file lets the differ find the longest match of any new bytes by binary
// search. Memory: the array (4 bytes a byte of text) plus, in the worst case, half as much
// again for the reduced problem; the text itself is only read.
#pragma once

#include <cstdint>

namespace pkgbuild {

// Texts longer than this are not sorted (the indices are 32-bit and one value marks empty).
constexpr uint64_t kMaxSuffixText = 0xFFFFFFFEull;

// Fills `suffixes` (room for `length` entries) with the start of every suffix of `text` in
// lexicographic order, a shorter suffix before a longer one it begins. False when `length`
// is beyond kMaxSuffixText or memory runs out.
bool SortSuffixes(const uint8_t* text, uint64_t length, uint32_t* suffixes);

}  // namespace pkgbuild
