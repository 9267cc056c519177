#include "package/window.h"

#include <zlib.h>

#include <cstring>

// The stream record interface the reader asks zlib for; zlib accepts any 1.x caller.
static const char kZlibInterfaceVersion[] = "1.1.3";

void CloseWindow(WindowedFile& file) {
    platform::UnmapView(file.view);  // only read
    file.view = platform::View{};
}

bool OpenMappedFile(const char* path, MappedFile* mapped) {
    *mapped = MappedFile{};
    mapped->file = platform::OpenFileRead(path);
    if (!mapped->file.valid() || !platform::GetFileLength(mapped->file, &mapped->length)) {
        return false;
    }
    if (mapped->length != 0) {
        mapped->mapping = platform::CreateReadMapping(mapped->file);
    }
    return mapped->length == 0 || mapped->mapping.valid();
}

void CloseMappedFile(MappedFile& mapped) {
    if (mapped.mapping.valid()) {
        platform::CloseMapping(mapped.mapping);
    }
    if (mapped.file.valid()) {
        platform::CloseFile(mapped.file);
    }
    mapped = MappedFile{};
}

Walk FileWalk(WindowedFile& file, uint64_t offset, uint64_t length) {
    Walk walk = FileWalk(file.mapping, offset, length);
    walk.file = &file;
    return walk;
}

Walk FileWalk(platform::Mapping mapping, uint64_t offset, uint64_t length) {
    Walk walk;
    walk.mapping = mapping;
    walk.position = offset;
    walk.end = offset + length;
    return walk;
}

Walk MemoryWalk(void* memory, uint64_t length) {
    Walk walk;
    walk.memory = static_cast<uint8_t*>(memory);
    walk.end = length;
    return walk;
}

Walk ScratchWalk(void* scratch, uint32_t scratchLength, uint64_t length) {
    Walk walk = MemoryWalk(scratch, length);
    walk.scratchLength = scratchLength;
    return walk;
}

static bool ViewHolds(const WindowedFile& file, uint64_t position, uint32_t length) {
    return position >= file.viewStart && length <= file.viewLength &&
           position - file.viewStart <= file.viewLength - length;
}

// Makes the kept view one that holds [position, position + length): the view of the window
// that holds `position`, unless the kept one already does. False when the range does not lie
// within the file or the view cannot be mapped.
static bool KeepViewOf(WindowedFile& file, uint64_t position, uint32_t length) {
    if (file.view.valid() && ViewHolds(file, position, length)) {
        return true;
    }
    CloseWindow(file);
    file.viewStart = position - position % platform::ViewWindow();
    file.viewLength = platform::ViewLengthAt(file.viewStart, file.length);
    if (file.viewLength == 0 || !ViewHolds(file, position, length)) {
        return false;
    }
    file.view = platform::MapView(file.mapping, file.viewStart, file.viewLength);
    return file.view.valid();
}

bool FillPiece(Walk& walk) {
    if (walk.pieceLength != 0 || walk.position >= walk.end) {
        return true;
    }
    uint32_t length = platform::ViewLengthAt(walk.position, walk.end);
    if (walk.scratchLength != 0) {
        walk.piece = walk.memory;
        length = length < walk.scratchLength ? length : walk.scratchLength;
    } else if (walk.memory != nullptr) {
        walk.piece = walk.memory + walk.position;
    } else if (walk.file != nullptr) {
        if (!KeepViewOf(*walk.file, walk.position, length)) {
            return false;
        }
        walk.piece = walk.file->view.data + (walk.position - walk.file->viewStart);
    } else {
        walk.view = platform::MapView(walk.mapping, walk.position, length);
        if (!walk.view.valid()) {
            return false;
        }
        walk.piece = walk.view.data;
    }
    walk.pieceLength = length;
    walk.position += length;
    return true;
}

// Releases the view the walk holds of its own; false when bytes written through it could not
// reach the file.
static bool ReleaseView(Walk& walk) {
    const bool released = platform::UnmapView(walk.view);
    walk.view = platform::View{};
    return released;
}

