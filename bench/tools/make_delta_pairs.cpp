// Makes the deterministic game-like file pairs that bench/deltas.sh diffs: an old and a new
// version of each file, the same arguments always giving the same bytes. Not part of the
// product.
//
//   make_delta_pairs FOLDER DIVISOR [NAME...]
//
// writes FOLDER/old/NAME and FOLDER/new/NAME, every size divided by DIVISOR (1 for the full
// set), for each NAME (all when none is given):
//   archive.pak   320 MiB of members (meshes, level tables, scripts, sounds) and a directory
//                 at the end; in the new version 3 % of the members are edited, 1 % removed
//                 and 1 % inserted, so everything after them shifts
//   levels.pak    192 MiB the same way, with 2 % of the members moved elsewhere as well
//   game.exe      40 MiB of machine-code-like functions that call one another, a table of
//                 absolute addresses and strings; 2 % of the functions change, a few are
//                 inserted or removed, so calls and addresses all over the file shift
//   textures.pak  96 MiB of compressed textures, a quarter of them recompressed
//   scripts.txt   24 MiB of text lines, 2 % edited, inserted or removed
//   world.dat     3 GiB of mixed data with about 1 % changed in places spread over it:
//                 values adjusted, spans replaced, inserted and removed
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "random.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kMiB = 1 << 20;

void AppendRandom(Random& random, Bytes& out, uint64_t length) {
    for (uint64_t i = 0; i < length; i += 8) {
        const uint64_t value = random.Next();
        for (uint64_t k = 0; k < 8 && i + k < length; ++k) {
            out.push_back(static_cast<uint8_t>(value >> (8 * k)));
        }
    }
}

