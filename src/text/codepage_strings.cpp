// The codec's conversions into strings: for pkgtool and the posix backend.
#include <cstdint>

#include "text/codepage.h"

namespace codepage {

void AppendUtf8(uint32_t codePoint, std::string* out) {
    if (codePoint < 0x80) {
        out->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

namespace {

bool ConvertUtf8(std::string_view text, std::string* out, bool exact) {
    out->clear();
    out->reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const int64_t codePoint = DecodeUtf8(text, &pos);
        const int byte = codePoint < 0 ? -1 : Cp1251Byte(static_cast<uint32_t>(codePoint));
        if (byte < 0) {
            if (exact) {
                return false;
            }
            out->push_back('?');
        } else {
            out->push_back(static_cast<char>(byte));
        }
    }
    return true;
}

}  // namespace

std::string Cp1251ToUtf8(std::string_view text) {
    std::string out(text.size() * kMaxCp1251Utf8Bytes + 1, '\0');
    out.resize(DecodeCp1251(text.data(), text.size(), out.data()));
    return out;
}

std::string Utf8ToCp1251(std::string_view text) {
    std::string out;
    ConvertUtf8(text, &out, false);
    return out;
}

bool Utf8ToCp1251Exact(std::string_view text, std::string* out) {
    return ConvertUtf8(text, out, true);
}

std::string FoldUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t start = pos;
        const int64_t codePoint = DecodeUtf8(text, &pos);
        const int byte = codePoint < 0 ? -1 : Cp1251Byte(static_cast<uint32_t>(codePoint));
        if (byte < 0) {
            out.append(text.substr(start, pos - start));
        } else {
            AppendUtf8(Cp1251CodePoint(FoldCp1251(static_cast<unsigned char>(byte))), &out);
        }
    }
    return out;
}

bool EqualFoldUtf8(std::string_view a, std::string_view b) {
    return FoldUtf8(a) == FoldUtf8(b);
}

}  // namespace codepage
