// Control sections: loading one into a heap buffer, and a bounded cursor over its bytes.
//
// A section's content is exactly its entry's `size` bytes. The buffer gets one guard NUL
// after the content (not part of it), so that a string running to the end of the section
// ends there; nothing is ever read past the guard. Strings are Windows-1251 in the package and
// UTF-8 inside the program: the cursor decodes each string it hands out into a second buffer,
// where the string that starts at byte p of the content has room from byte 3 * p on.
#pragma once

#include <cstdint>
#include <memory>

#include "package/format.h"

struct PatchContext;

enum class SectionLoad {
    Missing,  // no entry of that name
    Loaded,
    Failed,  // present, but its content could not be allocated or loaded completely
};

struct Section {
    std::unique_ptr<char[]> data;  // size bytes, then a NUL
    std::unique_ptr<char[]> text;  // room for the UTF-8 form of every string of data
    uint32_t size = 0;
};

// Room for a section of `size` bytes: its content (for the caller to fill), the guard NUL and
// the room for its decoded strings. False, with the section empty, when it cannot be had.
bool AllocateSection(uint32_t size, Section* section);

SectionLoad LoadSection(const PatchContext& context, SectionKind kind, Section* section);

class SectionReader {
  public:
    explicit SectionReader(const Section& section)
        : data_(section.data.get()), text_(section.text.get()), size_(section.size) {}

    uint32_t Remaining() const { return size_ - position_; }
    // The bytes read so far.
    uint32_t Position() const { return position_; }

    // The string at the cursor, decoded to UTF-8; true when its NUL lay within the section. A
    // string that runs to the end of the section ends there (false); at the end, the empty
    // string (false).
    bool ReadString(const char** text);
    // The same string as the package holds it, in Windows-1251, for what is read byte by byte.
    bool ReadRawString(const char** text);
    // The next string of a string list; false at the list's end (an empty string, or the
    // end of the section).
    bool NextListString(const char** text);
    bool ReadByte(uint8_t* value);
    // Little-endian, at any byte position; false when fewer than 4 bytes remain.
    bool ReadUint32(uint32_t* value);

  private:
    const char* data_;  // size_ bytes, then a NUL
    char* text_;        // 3 * size_ + 1 bytes
    uint32_t size_;
    uint32_t position_ = 0;
};
