// pkgtool diff: the manifest of the patch that turns one installed tree (OLD) into another
// (NEW). Names are compared as Windows compares them (ASCII and Windows-1251 letters without
// case); content byte by byte. Whatever the installer could not reproduce exactly is refused.
#pragma once

#include <cstdio>
#include <string>

#include "delta_diff.h"

namespace pkgbuild {

struct DiffOptions {
    // A changed file that keeps its name becomes a delta entry from its old version when the
    // delta is smaller than the whole file compressed (and the installer would rebuild it from
    // that very file: not when OLD holds a file named like its backup).
    bool deltas = false;
    DeltaOptions delta{};
    std::FILE* report = nullptr;    // what was chosen for each changed file, when deltas
    std::FILE* progress = nullptr;  // how far the differ is on a large file; may be null
};

// Writes the manifest `outputPath`: the directives of the manifest `basePath` (its host
// paths rewritten to count from the output's folder), then the new folders (parents first),
// a payload file for every new or changed file (a delta line for one that options choose),
// and the removals (files, then folders deepest first). False, with `error` set and nothing
// written, when the trees hold something a patch cannot carry exactly or the resulting
// manifest would not build.
bool DiffTrees(const std::string& oldRoot, const std::string& newRoot, const std::string& basePath,
               const std::string& outputPath, const DiffOptions& options, std::string* error);

}  // namespace pkgbuild
