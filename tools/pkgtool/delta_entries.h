// Delta entries of a package being built: their bytes made from the manifest's new and old
// files, and every delta checked before a package is written, so that no package ships a
// delta that would not rebuild its file exactly.
#pragma once

#include <cstdio>
#include <string>

#include "delta_diff.h"
#include "package_builder.h"

namespace pkgbuild {

// Makes the bytes of each delta entry that names its new file (the delta from its old file,
// checked by applying it to the old file and comparing every byte with the new one), and
// checks each delta given ready: applied to its old file when one is named (its hashes must
// hold), else its header and structure. Sets each delta entry's size to its new file's. Says
// on `report` what it made or checked for each entry, and on `progress` (unless null) how far
// the differ is on a large file. False, with the entry and the reason in `error`, when a delta
// cannot be made or does not check.
bool PrepareDeltas(Package* package, const DeltaOptions& options, std::FILE* report,
                   std::FILE* progress, std::string* error);

// What the differ made of one file, in one line: the method, the sizes, and whether the whole
// file compressed would be no larger.
std::string DescribeDelta(const DeltaReport& report);

// Progress of the differ on large files, a line on `out` for each phase and each tenth of it.
DeltaProgress PrintProgress(std::FILE* out, const std::string& name);

}  // namespace pkgbuild
