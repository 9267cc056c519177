// Control sections: loading one into a heap buffer, and a bounded cursor over its bytes.
//
// A section's content is exactly its entry's `size` bytes. The buffer gets one guard NUL
// after the content (not part of it), so that a string running to the end of the section
// ends there and can be handed on as a C string; nothing is ever read past the guard.
#pragma once

#include <cstdint>
#include <memory>

#include "apply/context.h"

enum class SectionLoad {
    Missing,  // no entry of that name
    Loaded,
    Failed,  // present, but its content could not be allocated or loaded completely
};

struct Section {
    std::unique_ptr<char[]> data;
    uint32_t size = 0;
};

SectionLoad LoadSection(const PatchContext& context, const char* name, Section* section);

class SectionReader {
  public:
    SectionReader(const char* data, uint32_t size) : data_(data), size_(size) {}

    uint32_t Remaining() const { return size_ - position_; }

    // The string at the cursor; true when its NUL lay within the section. A string that runs
    // to the end of the section ends there (false); at the end, the empty string (false).
    bool ReadString(const char** text);
    // The next string of a string list; false at the list's end (an empty string, or the
    // end of the section).
    bool NextListString(const char** text);
    bool ReadByte(uint8_t* value);
    // Little-endian, at any byte position; false when fewer than 4 bytes remain.
    bool ReadUint32(uint32_t* value);

  private:
    const char* data_;  // size_ bytes, then a NUL
    uint32_t size_;
    uint32_t position_ = 0;
};