template <typename T>
void AppendValue(Bytes& out, T value) {
    uint8_t bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

// Vertices of 32 bytes: a position that wanders, a normal, texture coordinates.
void AppendMesh(Random& random, Bytes& out, uint64_t length) {
    float x = static_cast<float>(random.Below(1000)), y = 0, z = 0;
    while (out.size() % 32 != 0 || length >= 32) {
        x += static_cast<float>(random.Below(200)) / 100.0f - 1.0f;
        y += static_cast<float>(random.Below(200)) / 100.0f - 1.0f;
        z += static_cast<float>(random.Below(200)) / 400.0f - 0.25f;
        for (const float value : {x, y, z, 0.0f, 1.0f, 0.0f}) {
            AppendValue(out, value);
        }
        AppendValue(out, static_cast<uint16_t>(random.Below(4096)));
        AppendValue(out, static_cast<uint16_t>(random.Below(4096)));
        AppendValue(out, static_cast<uint32_t>(0));
        if (length < 32) {
            break;
        }
        length -= 32;
    }
}

// Records of a level: an id that counts up, a type, small counts and flags.
void AppendTable(Random& random, Bytes& out, uint64_t length) {
    uint32_t id = static_cast<uint32_t>(random.Below(100000));
    for (; length >= 16; length -= 16) {
        AppendValue(out, id++);
        AppendValue(out, static_cast<uint16_t>(random.Below(40)));
        AppendValue(out, static_cast<uint16_t>(random.Below(4) * 100));
        AppendValue(out, static_cast<uint32_t>(random.Below(1000)));
        AppendValue(out, static_cast<uint32_t>(random.Below(8) == 0 ? random.Next() : 1));
    }
}

// Lines of words from a small vocabulary, like scripts and configuration.
std::string Line(Random& random) {
    static const char* const kWords[] = {"local", "function", "end",    "if",     "then",  "return",
                                         "self",  "player",   "enemy",  "health", "=",     "+",
                                         "(",     ")",        "nil",    "true",   "false", "for",
                                         "in",    "pairs",    "spawn",  "door",   "quest", "item",
                                         "gold",  "level",    "damage", "speed",  "timer", "event"};
    std::string line(random.Below(4) * 4, ' ');
    const uint64_t words = 2 + random.Below(9);
    for (uint64_t w = 0; w < words; ++w) {
        line += kWords[random.Below(sizeof kWords / sizeof kWords[0])];
        line += w + 1 < words ? " " : "";
        if (random.Below(6) == 0) {
            line += std::to_string(random.Below(5000));
        }
    }
    return line + "\n";
}

void AppendText(Random& random, Bytes& out, uint64_t length) {
    const uint64_t end = out.size() + length;
    while (out.size() < end) {
        const std::string line = Line(random);
        out.insert(out.end(), line.begin(), line.end());
    }
}

enum class Kind : uint8_t { Mesh, Table, Text, Packed };

// A member of an archive: its content follows from its seed and version alone.
struct Member {
    Kind kind;
    uint64_t size;
    uint64_t seed;
    uint32_t version = 0;
};

Bytes Content(const Member& member) {
    Random random{member.seed};
    Bytes out;
    out.reserve(member.size + 64);
    switch (member.kind) {
        case Kind::Mesh:
            AppendMesh(random, out, member.size);
            break;
        case Kind::Table:
            AppendTable(random, out, member.size);
            break;
        case Kind::Text:
            AppendText(random, out, member.size);
            break;
        case Kind::Packed:
            AppendRandom(random, out, member.size);
            break;
    }
    if (member.version == 0 || member.kind == Kind::Packed) {
        return out;
    }
    // An edited member: a few spans rewritten in place, one grown or shrunk.
    Random edits{member.seed ^ 0xED17ull ^ member.version};
    for (int e = 0; e < 4 && !out.empty(); ++e) {
        const uint64_t at = edits.Below(out.size());
        const uint64_t length = std::min<uint64_t>(1 + edits.Below(512), out.size() - at);
        Bytes span;
        if (member.kind == Kind::Text) {
            AppendText(edits, span, length);
        } else {
            // Values nudged, as a designer moves a vertex or tunes a number.
            span.assign(out.begin() + static_cast<ptrdiff_t>(at),
                        out.begin() + static_cast<ptrdiff_t>(at + length));
            for (size_t i = 0; i < span.size(); i += 4) {
                span[i] = static_cast<uint8_t>(span[i] + 1 + edits.Below(3));
            }
        }
        const bool resize = e == 0;
        out.erase(out.begin() + static_cast<ptrdiff_t>(at),
                  out.begin() + static_cast<ptrdiff_t>(resize ? at : at + length));
        out.insert(out.begin() + static_cast<ptrdiff_t>(at), span.begin(), span.end());
    }
    return out;
}

struct Archive {
    std::vector<Member> members;
};

// An archive's bytes: a small header, each member behind its own header, and a directory of
// names, offsets, sizes and hashes at the end.
bool WriteArchive(const std::filesystem::path& path, const Archive& archive) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    Bytes directory;
    uint64_t offset = 16;
    Bytes header = {'P', 'A', 'K', '1'};
    AppendValue(header, static_cast<uint32_t>(archive.members.size()));
    AppendValue(header, static_cast<uint64_t>(0));
    bool written = std::fwrite(header.data(), 1, header.size(), file) == header.size();
    for (const Member& member : archive.members) {
        const Bytes content = Content(member);
        Bytes head;
        AppendValue(head, member.seed);
        AppendValue(head, static_cast<uint64_t>(content.size()));
        written = written && std::fwrite(head.data(), 1, head.size(), file) == head.size() &&
                  std::fwrite(content.data(), 1, content.size(), file) == content.size();
        char name[48] = {};
        std::snprintf(name, sizeof name, "data/%s/%016llx.bin",
                      member.kind == Kind::Text ? "scripts" : "assets",
                      static_cast<unsigned long long>(member.seed));
        directory.insert(directory.end(), name, name + sizeof name);
        AppendValue(directory, offset);
        AppendValue(directory, static_cast<uint64_t>(content.size()));
        AppendValue(directory, static_cast<uint32_t>(member.version * 2654435761u + 7));
        offset += head.size() + content.size();
    }
    written =
        written && std::fwrite(directory.data(), 1, directory.size(), file) == directory.size();
    return std::fclose(file) == 0 && written;
}

// Members of log-uniform sizes from 8 KiB to 4 MiB until `total` bytes.
Archive MakeArchive(Random& random, uint64_t total, const std::vector<Kind>& kinds) {
    Archive archive;
    for (uint64_t filled = 0; filled < total;) {
        const double exponent = 13.0 + 9.0 * static_cast<double>(random.Below(1 << 20)) / (1 << 20);
        const uint64_t size = static_cast<uint64_t>(std::exp2(exponent));
        archive.members.push_back({kinds[random.Below(kinds.size())], size, random.Next()});
        filled += size;
    }
    return archive;
}

