// The differ and the decoder on their own, for bench/deltas.sh: the same library calls that
// pkgtool and the installer make, with nothing around them. Not part of the product.
//
//   delta_tool diff OLD NEW DELTA    writes the delta; says what the differ chose
//   delta_tool apply OLD DELTA NEW   writes NEW as the installer would: the old file's hash
//                                    checked first, the new file's hash at the end
//   delta_tool zsize FILE            the size of the whole file as one zlib stream (level 9)
#include <zlib.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "delta_diff.h"
#include "package/delta.h"
#include "package/window.h"
#include "package_builder.h"
#include "platform/platform.h"

namespace {

int Diff(const char* oldPath, const char* newPath, const char* deltaPath) {
    pkgbuild::DeltaReport report;
    std::string error;
    const char* lastPhase = "";
    const auto progress = [&lastPhase](const char* phase, uint64_t done, uint64_t total) {
        if (std::strcmp(phase, lastPhase) != 0 || total > (256u << 20)) {
            std::fprintf(stderr, "  %s %" PRIu64 "/%" PRIu64 " MiB\n", phase, done >> 20,
                         total >> 20);
            lastPhase = phase;
        }
    };
    if (!pkgbuild::MakeDelta(oldPath, newPath, deltaPath, pkgbuild::DeltaOptions{}, &report, &error,
                             progress)) {
        std::fprintf(stderr, "delta_tool: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s: %" PRIu64 " -> %" PRIu64 " bytes, delta %" PRIu64 " (copied %" PRIu64
                ", added %" PRIu64 ", literal %" PRIu64 ")%s\n",
                pkgbuild::DeltaMethodName(report.method), report.oldSize, report.newSize,
                report.deltaSize, report.copied, report.added, report.literal,
                report.smallerThanWhole ? "" : "; the whole file compressed is no larger");
    return 0;
}

// An open file and its read mapping (none for an empty file).
struct Input {
    platform::File file;
    platform::Mapping mapping;
    uint64_t length = 0;
};

bool OpenInput(const char* path, Input* input) {
    input->file = platform::OpenFileRead(path);
    if (!input->file.valid() || !platform::GetFileLength(input->file, &input->length)) {
        return false;
    }
    input->mapping =
        input->length == 0 ? platform::Mapping{} : platform::CreateReadMapping(input->file);
    return input->length == 0 || input->mapping.valid();
}

void CloseInput(Input& input) {
    if (input.mapping.valid()) {
        platform::CloseMapping(input.mapping);
    }
    platform::CloseFile(input.file);
}

// Each block goes through a walk of its own over the new file's mapping, so that no view
// larger than a block is ever mapped for writing.
bool ApplyBlocks(Walk& delta, const DeltaHeader& header, Input& old, platform::Mapping mapping) {
    DeltaApply apply;
    bool applied = StartDelta(apply, header, old.mapping, old.length);
    while (applied && apply.length != 0) {
        Walk out = FileWalk(mapping, apply.done, apply.length);
        applied = ApplyDeltaBlock(apply, delta, out) && WalkDone(out);
        EndWalk(out);
    }
    applied = applied && FinishDelta(apply, delta);
    EndDelta(apply);
    return applied;
}

bool Apply(Input& old, Input& deltaFile, const char* newPath) {
    WindowedFile window{.mapping = deltaFile.mapping, .length = deltaFile.length};
    Walk delta = FileWalk(window, 0, deltaFile.length);
    DeltaHeader header;
    bool applied = ReadDeltaHeader(delta, &header);
    const platform::File file = platform::CreateFileReadWrite(newPath);
    const platform::Mapping mapping = applied && header.newSize != 0
                                          ? platform::CreateWriteMapping(file, header.newSize)
                                          : platform::Mapping{};
    applied = applied && file.valid() && (header.newSize == 0 || mapping.valid()) &&
              ApplyBlocks(delta, header, old, mapping);
    EndWalk(delta);
    CloseWindow(window);
    if (mapping.valid()) {
        platform::CloseMapping(mapping);
    }
    platform::CloseFile(file);
    return applied;
}

int Apply(const char* oldPath, const char* deltaPath, const char* newPath) {
    Input old;
    Input delta;
    const bool applied =
        OpenInput(oldPath, &old) && OpenInput(deltaPath, &delta) && Apply(old, delta, newPath);
    CloseInput(old);
    CloseInput(delta);
    if (!applied) {
        std::remove(newPath);
        std::fprintf(stderr, "delta_tool: the delta does not apply to %s\n", oldPath);
        return 1;
    }
    return 0;
}

int CompressedSize(const char* path) {
    pkgbuild::Bytes data;
    if (!pkgbuild::ReadFile(path, &data)) {
        std::fprintf(stderr, "delta_tool: cannot read %s\n", path);
        return 1;
    }
    std::printf("%zu\n", pkgbuild::Compress(data).size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "diff") == 0) {
        return Diff(argv[2], argv[3], argv[4]);
    }
    if (argc == 5 && std::strcmp(argv[1], "apply") == 0) {
        return Apply(argv[2], argv[3], argv[4]);
    }
    if (argc == 3 && std::strcmp(argv[1], "zsize") == 0) {
        return CompressedSize(argv[2]);
    }
    std::fputs("usage: delta_tool diff OLD NEW DELTA | apply OLD DELTA NEW | zsize FILE\n", stderr);
    return 2;
}
