// Makes the deterministic file trees that bench/archivers.sh installs and extracts: the same
// arguments always give the same names and bytes. Not part of the product.
//
//   make_tree game FOLDER MIB     a game-like tree of about MIB MiB: half of it in four large
//                                 files (two incompressible, two structured), the rest in
//                                 about 9.4 small files per MiB (structured, incompressible
//                                 and text-like), in nested folders
//   make_tree flat FOLDER COUNT KIB   COUNT files of KIB KiB each in one folder
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "random.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr double kSmallFilesPerMiB = 4800.0 / 512.0;
// The large files take half of a game tree and game.exe 2 MiB; the small files need the rest.
constexpr uint64_t kMinGameMiB = 8;

enum class Kind { Incompressible, Structured, Text };

void FillIncompressible(Random& random, std::vector<char>& bytes) {
    for (size_t i = 0; i < bytes.size(); i += 8) {
        const uint64_t value = random.Next();
        for (size_t k = 0; k < 8 && i + k < bytes.size(); ++k) {
            bytes[i + k] = static_cast<char>(value >> (8 * k));
        }
    }
}

// Records of slowly drifting 16-bit values with some noise, like meshes or texture data.
void FillStructured(Random& random, std::vector<char>& bytes) {
    uint16_t value = static_cast<uint16_t>(random.Next());
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const uint64_t roll = random.Next();
        value = static_cast<uint16_t>(value + (roll % 7) - 3);
        const uint16_t noisy = (roll >> 8) % 5 == 0 ? static_cast<uint16_t>(roll >> 16) : value;
        bytes[i] = static_cast<char>(noisy);
        bytes[i + 1] = static_cast<char>(noisy >> 8);
    }
}

// Lines of words from a fixed vocabulary, like scripts and configuration files.
void FillText(Random& random, std::vector<char>& bytes) {
    static const char* const kSyllables[] = {"ka", "ro",  "mi", "tel", "var", "un", "sho",
                                             "de", "lan", "qu", "is",  "or",  "ex", "pa"};
    constexpr size_t kSyllableCount = sizeof kSyllables / sizeof kSyllables[0];
    size_t at = 0;
    size_t lineLength = 0;
    while (at < bytes.size()) {
        std::string word;
        const uint64_t roll = random.Next();
        const size_t syllables = 1 + roll % 3;
        for (size_t s = 0; s < syllables; ++s) {
            word += kSyllables[(roll >> (8 + 4 * s)) % kSyllableCount];
        }
        lineLength += word.size() + 1;
        word += lineLength > 60 ? '\n' : (roll >> 40) % 9 == 0 ? '=' : ' ';
        if (lineLength > 60) {
            lineLength = 0;
        }
        for (size_t k = 0; k < word.size() && at < bytes.size(); ++k) {
            bytes[at++] = word[k];
        }
    }
}

bool WriteFile(const std::filesystem::path& path, Random& random, Kind kind, uint64_t size) {
    std::vector<char> bytes(size);
    switch (kind) {
        case Kind::Incompressible:
            FillIncompressible(random, bytes);
            break;
        case Kind::Structured:
            FillStructured(random, bytes);
            break;
        case Kind::Text:
            FillText(random, bytes);
            break;
    }
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// One family of small files: its folder, how its files are named and what they hold.
struct Family {
    const char* folder;
    const char* prefix;
    const char* extension;
    Kind kind;
    int share;  // of every 100 small files
    int subfolders;
};

constexpr Family kFamilies[] = {
    {"Data/Tex", "tex", ".dds", Kind::Structured, 35, 20},
    {"Data/Snd", "snd", ".wav", Kind::Incompressible, 20, 8},
    {"Data/Lua", "Script", ".lua", Kind::Text, 20, 6},
    {"Data/Mdl", "mdl", ".mesh", Kind::Structured, 15, 10},
    {"Config", "cfg", ".ini", Kind::Text, 10, 1},
};

std::string Numbered(const char* prefix, uint64_t number, int width, const char* extension) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%0*llu%s", prefix, width,
                  static_cast<unsigned long long>(number), extension);
    return text;
}

int MakeGameTree(const std::filesystem::path& root, uint64_t mebibytes) {
    Random random{0x51A7E5EEDull};
    const uint64_t total = mebibytes * kMiB;
    const uint64_t large = total / 8;
    const struct {
        const char* name;
        Kind kind;
    } kLargeFiles[] = {{"Video/Intro.bik", Kind::Incompressible},
                       {"Data/Music.pak", Kind::Incompressible},
                       {"Data/World.map", Kind::Structured},
                       {"Data/Tex/Atlas.tex", Kind::Structured}};
    for (const auto& file : kLargeFiles) {
        if (!WriteFile(root / file.name, random, file.kind, large)) {
            return 1;
        }
    }
    if (!WriteFile(root / "game.exe", random, Kind::Structured, 2 * kMiB)) {
        return 1;
    }
    // Log-uniform sizes from 512 bytes to 256 KiB, scaled so that they fill the other half.
    const auto count = static_cast<uint64_t>(std::llround(kSmallFilesPerMiB * mebibytes));
    std::vector<double> weights(count);
    double sum = 0;
    for (double& weight : weights) {
        weight = std::exp2(9.0 + 9.0 * static_cast<double>(random.Below(1 << 20)) / (1 << 20));
        sum += weight;
    }
    const double budget = static_cast<double>(total - 4 * large - 2 * kMiB);
    uint64_t index = 0;
    for (const Family& family : kFamilies) {
        const uint64_t familyCount = count * static_cast<uint64_t>(family.share) / 100;
        for (uint64_t n = 0; n < familyCount && index < count; ++n, ++index) {
            const auto size = static_cast<uint64_t>(weights[index] * budget / sum);
            const std::filesystem::path folder =
                root / family.folder /
                Numbered("P", n % static_cast<uint64_t>(family.subfolders), 2, "");
            if (!WriteFile(folder / Numbered(family.prefix, n, 5, family.extension), random,
                           family.kind, size)) {
                return 1;
            }
        }
    }
    return 0;
}

int MakeFlatTree(const std::filesystem::path& root, uint64_t count, uint64_t kibibytes) {
    Random random{0xF1A7ull};
    for (uint64_t n = 0; n < count; ++n) {
        if (!WriteFile(root / Numbered("File", n, 6, ".dat"), random, Kind::Structured,
                       kibibytes * 1024)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "game" && argc == 4) {
        const uint64_t mebibytes = std::strtoull(argv[3], nullptr, 10);
        if (mebibytes < kMinGameMiB) {
            std::fprintf(stderr, "make_tree: a game tree takes at least %llu MiB\n",
                         static_cast<unsigned long long>(kMinGameMiB));
            return 2;
        }
        return MakeGameTree(argv[2], mebibytes);
    }
    if (mode == "flat" && argc == 5) {
        return MakeFlatTree(argv[2], std::strtoull(argv[3], nullptr, 10),
                            std::strtoull(argv[4], nullptr, 10));
    }
    std::fprintf(stderr,
                 "usage: make_tree game FOLDER MIB\n"
                 "       make_tree flat FOLDER COUNT KIB\n");
    return 2;
}