// The next version: per ten thousand members, `edited` edited (packed ones recompressed:
// new content), `removed` removed, `inserted` new ones inserted and `moved` moved elsewhere.
Archive NextVersion(Random& random, const Archive& old, uint64_t edited, uint64_t removed,
                    uint64_t inserted, uint64_t moved) {
    Archive next;
    std::vector<Member> movedMembers;
    for (const Member& member : old.members) {
        const uint64_t roll = random.Below(10000);
        Member copy = member;
        if (roll < removed) {
            continue;
        }
        if (roll < removed + edited) {
            copy.version = 1;
            if (copy.kind == Kind::Packed) {
                copy.seed = random.Next();
                copy.size = copy.size * (95 + random.Below(11)) / 100;
            }
        }
        if (roll >= 10000 - inserted) {
            next.members.push_back(
                {member.kind, member.size / 2 + random.Below(member.size), random.Next()});
        }
        if (roll >= removed + edited && roll < removed + edited + moved) {
            movedMembers.push_back(copy);
            continue;
        }
        next.members.push_back(copy);
    }
    for (const Member& member : movedMembers) {
        next.members.insert(
            next.members.begin() + static_cast<ptrdiff_t>(random.Below(next.members.size() + 1)),
            member);
    }
    return next;
}

bool MakeArchivePair(const std::filesystem::path& folder, const char* name, uint64_t seed,
                     uint64_t total, const std::vector<Kind>& kinds, uint64_t edited,
                     uint64_t moved) {
    Random random{seed};
    const Archive old = MakeArchive(random, total, kinds);
    const Archive next = NextVersion(random, old, edited, 100, 100, moved);
    return WriteArchive(folder / "old" / name, old) && WriteArchive(folder / "new" / name, next);
}

// --- the program -----------------------------------------------------------------------------

// A function: its own bytes, with calls to other functions at some offsets.
struct Function {
    uint64_t seed;
    uint32_t version = 0;
};

constexpr uint64_t kImageBase = 0x140000000ull;
constexpr uint64_t kCodeStart = 0x1000;

// The function's body: instruction-like bytes from a small set of patterns, and the indices
// of the functions it calls with where each call's displacement goes.
Bytes Body(const Function& function, uint64_t functionCount,
           std::vector<std::pair<uint64_t, uint64_t>>& calls) {
    Random random{function.seed ^ (function.version * 0x9E37ull)};
    static const Bytes kPatterns[] = {{0x48, 0x89, 0x5C, 0x24},
                                      {0x48, 0x8B, 0x05},
                                      {0x48, 0x83, 0xEC},
                                      {0x0F, 0xB6, 0xC0},
                                      {0x85, 0xC0},
                                      {0x74},
                                      {0x48, 0x8D, 0x0D},
                                      {0x8B, 0x44, 0x24},
                                      {0xC3},
                                      {0x31, 0xC0},
                                      {0x41, 0x57},
                                      {0x48, 0x39, 0xC8}};
    Bytes out = {0x55, 0x48, 0x89, 0xE5};
    const uint64_t length = 48 + random.Below(1500);
    calls.clear();
    while (out.size() < length) {
        const uint64_t roll = random.Below(16);
        if (roll < 3) {
            out.push_back(0xE8);
            calls.push_back({out.size(), random.Below(functionCount)});
            out.insert(out.end(), 4, 0);
        } else {
            const Bytes& pattern = kPatterns[random.Below(sizeof kPatterns / sizeof kPatterns[0])];
            out.insert(out.end(), pattern.begin(), pattern.end());
            out.push_back(static_cast<uint8_t>(random.Below(roll < 8 ? 16 : 256)));
        }
    }
    out.push_back(0xC3);
    while (out.size() % 16 != 0) {
        out.push_back(0xCC);
    }
    return out;
}

