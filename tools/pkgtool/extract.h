// pkgtool extract: a package taken apart into its payload files and a manifest from which
// `pkgtool build` makes a package with the same entries, in the same order, with the same
// names and contents (compression aside).
#pragma once

#include <string>

namespace pkgbuild {

// The manifest's file name inside the output folder.
inline constexpr char kExtractedManifest[] = "manifest.txt";

// Writes every payload file of the package (or self-contained patch) `packagePath` under
// its installed path inside `folder`, and the manifest kExtractedManifest beside them.
// `folder` must be missing or empty. False, with `error` set and nothing left in `folder`,
// when an entry cannot be loaded completely, a path would land outside `folder`, or the
// package holds what a manifest cannot give exactly.
bool ExtractPackage(const std::string& packagePath, const std::string& folder, std::string* error);

}  // namespace pkgbuild
