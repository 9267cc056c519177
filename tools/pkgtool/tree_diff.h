// pkgtool diff: the manifest of the patch that turns one installed tree (OLD) into another
// (NEW). Names are compared as Windows compares them (ASCII and Windows-1251 letters without
// case); content byte by byte. Whatever the installer could not reproduce exactly is refused.
#pragma once

#include <string>

namespace pkgbuild {

// Writes the manifest `outputPath`: the directives of the manifest `basePath` (its host
// paths rewritten to count from the output's folder), then the new folders (parents first),
// a payload file for every new or changed file, and the removals (files, then folders
// deepest first). False, with `error` set and nothing written, when the trees hold something
// a patch cannot carry exactly or the resulting manifest would not build.
bool DiffTrees(const std::string& oldRoot, const std::string& newRoot, const std::string& basePath,
               const std::string& outputPath, std::string* error);

}  // namespace pkgbuild
