// The package reader: one read-only mapping of the file for the whole run, seen through views
// of one window at a time (the trailer, the header and the directory when the package is
// opened, an entry's data while it is loaded); the directory as the only copy; entries found by
// a linear scan and loaded straight into the caller's memory or into a new file's mapping.
//
// Nothing is read outside the mapped file: the trailer, header and directory must lie within
// it or the open fails, and an entry whose data does not lie within it cannot be loaded.
// A compressed entry is loaded only when its stream ends having produced exactly `size` bytes
// (a damaged, truncated or overlong stream, or a wrong Adler-32, fails the load). A delta entry
// is not loaded but applied to the file it replaces, its data read through a walk.
#pragma once

#include <cstdint>

#include "package/delta.h"
#include "package/format.h"
#include "package/window.h"
#include "platform/platform.h"

// Where a package lies in its file: [offset, end), the trailer excluded.
struct PackageSpan {
    uint64_t offset = 0;
    uint64_t end = 0;
};

struct Package {
    platform::File packageFile;
    // The read-only mapping of the whole file, its length, and the view of the window last
    // read, kept for the next read: a cache, so loading an entry changes nothing of the
    // package that callers can see.
    mutable WindowedFile packageWindow;
    // The package occupies [packageOffset, packageEnd) of the file (the trailer excluded).
    uint64_t packageOffset = 0;
    uint64_t packageEnd = 0;
    PackageHeader header{};
    DirectoryEntry* directory = nullptr;
};

// Opens the package in `path`: the whole file, or, when `embedded`, the span its trailer gives
// (ReadTrailer). Returns the package offset, or -1 on any failure; what was acquired stays
// recorded for ClosePackage, which must follow in every case.
int64_t OpenPackage(Package& package, const char* path, bool embedded);

// The first step of OpenPackage, for callers that describe a package rather than open it:
// opens the file and maps it for reading. False on failure (a file of length 0 cannot be
// mapped); ClosePackage must follow in every case.
bool MapPackageFile(Package& package, const char* path);

// The span the trailer of a self-contained patch gives: the trailer ends the file, or, in a
// signed file, comes before its certificate table and padding; the package runs from the
// offset the trailer holds up to the trailer. False when the file ends in no trailer. The
// offset is as the trailer holds it: it may lie past the span's end.
bool ReadTrailer(WindowedFile& file, PackageSpan* span);

// Index of the first entry of that name (ASCII case ignored), or -1.
int FindEntry(const Package& package, const char* name);

// Writes the entry's `size` bytes of content to `destination` (room for `size` bytes; may be
// null when size is 0). False when the content cannot be loaded completely (always for a delta
// entry, which has no content of its own); then the destination holds nothing usable, and
// never more than `size` bytes were written.
bool LoadEntry(const Package& package, const DirectoryEntry& entry, void* destination);

// The same into a new file's read-write mapping of exactly `size` bytes, written window by
// window through views of it.
bool LoadEntryToFile(const Package& package, const DirectoryEntry& entry,
                     platform::Mapping destination);

// A walk over the bytes the entry occupies in the package, as they are stored (for a stored
// entry its `size` bytes, else its `storedSize`), read through the package's kept view; false
// when they do not lie within the package. The caller ends the walk.
bool EntryData(const Package& package, const DirectoryEntry& entry, Walk* data);

// The data of a delta entry, with its header read and checked: `delta` is left after the
// header, for the caller to apply and end. False, with nothing to end, unless the entry is a
// payload delta (not also marked compressed) whose data lies within the package, whose header
// is whole and whose new size is the entry's size.
bool StartDeltaEntry(const Package& package, const DirectoryEntry& entry, Walk* delta,
                     DeltaHeader* header);

// Releases the directory, the mapping and the file, as far as they were acquired.
void ClosePackage(Package& package);
