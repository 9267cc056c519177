// Windows-1251 <-> UTF-8: one table for the upper half of the code page (0x80-0xBF), the
// Cyrillic alphabet at 0xC0-0xFF is U+0410-U+044F in order. What works on bounded buffers is
// here; what builds strings is in codepage_strings.cpp, which the Windows program does not
// link.
#include "text/codepage.h"

#include <cstdint>

namespace codepage {
namespace {

// Unicode code points of bytes 0x80-0xBF. 0x98 has no character in the code page; it maps
// to U+0098 as Windows does, so that every byte converts and comes back unchanged.
constexpr uint16_t kUpperHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 0x98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // 0xB8
};

// Upper-case letters of 0x80-0xBF and their lower-case partners.
constexpr unsigned char kCasePairs[][2] = {
    {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D},
    {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC}, {0xA5, 0xB4},
    {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE},
};

}  // namespace

uint32_t Cp1251CodePoint(unsigned char byte) {
    if (byte < 0x80) {
        return byte;
    }
    if (byte >= 0xC0) {
        return 0x0410 + (byte - 0xC0);
    }
    return kUpperHalf[byte - 0x80];
}

int Cp1251Byte(uint32_t codePoint) {
    if (codePoint < 0x80) {
        return static_cast<int>(codePoint);
    }
    if (codePoint >= 0x0410 && codePoint <= 0x044F) {
        return static_cast<int>(0xC0 + (codePoint - 0x0410));
    }
    for (int i = 0; i < 64; ++i) {
        if (kUpperHalf[i] == codePoint) {
            return 0x80 + i;
        }
    }
    return -1;
}

int64_t DecodeUtf8(std::string_view text, size_t* pos) {
    const auto lead = static_cast<unsigned char>(text[*pos]);
    *pos += 1;
    if (lead < 0x80) {
        return lead;
    }
    size_t extra = 0;
    uint32_t codePoint = 0;
    uint32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return -1;
    }
    if (text.size() - *pos < extra) {
        return -1;
    }
    for (size_t i = 0; i < extra; ++i) {
        const auto next = static_cast<unsigned char>(text[*pos + i]);
        if ((next & 0xC0) != 0x80) {
            return -1;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return -1;
    }
    *pos += extra;
    return codePoint;
}

size_t DecodeCp1251(const char* text, size_t length, char* out) {
    size_t written = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t codePoint = Cp1251CodePoint(static_cast<unsigned char>(text[i]));
        // Every character of the code page lies below U+10000: three bytes at most.
        if (codePoint < 0x80) {
            out[written++] = static_cast<char>(codePoint);
        } else if (codePoint < 0x800) {
            out[written++] = static_cast<char>(0xC0 | (codePoint >> 6));
            out[written++] = static_cast<char>(0x80 | (codePoint & 0x3F));
        } else {
            out[written++] = static_cast<char>(0xE0 | (codePoint >> 12));
            out[written++] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            out[written++] = static_cast<char>(0x80 | (codePoint & 0x3F));
        }
    }
    out[written] = '\0';
    return written;
}

static bool ContinuesCharacter(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

size_t CountCharacters(std::string_view text) {
    size_t count = 0;
    for (char c : text) {
        count += ContinuesCharacter(c) ? 0 : 1;
    }
    return count;
}

size_t CharacterPrefix(std::string_view text, size_t characters) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!ContinuesCharacter(text[i]) && count++ == characters) {
            return i;
        }
    }
    return text.size();
}

unsigned char FoldCp1251(unsigned char byte) {
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 0xC0 && byte <= 0xDF)) {
        return static_cast<unsigned char>(byte + 0x20);
    }
    for (const auto& pair : kCasePairs) {
        if (pair[0] == byte) {
            return pair[1];
        }
    }
    return byte;
}

bool EqualFoldCp1251(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCp1251(static_cast<unsigned char>(a[i])) !=
            FoldCp1251(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace codepage