Bytes LinkProgram(const std::vector<Function>& functions, const std::vector<std::string>& strings) {
    std::vector<Bytes> bodies(functions.size());
    std::vector<std::vector<std::pair<uint64_t, uint64_t>>> calls(functions.size());
    std::vector<uint64_t> addresses(functions.size());
    uint64_t address = kCodeStart;
    for (size_t i = 0; i < functions.size(); ++i) {
        bodies[i] = Body(functions[i], functions.size(), calls[i]);
        addresses[i] = address;
        address += bodies[i].size();
    }
    Bytes image(kCodeStart, 0);
    std::memcpy(image.data(), "MZ", 2);
    for (size_t i = 0; i < functions.size(); ++i) {
        for (const auto& [at, target] : calls[i]) {
            const int32_t displacement =
                static_cast<int32_t>(addresses[target] - (addresses[i] + at + 4));
            std::memcpy(bodies[i].data() + at, &displacement, 4);
        }
        image.insert(image.end(), bodies[i].begin(), bodies[i].end());
    }
    // A table of absolute addresses (as virtual tables and relocations hold them).
    for (size_t i = 0; i < functions.size(); i += 3) {
        AppendValue(image, kImageBase + addresses[i]);
    }
    for (const std::string& text : strings) {
        image.insert(image.end(), text.begin(), text.end());
        image.push_back(0);
    }
    return image;
}

bool WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const bool written =
        file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return file != nullptr && std::fclose(file) == 0 && written;
}

bool MakeProgramPair(const std::filesystem::path& folder, uint64_t total) {
    Random random{0xE7Eull};
    std::vector<Function> functions;
    std::vector<std::string> strings;
    for (uint64_t size = 0; size < total * 9 / 10; size += 820) {
        functions.push_back({random.Next()});
    }
    for (uint64_t size = 0; size < total / 10; size += 40) {
        strings.push_back(Line(random));
    }
    std::vector<Function> nextFunctions;
    for (const Function& function : functions) {
        const uint64_t roll = random.Below(1000);
        if (roll < 5) {
            continue;  // removed
        }
        nextFunctions.push_back(function);
        if (roll < 25) {
            nextFunctions.back().version = 1;
        } else if (roll >= 995) {
            nextFunctions.push_back({random.Next()});  // inserted
        }
    }
    std::vector<std::string> nextStrings = strings;
    for (std::string& text : nextStrings) {
        if (random.Below(100) == 0) {
            text = Line(random);
        }
    }
    return WriteBytes(folder / "old" / "game.exe", LinkProgram(functions, strings)) &&
           WriteBytes(folder / "new" / "game.exe", LinkProgram(nextFunctions, nextStrings));
}

bool MakeTextPair(const std::filesystem::path& folder, uint64_t total) {
    Random random{0x7E47ull};
    std::vector<std::string> lines;
    for (uint64_t size = 0; size < total;) {
        lines.push_back(Line(random));
        size += lines.back().size();
    }
    Bytes old;
    Bytes next;
    for (const std::string& line : lines) {
        old.insert(old.end(), line.begin(), line.end());
        const uint64_t roll = random.Below(1000);
        if (roll < 5) {
            continue;
        }
        const std::string changed = roll < 15 ? Line(random) : line;
        next.insert(next.end(), changed.begin(), changed.end());
        if (roll >= 995) {
            const std::string added = Line(random);
            next.insert(next.end(), added.begin(), added.end());
        }
    }
    return WriteBytes(folder / "old" / "scripts.txt", old) &&
           WriteBytes(folder / "new" / "scripts.txt", next);
}

// --- the large file --------------------------------------------------------------------------

// One MiB of the large file: its kind and bytes follow from its index.
Bytes WorldChunk(uint64_t index) {
    Random random{0x3A11ull + index * 0x9E3779B97F4A7C15ull};
    Bytes out;
    out.reserve(kMiB + 64);
    switch (random.Below(5)) {
        case 0:
        case 1:
            AppendRandom(random, out, kMiB);
            break;
        case 2:
        case 3:
            AppendMesh(random, out, kMiB);
            break;
        default:
            AppendTable(random, out, kMiB);
            break;
    }
    out.resize(kMiB);
    return out;
}

