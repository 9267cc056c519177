#include "sections.h"

#include <cstring>
#include <new>

#include "apply/section.h"
#include "text/codepage.h"

namespace pkgbuild {
namespace {

// A section's bytes in the installer's own buffer, walked by the installer's own reader, so
// that pkgtool reads every section exactly as the installer does. Strings are read as the
// package holds them (Windows-1251), for the caller to show or write out.
class HeldSection {
  public:
    explicit HeldSection(std::string_view bytes) : reader_(Hold(bytes, &section_)) {}

    SectionReader& reader() { return reader_; }

    // The string at the cursor; false when the section ends before its NUL, and the string
    // then runs to the end, as the installer takes it.
    bool String(std::string* text) {
        const char* raw = nullptr;
        const bool terminated = reader_.ReadRawString(&raw);
        text->assign(raw);
        return terminated;
    }

    Decoding Whole() const { return {"", reader_.Position()}; }
    Decoding Damaged(std::string problem) const { return {std::move(problem), reader_.Position()}; }

  private:
    static const Section& Hold(std::string_view bytes, Section* section) {
        if (bytes.size() > UINT32_MAX ||
            !AllocateSection(static_cast<uint32_t>(bytes.size()), section)) {
            throw std::bad_alloc();
        }
        if (!bytes.empty()) {
            std::memcpy(section->data.get(), bytes.data(), bytes.size());
        }
        return *section;
    }

    Section section_;
    SectionReader reader_;
};

}  // namespace

std::string FoldFileName(std::string_view windows1251) {
    std::string folded(windows1251);
    for (char& c : folded) {
        c = static_cast<char>(codepage::FoldCp1251(static_cast<unsigned char>(c)));
    }
    return folded;
}

Decoding DecodeStringList(std::string_view bytes, std::vector<std::string>* strings) {
    HeldSection held(bytes);
    std::string text;
    while (held.reader().Remaining() > 0) {
        const bool whole = held.String(&text);
        if (!whole) {
            strings->push_back(text);
            return held.Damaged("ends inside a string, before the closing empty string");
        }
        if (text.empty()) {
            return held.Whole();
        }
        strings->push_back(text);
    }
    return held.Damaged("ends before the closing empty string");
}

Decoding DecodeStartupMsg(std::string_view bytes, std::string* caption, std::string* text) {
    HeldSection held(bytes);
    if (!held.String(caption)) {
        return held.Damaged("ends inside the caption");
    }
    if (!held.String(text)) {
        return held.Damaged("ends inside the text");
    }
    return held.Whole();
}

Decoding DecodeRegistryKeys(std::string_view bytes, RegistryKeys* keys) {
    HeldSection held(bytes);
    uint32_t level = 0;
    if (!held.String(&keys->subKey) || !held.String(&keys->folderValue) ||
        !held.String(&keys->programValue) || !held.String(&keys->levelValue)) {
        return held.Damaged("ends inside its four strings");
    }
    if (!held.reader().ReadUint32(&level)) {
        return held.Damaged("ends inside the patch level");
    }
    keys->level = static_cast<int32_t>(level);
    return held.Whole();
}

Decoding DecodeCommands(std::string_view bytes, std::vector<Command>* commands) {
    HeldSection held(bytes);
    for (;;) {
        Command command;
        if (!held.reader().ReadByte(&command.flags)) {
            return held.Damaged("ends before the closing record");
        }
        if (!held.String(&command.program)) {
            return held.Damaged("ends inside a program");
        }
        if (command.program.empty()) {
            return held.Whole();
        }
        if (!held.String(&command.arguments)) {
            return held.Damaged("ends inside the arguments of a command");
        }
        commands->push_back(std::move(command));
    }
}

Decoding DecodeRegistryTable(std::string_view bytes, std::vector<RegistryRecord>* records) {
    HeldSection held(bytes);
    SectionReader& reader = held.reader();
    for (;;) {
        RegistryRecord record;
        if (!reader.ReadUint32(&record.operation)) {
            return held.Damaged("ends before the closing operation 0");
        }
        if (record.operation == kRegistryOperationEnd) {
            return held.Whole();
        }
        if (!reader.ReadUint32(&record.root) || !held.String(&record.subKey) ||
            !reader.ReadUint32(&record.valueType) || !held.String(&record.valueName) ||
            !held.String(&record.data)) {
            return held.Damaged("ends inside a record");
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
