#include "apply/section.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "apply/context.h"
#include "text/codepage.h"

bool AllocateSection(uint32_t size, Section* section) {
    *section = Section{};
    // In a 32-bit process the room for the decoded strings of a large section, or the guard
    // byte after a section of 4 GiB - 1, would wrap the size.
    const uint64_t textSize = uint64_t{size} * codepage::kMaxCp1251Utf8Bytes + 1;
    if (textSize > SIZE_MAX) {
        return false;
    }
    section->data.reset(new (std::nothrow) char[size_t{size} + 1]);
    section->text.reset(new (std::nothrow) char[static_cast<size_t>(textSize)]);
    if (!section->data || !section->text) {
        *section = Section{};
        return false;
    }
    section->data[size] = '\0';
    section->text[0] = '\0';
    section->size = size;
    return true;
}

SectionLoad LoadSection(const PatchContext& context, SectionKind kind, Section* section) {
    const int index = FindEntry(context.package, SectionName(kind));
    if (index < 0) {
        return SectionLoad::Missing;
    }
    const DirectoryEntry& entry = context.package.directory[index];
    if (!AllocateSection(entry.size, section)) {
        return SectionLoad::Failed;
    }
    if (!LoadEntry(context.package, entry, section->data.get())) {
        *section = Section{};
        return SectionLoad::Failed;
    }
    return SectionLoad::Loaded;
}

bool SectionReader::ReadRawString(const char** text) {
    *text = data_ + position_;
    const uint32_t length = static_cast<uint32_t>(strnlen(*text, Remaining()));
    const bool terminated = length < Remaining();
    position_ += length + (terminated ? 1 : 0);
    return terminated;
}

bool SectionReader::ReadString(const char** text) {
    const uint32_t start = position_;
    const char* raw = nullptr;
    const bool terminated = ReadRawString(&raw);
    // The decoded string ends before the room of the next string begins.
    char* decoded = text_ + size_t{start} * codepage::kMaxCp1251Utf8Bytes;
    codepage::DecodeCp1251(raw, strlen(raw), decoded);
    *text = decoded;
    return terminated;
}

bool SectionReader::NextListString(const char** text) {
    ReadString(text);
    return **text != '\0';
}

bool SectionReader::ReadByte(uint8_t* value) {
    if (Remaining() < 1) {
        return false;
    }
    *value = static_cast<uint8_t>(data_[position_++]);
    return true;
}

bool SectionReader::ReadUint32(uint32_t* value) {
    if (Remaining() < 4) {
        return false;
    }
    std::memcpy(value, data_ + position_, 4);
    position_ += 4;
    return true;
}
