// Writes the fuzzers' seed inputs: packages of the package builder that use every control
// section and every storage kind, and the section target's records of each section. The seeds
// are kept in tests/fuzz/corpus; run this again only when the package builder or the sections
// change: `build/host/fuzz_seeds tests/fuzz/corpus`.
#include <cstdio>
#include <string>
#include <vector>

#include "package_builder.h"
#include "scratch_run.h"

namespace {

using pkgbuild::Bytes;

pkgbuild::Entry Entry(const std::string& name, const Bytes& content, bool compressed) {
    pkgbuild::Entry entry;
    entry.name = name;
    entry.content = content;
    entry.compressed = compressed;
    return entry;
}

Bytes RegistryKeys(int32_t level) {
    return pkgbuild::RegistryKeysSection(fuzz::kSubKey, fuzz::kFolderValue, fuzz::kProgramValue,
                                         fuzz::kLevelValue, level);
}

// Every section, each as the installer expects it; names long enough for the name table,
// nested folders, removals of a file and of a folder, every command flag, every value type.
std::vector<std::pair<std::string, Bytes>> Sections(int32_t level) {
    return {
        {":RegistryKeys", RegistryKeys(level)},
        {":StartupMsg", pkgbuild::StringList({"Caption", "Text\r\nline 2"})},
        {":XlatNamesTable",
         pkgbuild::StringList({"TMP0000000000000001", "data\\a_rather_long_name_for_a_file.dat",
                               "tmp0000000000000002", "\\lead.txt"})},
        {":Folders", pkgbuild::StringList({"logs", "logs\\old", "Сохранения"})},
        {":CommandsToExecute", pkgbuild::CommandsSection({{1, "helper.exe", "record=x"},
                                                          {7, "tools\\fix.exe", "a \"b c\""},
                                                          {4, "C:\\abs.exe", ""}})},
        {":FilesToRemove", pkgbuild::StringList({"old.txt", "logs\\old", "missing"})},
        {":RegistryTable", pkgbuild::RegistryTableSection({
                               {1, 0, "SOFTWARE\\Fuzz\\Game\\Settings", 2, "Language", "ru"},
                               {1, 1, "Software\\Fuzz", 1, "Volume", "0x50"},
                               {1, 1, "Software\\Fuzz", 1, "Count", "-12"},
                               {1, 0, "SOFTWARE\\Fuzz\\Empty", 0, "", ""},
                               {2, 0, "SOFTWARE\\Fuzz\\Skipped", 2, "x", "y"},
                           })},
    };
}

pkgbuild::Package FullPackage(bool compressed, int32_t level) {
    pkgbuild::Package package;
    package.compressDirectory = compressed;
    for (const auto& [name, content] : Sections(level)) {
        package.entries.push_back(Entry(name, content, compressed));
    }
    package.entries.push_back(Entry("game.exe", pkgbuild::ToBytes("game 2"), compressed));
    package.entries.push_back(Entry("TMP0000000000000001", Bytes(300, 'x'), compressed));
    package.entries.push_back(Entry("TMP0000000000000002", pkgbuild::ToBytes("lead"), !compressed));
    package.entries.push_back(Entry("data\\empty.dat", Bytes(), compressed));
    return package;
}

bool Write(const std::string& path, const Bytes& bytes) {
    if (!pkgbuild::WriteFile(path, bytes)) {
        std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// The section target's input: selector, 16-bit length, content, for each section.
Bytes SectionRecords(const std::vector<std::pair<std::string, Bytes>>& sections, size_t from,
                     size_t count) {
    Bytes out;
    for (size_t i = from; i < from + count; ++i) {
        const Bytes& content = sections[i].second;
        out.push_back(static_cast<uint8_t>(i));
        out.push_back(static_cast<uint8_t>(content.size()));
        out.push_back(static_cast<uint8_t>(content.size() >> 8));
        out.insert(out.end(), content.begin(), content.end());
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds CORPUS_FOLDER\n");
        return 2;
    }
    const std::string corpus = argv[1];
    pkgbuild::Package directory3 = FullPackage(false, 2);
    directory3.headerFlags = 3;  // stored, like 0
    const Bytes image = pkgbuild::ToBytes("MZ a program image");
    const std::vector<std::pair<std::string, Bytes>> packages = {
        {"compressed.pkg", pkgbuild::Build(FullPackage(true, 2))},
        {"stored.pkg", pkgbuild::Build(FullPackage(false, 2))},
        {"directory3.pkg", pkgbuild::Build(directory3)},
        {"same-level.pkg", pkgbuild::Build(FullPackage(false, fuzz::kInstalledLevel))},
    };
    bool written = true;
    for (const auto& [name, bytes] : packages) {
        written = Write(corpus + "/apply_fuzz/" + name, bytes) && written;
        written = Write(corpus + "/package_fuzz/" + name, bytes) && written;
    }
    written = Write(corpus + "/package_fuzz/self-contained.exe",
                    pkgbuild::Bind(image, packages[0].second)) &&
              written;
    const auto sections = Sections(2);
    for (size_t i = 0; i < sections.size(); ++i) {
        written = Write(corpus + "/section_fuzz/" + sections[i].first.substr(1),
                        SectionRecords(sections, i, 1)) &&
                  written;
    }
    written = Write(corpus + "/section_fuzz/all", SectionRecords(sections, 0, sections.size())) &&
              written;
    return written ? 0 : 1;
}
