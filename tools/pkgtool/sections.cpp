#include "sections.h"

#include <cstring>

#include "package/format.h"
#include "text/codepage.h"

namespace pkgbuild {
namespace {

// A bounded cursor over a section's bytes: every read checks what is left first.
class Cursor {
  public:
    explicit Cursor(std::string_view bytes) : bytes_(bytes) {}

    size_t position() const { return position_; }
    bool AtEnd() const { return position_ == bytes_.size(); }

    // The string at the cursor; false when the section ends before its NUL, and the string
    // then runs to the end, as the installer takes it.
    bool String(std::string* text) {
        const size_t end = bytes_.find('\0', position_);
        const size_t stop = end == std::string_view::npos ? bytes_.size() : end;
        text->assign(bytes_.substr(position_, stop - position_));
        position_ = end == std::string_view::npos ? stop : stop + 1;
        return end != std::string_view::npos;
    }

    bool Byte(uint8_t* value) {
        if (AtEnd()) {
            return false;
        }
        *value = static_cast<uint8_t>(bytes_[position_++]);
        return true;
    }

    // Little-endian, at any byte position.
    bool Uint32(uint32_t* value) {
        if (bytes_.size() - position_ < 4) {
            return false;
        }
        *value = 0;
        for (int i = 3; i >= 0; --i) {
            *value = *value << 8 | static_cast<uint8_t>(bytes_[position_ + i]);
        }
        position_ += 4;
        return true;
    }

  private:
    std::string_view bytes_;
    size_t position_ = 0;
};

Decoding Whole(const Cursor& cursor) {
    return {"", cursor.position()};
}

Decoding Damaged(const Cursor& cursor, std::string problem) {
    return {std::move(problem), cursor.position()};
}

}  // namespace

std::string FoldFileName(std::string_view windows1251) {
    std::string folded(windows1251);
    for (char& c : folded) {
        c = static_cast<char>(codepage::FoldCp1251(static_cast<unsigned char>(c)));
    }
    return folded;
}

Decoding DecodeStringList(std::string_view bytes, std::vector<std::string>* strings) {
    Cursor cursor(bytes);
    std::string text;
    while (!cursor.AtEnd()) {
        const bool whole = cursor.String(&text);
        if (!whole) {
            strings->push_back(text);
            return Damaged(cursor, "ends inside a string, before the closing empty string");
        }
        if (text.empty()) {
            return Whole(cursor);
        }
        strings->push_back(text);
    }
    return Damaged(cursor, "ends before the closing empty string");
}

Decoding DecodeStartupMsg(std::string_view bytes, std::string* caption, std::string* text) {
    Cursor cursor(bytes);
    if (!cursor.String(caption)) {
        return Damaged(cursor, "ends inside the caption");
    }
    if (!cursor.String(text)) {
        return Damaged(cursor, "ends inside the text");
    }
    return Whole(cursor);
}

Decoding DecodeRegistryKeys(std::string_view bytes, RegistryKeys* keys) {
    Cursor cursor(bytes);
    uint32_t level = 0;
    if (!cursor.String(&keys->subKey) || !cursor.String(&keys->folderValue) ||
        !cursor.String(&keys->programValue) || !cursor.String(&keys->levelValue)) {
        return Damaged(cursor, "ends inside its four strings");
    }
    if (!cursor.Uint32(&level)) {
        return Damaged(cursor, "ends inside the patch level");
    }
    keys->level = static_cast<int32_t>(level);
    return Whole(cursor);
}

Decoding DecodeCommands(std::string_view bytes, std::vector<Command>* commands) {
    Cursor cursor(bytes);
    for (;;) {
        Command command;
        if (!cursor.Byte(&command.flags)) {
            return Damaged(cursor, "ends before the closing record");
        }
        if (!cursor.String(&command.program)) {
            return Damaged(cursor, "ends inside a program");
        }
        if (command.program.empty()) {
            return Whole(cursor);
        }
        if (!cursor.String(&command.arguments)) {
            return Damaged(cursor, "ends inside the arguments of a command");
        }
        commands->push_back(std::move(command));
    }
}

Decoding DecodeRegistryTable(std::string_view bytes, std::vector<RegistryRecord>* records) {
    Cursor cursor(bytes);
    for (;;) {
        RegistryRecord record;
        if (!cursor.Uint32(&record.operation)) {
            return Damaged(cursor, "ends before the closing operation 0");
        }
        if (record.operation == kRegistryOperationEnd) {
            return Whole(cursor);
        }
        if (!cursor.Uint32(&record.root) || !cursor.String(&record.subKey) ||
            !cursor.Uint32(&record.valueType) || !cursor.String(&record.valueName) ||
            !cursor.String(&record.data)) {
            return Damaged(cursor, "ends inside a record");
        }
        records->push_back(std::move(record));
    }
}

Decoding DecodeSection(SectionKind kind, std::string_view bytes) {
    std::vector<std::string> strings;
    std::string caption, text;
    RegistryKeys keys;
    std::vector<Command> commands;
    std::vector<RegistryRecord> records;
    switch (kind) {
        case SectionKind::RegistryKeys:
            return DecodeRegistryKeys(bytes, &keys);
        case SectionKind::StartupMsg:
            return DecodeStartupMsg(bytes, &caption, &text);
        case SectionKind::CommandsToExecute:
            return DecodeCommands(bytes, &commands);
        case SectionKind::RegistryTable:
            return DecodeRegistryTable(bytes, &records);
        case SectionKind::XlatNamesTable:
        case SectionKind::Folders:
        case SectionKind::FilesToRemove:
            return DecodeStringList(bytes, &strings);
        case SectionKind::Unknown:
            break;
    }
    return {"", bytes.size()};
}

std::string_view RealPath(const std::vector<std::string>& nameTable, std::string_view entryName) {
    for (size_t i = 0; i + 1 < nameTable.size(); i += 2) {
        const std::string& stored = nameTable[i];
        if (NamesMatch(stored.data(), stored.size(), entryName.data(), entryName.size())) {
            return nameTable[i + 1];
        }
    }
    return entryName;
}

}  // namespace pkgbuild
