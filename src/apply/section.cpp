#include "apply/section.h"

#include <cstdint>
#include <cstring>
#include <new>

SectionLoad LoadSection(const PatchContext& context, const char* name, Section* section) {
    const int index = FindEntry(context.package, name);
    if (index < 0) {
        return SectionLoad::Missing;
    }
    const DirectoryEntry& entry = context.package.directory[index];
    // In a 32-bit process the guard byte after a section of 4 GiB - 1 would wrap the size.
    const uint64_t bufferSize = uint64_t{entry.size} + 1;
    if (bufferSize > SIZE_MAX) {
        return SectionLoad::Failed;
    }
    section->data.reset(new (std::nothrow) char[static_cast<size_t>(bufferSize)]);
    if (!section->data) {
        return SectionLoad::Failed;
    }
    if (!LoadEntry(context.package, entry, section->data.get())) {
        section->data.reset();
        return SectionLoad::Failed;
    }
    section->data[entry.size] = '\0';
    section->size = entry.size;
    return SectionLoad::Loaded;
}

bool SectionReader::ReadString(const char** text) {
    *text = data_ + position_;
    const uint32_t length = static_cast<uint32_t>(strnlen(*text, Remaining()));
    const bool terminated = length < Remaining();
    position_ += length + (terminated ? 1 : 0);
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
