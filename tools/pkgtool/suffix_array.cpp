// SA-IS with a virtual sentinel after the text: the suffix types are classified from the end
// (the last suffix is L, being greater than the empty one), the LMS substrings sorted by one
// round of induction, named, and, when two share a name, sorted recursively as a reduced text
// held in the upper half of the array itself.
#include "suffix_array.h"

#include <cstddef>
#include <new>
#include <vector>

namespace pkgbuild {
namespace {

constexpr uint32_t kEmpty = 0xFFFFFFFFu;

// One bit a position: true for S-type (smaller than the suffix after it).
class Types {
  public:
    bool Init(uint32_t length) {
        bits_ = new (std::nothrow) uint8_t[length / 8 + 1]();
        return bits_ != nullptr;
    }
    ~Types() { delete[] bits_; }
    bool IsS(uint32_t i) const { return (bits_[i >> 3] >> (i & 7)) & 1; }
    void SetS(uint32_t i) { bits_[i >> 3] |= static_cast<uint8_t>(1u << (i & 7)); }
    bool IsLms(uint32_t i) const { return i > 0 && IsS(i) && !IsS(i - 1); }

  private:
    uint8_t* bits_ = nullptr;
};

template <typename Char>
void CountSymbols(const Char* text, uint32_t length, uint32_t alphabet,
                  std::vector<uint32_t>& counts) {
    counts.assign(alphabet, 0);
    for (uint32_t i = 0; i < length; ++i) {
        ++counts[text[i]];
    }
}

// The first (ends false) or one past the last (ends true) slot of each symbol's bucket.
void BucketEdges(const std::vector<uint32_t>& counts, bool ends, std::vector<uint32_t>& edges) {
    edges.resize(counts.size());
    uint32_t sum = 0;
    for (size_t c = 0; c < counts.size(); ++c) {
        sum += counts[c];
        edges[c] = ends ? sum : sum - counts[c];
    }
}

template <typename Char>
void InduceL(const Char* text, uint32_t* sa, uint32_t length, const Types& types,
             const std::vector<uint32_t>& counts, std::vector<uint32_t>& edges) {
    BucketEdges(counts, false, edges);
    // The suffix before the virtual sentinel comes first of all that are induced.
    sa[edges[text[length - 1]]++] = length - 1;
    for (uint32_t i = 0; i < length; ++i) {
        const uint32_t p = sa[i];
        if (p != kEmpty && p > 0 && !types.IsS(p - 1)) {
            sa[edges[text[p - 1]]++] = p - 1;
        }
    }
}

template <typename Char>
void InduceS(const Char* text, uint32_t* sa, uint32_t length, const Types& types,
             const std::vector<uint32_t>& counts, std::vector<uint32_t>& edges) {
    BucketEdges(counts, true, edges);
    for (uint32_t i = length; i-- > 0;) {
        const uint32_t p = sa[i];
        if (p != kEmpty && p > 0 && types.IsS(p - 1)) {
            sa[--edges[text[p - 1]]] = p - 1;
        }
    }
}

// True when the LMS substrings at a and b (each up to and including the next LMS position,
// or to the sentinel) are equal.
template <typename Char>
bool SameLmsSubstring(const Char* text, uint32_t length, const Types& types, uint32_t a,
                      uint32_t b) {
    for (uint32_t d = 0;; ++d) {
        if (a + d == length || b + d == length || text[a + d] != text[b + d] ||
            types.IsS(a + d) != types.IsS(b + d)) {
            return false;
        }
        if (d > 0 && (types.IsLms(a + d) || types.IsLms(b + d))) {
            return types.IsLms(a + d) && types.IsLms(b + d);
        }
    }
}

template <typename Char>
bool Sort(const Char* text, uint32_t length, uint32_t alphabet, uint32_t* sa) {
    if (length == 0) {
        return true;
    }
    if (length == 1) {
        sa[0] = 0;
        return true;
    }
    Types types;
    if (!types.Init(length)) {
        return false;
    }
    for (uint32_t i = length - 1; i-- > 0;) {
        if (text[i] < text[i + 1] || (text[i] == text[i + 1] && types.IsS(i + 1))) {
            types.SetS(i);
        }
    }
    std::vector<uint32_t> counts;
    std::vector<uint32_t> edges;
    CountSymbols(text, length, alphabet, counts);

    // 1. LMS suffixes at their buckets' ends, then one round of induction sorts the LMS
    // substrings.
    for (uint32_t i = 0; i < length; ++i) {
        sa[i] = kEmpty;
    }
    BucketEdges(counts, true, edges);
    for (uint32_t i = 1; i < length; ++i) {
        if (types.IsLms(i)) {
            sa[--edges[text[i]]] = i;
        }
    }
    InduceL(text, sa, length, types, counts, edges);
    InduceS(text, sa, length, types, counts, edges);

    // 2. The sorted LMS positions to the front, named by their substrings; the names stored
    // at n1 + p / 2 (LMS positions are never adjacent), then gathered in text order at the
    // array's end as the reduced text.
    uint32_t lmsCount = 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (types.IsLms(sa[i])) {
            sa[lmsCount++] = sa[i];
        }
    }
    for (uint32_t i = lmsCount; i < length; ++i) {
        sa[i] = kEmpty;
    }
    uint32_t names = 0;
    uint32_t previous = kEmpty;
    for (uint32_t i = 0; i < lmsCount; ++i) {
        const uint32_t p = sa[i];
        if (previous == kEmpty || !SameLmsSubstring(text, length, types, p, previous)) {
            ++names;
            previous = p;
        }
        sa[lmsCount + p / 2] = names - 1;
    }
    uint32_t* reduced = sa + length - lmsCount;
    for (uint32_t i = length, j = length; i-- > lmsCount;) {
        if (sa[i] != kEmpty) {
            sa[--j] = sa[i];
        }
    }

    // 3. The reduced text's suffix array in sa[0, n1): by recursion when names repeat.
    if (names < lmsCount) {
        if (!Sort(reduced, lmsCount, names, sa)) {
            return false;
        }
    } else {
        for (uint32_t i = 0; i < lmsCount; ++i) {
            sa[reduced[i]] = i;
        }
    }

    // 4. The LMS suffixes in their sorted order at their buckets' ends, then the induction
    // that sorts every suffix.
    for (uint32_t i = 1, j = 0; i < length; ++i) {
        if (types.IsLms(i)) {
            reduced[j++] = i;
        }
    }
    for (uint32_t i = 0; i < lmsCount; ++i) {
        sa[i] = reduced[sa[i]];
    }
    for (uint32_t i = lmsCount; i < length; ++i) {
        sa[i] = kEmpty;
    }
    BucketEdges(counts, true, edges);
    for (uint32_t i = lmsCount; i-- > 0;) {
        const uint32_t p = sa[i];
        sa[i] = kEmpty;
        sa[--edges[text[p]]] = p;
    }
    InduceL(text, sa, length, types, counts, edges);
    InduceS(text, sa, length, types, counts, edges);
    return true;
}

}  // namespace

bool SortSuffixes(const uint8_t* text, uint64_t length, uint32_t* suffixes) {
    if (length > kMaxSuffixText) {
        return false;
    }
    return Sort(text, static_cast<uint32_t>(length), 256, suffixes);
}

}  // namespace pkgbuild
