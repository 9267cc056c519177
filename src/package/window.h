// Reading and writing through views of one window at a time. A walk covers a range of a
// mapped file, or of memory, and hands it out piece by piece: no piece crosses a multiple of
// the window, and the view of a piece is released as soon as the piece is used up, so a walk
// holds at most one window of address space however long its range, and what was written
// through a view has reached the file (or failed the call that used it) by the time the copy
// or the inflate that filled it returns. A file that is read
// again and again (the package) keeps the view of the window last read for the next read.
//
// Copying and inflating take one walk to read and one to write; each side moves on by itself
// when its piece is used up. Nothing here knows the package format; a range that does not lie
// within its file fails when it is reached, as the platform layer refuses a view outside its
// mapping.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// A read-only file and the view of the window last read through it, kept so that reads that
// follow one another within a window (the header and the directory, entries laid out back to
// back) map it once. Only one walk at a time may read through it.
struct WindowedFile {
    platform::Mapping mapping{};
    uint64_t length = 0;
    platform::View view{};
    uint64_t viewStart = 0;
    uint32_t viewLength = 0;
};

// Unmaps the kept view (the mapping stays the caller's).
void CloseWindow(WindowedFile& file);

// A file opened for reading and mapped whole, for views of it to be made; a file of length 0
// has no mapping, as an empty file cannot be mapped.
struct MappedFile {
    platform::File file{};
    platform::Mapping mapping{};
    uint64_t length = 0;
};

// Opens and maps the file; false when it cannot be opened or mapped. CloseMappedFile must
// follow in every case.
bool OpenMappedFile(const char* path, MappedFile* mapped);
void CloseMappedFile(MappedFile& mapped);

struct Walk {
    WindowedFile* file = nullptr;  // the file read, through its kept view, or else
    platform::Mapping mapping{};   // the file walked through views of its own, or else
    uint8_t* memory = nullptr;     // the memory walked, from its byte 0
    uint32_t scratchLength = 0;    // when not 0, each piece reuses `memory` from its byte 0
    uint64_t position = 0;         // offset of the first byte not yet in a piece
    uint64_t end = 0;
    platform::View view{};
    uint8_t* piece = nullptr;  // the current piece's bytes not yet used
    uint32_t pieceLength = 0;
};

// [offset, offset + length) of a file read through its kept view.
Walk FileWalk(WindowedFile& file, uint64_t offset, uint64_t length);
// [offset, offset + length) of a mapped file, through views of the walk's own: for files
// written, or read once from start to end.
Walk FileWalk(platform::Mapping mapping, uint64_t offset, uint64_t length);
// `length` bytes of memory, read or written (null is allowed when length is 0).
Walk MemoryWalk(void* memory, uint64_t length);
// `length` bytes written into the same `scratchLength` bytes over and over: output that is
// only counted, as when a stream is inflated just to see that it is whole.
Walk ScratchWalk(void* scratch, uint32_t scratchLength, uint64_t length);

// Makes the current piece non-empty when the walk has bytes left, mapping the next window.
// False only when that view cannot be mapped.
bool FillPiece(Walk& walk);

// Moves past `used` bytes of the current piece (at most its length), which the caller read or
// wrote in place. False when a view of the walk's own, used up, could not write its bytes to
// the file.
bool UsePiece(Walk& walk, uint32_t used);

// True when every byte of the walk has been used.
bool WalkDone(const Walk& walk);

// Releases the view the walk holds of its own: that of a walk stopped before its piece was
// used up, which has failed anyway.
void EndWalk(Walk& walk);

// Copies the rest of `from` into `to`. False when `to` ends first, a view cannot be mapped, or
// bytes written cannot reach the file.
bool CopyWalk(Walk& from, Walk& to);

// Inflates the one zlib stream that `from` holds into `to`, calling inflate as often as the
// pieces need. True only when the stream ended having filled `to` exactly: a damaged,
// truncated or overlong stream, a wrong Adler-32, a view that cannot be mapped or bytes that
// cannot reach the file is false, and nothing is ever written past the end of `to`.
bool InflateWalk(Walk& from, Walk& to);

// The same for a stream of exactly `storedLength` bytes at the walk's position, which ends
// the stream there: a stream that ends sooner or later than its length is false as well.
bool InflateWalkPart(Walk& from, uint64_t storedLength, Walk& to);

// Copies the next `length` bytes of the walk into `out`; false when the walk ends first or a
// view cannot be mapped.
bool ReadWalk(Walk& from, void* out, uint32_t length);

// Copies `length` bytes at `offset` of the file into `out`; false when they do not lie within
// the file or cannot be mapped.
bool ReadFileBytes(WindowedFile& file, uint64_t offset, uint32_t length, void* out);