// Moves past `used` bytes of the piece. A view of the walk's own is released as soon as its
// piece is used up, so that the bytes written through it reach the file within the copy or the
// inflate that wrote them, and a write that fails there fails that call.
bool UsePiece(Walk& walk, uint32_t used) {
    if (used != 0) {
        walk.piece += used;
        walk.pieceLength -= used;
    }
    return walk.pieceLength != 0 || ReleaseView(walk);
}

bool WalkDone(const Walk& walk) {
    return walk.pieceLength == 0 && walk.position >= walk.end;
}

void EndWalk(Walk& walk) {
    ReleaseView(walk);  // a walk ended early has failed already
    walk.piece = nullptr;
    walk.pieceLength = 0;
}

bool CopyWalk(Walk& from, Walk& to) {
    for (;;) {
        if (!FillPiece(from)) {
            return false;
        }
        if (from.pieceLength == 0) {
            return true;
        }
        if (!FillPiece(to) || to.pieceLength == 0) {
            return false;
        }
        const uint32_t length =
            from.pieceLength < to.pieceLength ? from.pieceLength : to.pieceLength;
        std::memcpy(to.piece, from.piece, length);
        const bool readOn = UsePiece(from, length);
        if (!UsePiece(to, length) || !readOn) {
            return false;
        }
    }
}

// Inflates one zlib stream from at most `limit` bytes of `from` into `to`; `*used` counts the
// stream's bytes.
static bool Inflate(Walk& from, uint64_t limit, Walk& to, uint64_t* used) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit_(&stream, kZlibInterfaceVersion, static_cast<int>(sizeof stream)) != Z_OK) {
        return false;
    }
    // zlib refuses a null output pointer even when nothing is to be written.
    uint8_t nothing = 0;
    // Each call either moves on (Z_OK), ends the stream, or cannot move at all (Z_BUF_ERROR:
    // input used up, or output full before the stream's end) or finds damage; the pieces of
    // both sides are finite, so the loop ends.
    int result = Z_OK;
    bool released = true;
    *used = 0;
    while (result == Z_OK && released) {
        if (!FillPiece(from) || !FillPiece(to)) {
            break;
        }
        const uint64_t left = limit - *used;
        stream.next_in = from.piece;
        stream.avail_in = left < from.pieceLength ? static_cast<uint32_t>(left) : from.pieceLength;
        const uint32_t offered = stream.avail_in;
        stream.next_out = to.piece != nullptr ? to.piece : &nothing;
        stream.avail_out = to.pieceLength;
        result = inflate(&stream, Z_NO_FLUSH);
        released = UsePiece(from, offered - stream.avail_in);
        released = UsePiece(to, to.pieceLength - stream.avail_out) && released;
        *used += offered - stream.avail_in;
    }
    inflateEnd(&stream);
    return released && result == Z_STREAM_END && WalkDone(to);
}

bool InflateWalk(Walk& from, Walk& to) {
    uint64_t used = 0;
    return Inflate(from, UINT64_MAX, to, &used);
}

bool InflateWalkPart(Walk& from, uint64_t storedLength, Walk& to) {
    uint64_t used = 0;
    return Inflate(from, storedLength, to, &used) && used == storedLength;
}

bool ReadWalk(Walk& from, void* out, uint32_t length) {
    uint8_t* bytes = static_cast<uint8_t*>(out);
    while (length != 0) {
        if (!FillPiece(from) || from.pieceLength == 0) {
            return false;
        }
        const uint32_t taken = length < from.pieceLength ? length : from.pieceLength;
        std::memcpy(bytes, from.piece, taken);
        if (!UsePiece(from, taken)) {
            return false;
        }
        bytes += taken;
        length -= taken;
    }
    return true;
}

bool ReadFileBytes(WindowedFile& file, uint64_t offset, uint32_t length, void* out) {
    if (offset > file.length || length > file.length - offset) {
        return false;
    }
    Walk from = FileWalk(file, offset, length);
    Walk to = MemoryWalk(out, length);
    const bool copied = CopyWalk(from, to);
    EndWalk(from);
    return copied;
}
