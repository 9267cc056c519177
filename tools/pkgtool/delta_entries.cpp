#include "delta_entries.h"

#include <cinttypes>
#include <cstring>
#include <memory>
#include <vector>

#include "host_path.h"
#include "manifest.h"
#include "package/delta.h"
#include "package/window.h"

namespace pkgbuild {
namespace {

// Files the differ takes this long to read are worth showing progress for.
constexpr uint64_t kProgressFrom = 64u << 20;

std::string Number(uint64_t value) {
    return std::to_string(value);
}

// What goes wrong when the delta (after its header) is applied to the old file block by block,
// each block compared with the next bytes of `expected` when it is open; "" when nothing does.
// The installer's own decoder and checks: the old file's size and hash first, the new file's
// hash at the end.
std::string RebuildProblem(Walk& delta, const DeltaHeader& header, const std::string& oldPath,
                           std::FILE* expected) {
    MappedFile old;
    DeltaApply apply;
    std::string problem;
    if (!OpenMappedFile(oldPath.c_str(), &old)) {
        problem = "cannot read " + oldPath;
    } else if (!StartDelta(apply, header, old.mapping, old.length)) {
        problem = oldPath + " is not the file the delta rebuilds from (its size or hash differ)";
    }
    std::vector<uint8_t> block;
    std::vector<uint8_t> wanted;
    while (problem.empty() && apply.length != 0) {
        const uint64_t at = apply.done;
        block.resize(apply.length);
        Walk out = MemoryWalk(block.data(), block.size());
        if (!ApplyDeltaBlock(apply, delta, out)) {
            problem = "the delta is damaged in its block for new byte " + Number(at);
            break;
        }
        wanted.resize(block.size());
        if (expected != nullptr &&
            (std::fread(wanted.data(), 1, wanted.size(), expected) != wanted.size() ||
             wanted != block)) {
            problem = "the delta does not rebuild the new file exactly (from new byte " +
                      Number(at) + " on)";
        }
    }
    if (problem.empty() && !FinishDelta(apply, delta)) {
        problem = "the delta does not end after its last block, or what it rebuilds does not " +
                  std::string("have the new file's hash");
    }
    if (problem.empty() && expected != nullptr && std::fgetc(expected) != EOF) {
        problem = "the delta does not rebuild the new file exactly (the new file is longer)";
    }
    EndDelta(apply);
    CloseMappedFile(old);
    return problem;
}

// Makes the delta of an entry that names its new and old files, and checks it.
bool MakeEntryDelta(Entry& entry, const std::string& label, const DeltaOptions& options,
                    std::FILE* report, std::FILE* progress, std::string* error) {
    const DeltaSource& source = *entry.delta;
    DeltaReport made;
    Bytes delta;
    if (!DiffFiles(source.oldFile, source.newFile, options, &delta, &made, error,
                   progress != nullptr ? PrintProgress(progress, label) : DeltaProgress{})) {
        return false;
    }
    if (made.newSize > UINT32_MAX) {
        *error = source.newFile + " is larger than a package can hold";
        return false;
    }
    std::FILE* expected = OpenHostFile(PathOfUtf8(source.newFile), "rb");
    Walk walk = MemoryWalk(delta.data(), delta.size());
    DeltaHeader header;
    std::string problem;
    if (expected == nullptr) {
        problem = "cannot read " + source.newFile;
    } else if (!ReadDeltaHeader(walk, &header)) {
        problem = "the differ made a damaged header";
    } else {
        problem = RebuildProblem(walk, header, source.oldFile, expected);
    }
    if (expected != nullptr) {
        std::fclose(expected);
    }
    if (!problem.empty()) {
        *error = "the delta made for " + source.newFile + ": " + problem;
        return false;
    }
    entry.content = std::move(delta);
    entry.size = static_cast<uint32_t>(made.newSize);
    std::fprintf(report, "delta %s: %s\n", label.c_str(), DescribeDelta(made).c_str());
    return true;
}

// Checks a delta given ready, from its file.
bool CheckReadyDelta(Entry& entry, const std::string& label, std::FILE* report,
                     std::string* error) {
    const std::string& oldFile = entry.delta->oldFile;
    MappedFile file;
    std::string problem;
    DeltaHeader header;
    uint64_t length = 0;
    if (!OpenMappedFile(entry.sourceFile.c_str(), &file)) {
        problem = "cannot read it";
    } else {
        length = file.length;
        WindowedFile window{.mapping = file.mapping, .length = length};
        Walk walk = FileWalk(window, 0, file.length);
        if (!ReadDeltaHeader(walk, &header)) {
            problem = "it is not a delta (its header is damaged)";
        } else if (header.newSize > UINT32_MAX) {
            problem = "it makes a file larger than a package can hold";
        } else if (!oldFile.empty()) {
            problem = RebuildProblem(walk, header, oldFile, nullptr);
        } else if (!CheckDeltaStructure(walk, header)) {
            problem = "the delta is damaged";
        }
        EndWalk(walk);
        CloseWindow(window);
    }
    CloseMappedFile(file);
    if (!problem.empty()) {
        *error = "delta " + entry.sourceFile + ": " + problem;
        return false;
    }
    entry.size = static_cast<uint32_t>(header.newSize);
    std::fprintf(report,
                 "delta-data %s: %" PRIu64 " bytes rebuilding %" PRIu64 " from %" PRIu64
                 " bytes; %s\n",
                 label.c_str(), length, header.newSize, header.oldSize,
                 oldFile.empty() ? "header and structure checked (no old file given)"
                                 : ("applied to " + oldFile + " and checked").c_str());
    return true;
}

}  // namespace

bool PrepareDeltas(Package* package, const DeltaOptions& options, std::FILE* report,
                   std::FILE* progress, std::string* error) {
    for (Entry& entry : package->entries) {
        if (!entry.delta) {
            continue;
        }
        const std::string label = Windows1251ToUtf8(entry.name);
        const bool prepared = entry.delta->newFile.empty()
                                  ? CheckReadyDelta(entry, label, report, error)
                                  : MakeEntryDelta(entry, label, options, report, progress, error);
        if (!prepared) {
            *error = "entry " + label + ": " + *error;
            return false;
        }
    }
    return true;
}

std::string DescribeDelta(const DeltaReport& report) {
    std::string text = std::string("delta by ") + DeltaMethodName(report.method) + ", " +
                       Number(report.oldSize) + " -> " + Number(report.newSize) + " bytes in " +
                       Number(report.deltaSize) + " (copied " + Number(report.copied) + ", added " +
                       Number(report.added) + ", literal " + Number(report.literal) + ")";
    return text + (report.smallerThanWhole ? "; the whole file compressed would be larger"
                                           : "; the whole file compressed is no larger");
}

DeltaProgress PrintProgress(std::FILE* out, const std::string& name) {
    struct Shown {
        std::string phase;
        uint64_t tenth = 0;
    };
    auto shown = std::make_shared<Shown>();
    return [out, name, shown](const char* phase, uint64_t done, uint64_t total) {
        if (total < kProgressFrom) {
            return;
        }
        const uint64_t tenth = done * 10 / total;
        if (shown->phase == phase && tenth <= shown->tenth) {
            return;
        }
        shown->phase = phase;
        shown->tenth = tenth;
        std::fprintf(out, "  %s: %s, %" PRIu64 " of %" PRIu64 " MiB\n", name.c_str(), phase,
                     done >> 20, total >> 20);
        std::fflush(out);
    };
}

}  // namespace pkgbuild
