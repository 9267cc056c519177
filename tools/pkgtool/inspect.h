// pkgtool list and show: a package described for a person without trusting it. Each offset
// and size is checked against the file's length before it is followed, so a damaged package
// is described, never read out of bounds.
#pragma once

namespace pkgbuild {

// Prints the header and the directory, one entry a line, and checks that every entry can be
// loaded. Returns the exit status: 0, or 1 when the package or an entry is damaged.
int ListPackage(const char* path);

// As ListPackage, then every control section decoded (texts as UTF-8) and the payload files
// with the paths they are installed under. A damaged section also gives status 1.
int ShowPackage(const char* path);

}  // namespace pkgbuild