// One chunk in four is changed in 2 to 5 places: values nudged, a span replaced by new
// bytes, new bytes inserted, or bytes removed, each of 2 to 32 KiB.
uint64_t ChangeChunk(uint64_t index, Bytes& chunk) {
    Random random{0xC4A9Eull + index * 0xBF58476D1CE4E5B9ull};
    if (random.Below(4) != 0) {
        return 0;
    }
    uint64_t changed = 0;
    const uint64_t edits = 2 + random.Below(4);
    for (uint64_t e = 0; e < edits; ++e) {
        const uint64_t length = 2048 + random.Below(30 * 1024);
        const uint64_t at = random.Below(chunk.size() - length);
        const auto where = chunk.begin() + static_cast<ptrdiff_t>(at);
        Bytes fresh;
        switch (random.Below(4)) {
            case 0:
                for (uint64_t i = 0; i < length; i += 8) {
                    chunk[at + i] = static_cast<uint8_t>(chunk[at + i] + 1 + random.Below(3));
                }
                break;
            case 1:
                AppendRandom(random, fresh, length);
                std::copy(fresh.begin(), fresh.end(), where);
                break;
            case 2:
                AppendRandom(random, fresh, length);
                chunk.insert(where, fresh.begin(), fresh.end());
                break;
            default:
                chunk.erase(where, where + static_cast<ptrdiff_t>(length));
                break;
        }
        changed += length;
    }
    return changed;
}

bool MakeWorldPair(const std::filesystem::path& folder, uint64_t total) {
    std::FILE* old = std::fopen((folder / "old" / "world.dat").c_str(), "wb");
    std::FILE* next = std::fopen((folder / "new" / "world.dat").c_str(), "wb");
    bool written = old != nullptr && next != nullptr;
    uint64_t changed = 0;
    for (uint64_t index = 0; written && index < total / kMiB; ++index) {
        Bytes chunk = WorldChunk(index);
        written = std::fwrite(chunk.data(), 1, chunk.size(), old) == chunk.size();
        changed += ChangeChunk(index, chunk);
        written = written && std::fwrite(chunk.data(), 1, chunk.size(), next) == chunk.size();
    }
    written = old != nullptr && std::fclose(old) == 0 && written;
    written = next != nullptr && std::fclose(next) == 0 && written;
    std::printf("world.dat: %llu of %llu MiB changed\n",
                static_cast<unsigned long long>(changed >> 20),
                static_cast<unsigned long long>(total >> 20));
    return written;
}

bool Make(const std::filesystem::path& folder, const std::string& name, uint64_t divisor) {
    if (name == "archive.pak") {
        return MakeArchivePair(folder, "archive.pak", 0xA5C1ull, 320 * kMiB / divisor,
                               {Kind::Mesh, Kind::Table, Kind::Text, Kind::Packed}, 300, 0);
    }
    if (name == "levels.pak") {
        return MakeArchivePair(folder, "levels.pak", 0x1E7E1ull, 192 * kMiB / divisor,
                               {Kind::Mesh, Kind::Table, Kind::Table, Kind::Text}, 300, 200);
    }
    if (name == "textures.pak") {
        return MakeArchivePair(folder, "textures.pak", 0x7E47ull, 96 * kMiB / divisor,
                               {Kind::Packed}, 2500, 0);
    }
    if (name == "game.exe") {
        return MakeProgramPair(folder, 40 * kMiB / divisor);
    }
    if (name == "scripts.txt") {
        return MakeTextPair(folder, 24 * kMiB / divisor);
    }
    if (name == "world.dat") {
        return MakeWorldPair(folder, (3072 * kMiB / divisor) / kMiB * kMiB);
    }
    std::fprintf(stderr, "make_delta_pairs: no pair named %s\n", name.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::strtoull(argv[2], nullptr, 10) == 0) {
        std::fprintf(stderr, "usage: make_delta_pairs FOLDER DIVISOR [NAME...]\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const uint64_t divisor = std::strtoull(argv[2], nullptr, 10);
    std::filesystem::create_directories(folder / "old");
    std::filesystem::create_directories(folder / "new");
    std::vector<std::string> names(argv + 3, argv + argc);
    if (names.empty()) {
        names = {"archive.pak",  "levels.pak",  "game.exe",
                 "textures.pak", "scripts.txt", "world.dat"};
    }
    for (const std::string& name : names) {
        if (!Make(folder, name, divisor)) {
            std::fprintf(stderr, "make_delta_pairs: cannot write %s\n", name.c_str());
            return 1;
        }
    }
    return 0;
}
