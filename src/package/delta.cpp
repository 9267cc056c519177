#include "package/delta.h"

#include <cstring>
#include <memory>
#include <new>

#include "package/file_hash.h"

namespace {

// The old file is read through this many views of at most this size, the one used longest ago
// replaced first: copies that alternate between a few regions of the old file (moved members
// of an archive) keep their views, and the pages held at any time stay few. Views are small
// because a rebuilt program copies from all over its old file: each view that is replaced is
// read (or mapped) again, and a small one costs little to read again.
constexpr uint32_t kOldViewSize = 128u << 10;
constexpr int kOldViewCount = 32;
static_assert(platform::kViewWindow % kOldViewSize == 0);

// Where the header's fields lie.
constexpr size_t kVersionAt = 8;
constexpr size_t kBlockSizeAt = 12;
constexpr size_t kOldSizeAt = 16;
constexpr size_t kOldHashAt = 24;
constexpr size_t kNewSizeAt = 32;
constexpr size_t kNewHashAt = 40;
constexpr size_t kCheckAt = 48;

void Put32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void Put64(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t Get32(const uint8_t* bytes) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

uint64_t Get64(const uint8_t* bytes) {
    return Get32(bytes) | static_cast<uint64_t>(Get32(bytes + 4)) << 32;
}

uint32_t HeaderCheck(const uint8_t* bytes) {
    return static_cast<uint32_t>(HashBytes(bytes, kCheckAt));
}

}  // namespace

// --- the old file through a few views ------------------------------------------------------------

struct DeltaOldView {
    platform::View view{};
    uint64_t start = 0;
    uint32_t length = 0;
    uint64_t lastUse = 0;
};

struct DeltaOldFile {
    platform::Mapping mapping{};
    uint64_t length = 0;
    DeltaOldView views[kOldViewCount]{};
    uint64_t clock = 0;
};

namespace {

using OldView = DeltaOldView;
using OldFile = DeltaOldFile;

void CloseOldFile(OldFile& file) {
    for (OldView& slot : file.views) {
        platform::UnmapView(slot.view);
        slot = OldView{};
    }
}

// The old file's bytes from `offset` to the end of the view that holds it: a pointer and
// `*available` bytes. Null when offset is not within the file or the view cannot be mapped.
const uint8_t* OldBytes(OldFile& file, uint64_t offset, uint32_t* available) {
    if (offset >= file.length) {
        return nullptr;
    }
    OldView* chosen = &file.views[0];
    for (OldView& slot : file.views) {
        if (slot.view.valid() && offset >= slot.start && offset - slot.start < slot.length) {
            chosen = &slot;
            break;
        }
        if (!slot.view.valid() || slot.lastUse < chosen->lastUse) {
            chosen = &slot;
        }
    }
    if (!chosen->view.valid() || offset < chosen->start ||
        offset - chosen->start >= chosen->length) {
        platform::UnmapView(chosen->view);
        *chosen = OldView{};
        const uint32_t window = platform::ViewWindow();
        const uint32_t size = window < kOldViewSize ? window : kOldViewSize;
        const uint64_t start = offset - offset % size;
        const uint64_t left = file.length - start;
        const uint32_t length = left < size ? static_cast<uint32_t>(left) : size;
        chosen->view = platform::MapView(file.mapping, start, length);
        if (!chosen->view.valid()) {
            return nullptr;
        }
        chosen->start = start;
        chosen->length = length;
    }
    chosen->lastUse = ++file.clock;
    const uint64_t within = offset - chosen->start;
    *available = chosen->length - static_cast<uint32_t>(within);
    return chosen->view.data + within;
}

// --- instructions --------------------------------------------------------------------------------

struct Cursor {
    const uint8_t* at;
    const uint8_t* end;
};

// A little-endian base-128 number of at most 64 bits; false when it runs past the end or over
// 64 bits.
bool ReadVarint(Cursor& cursor, uint64_t* value) {
    if (cursor.at != cursor.end && *cursor.at < 0x80) {
        *value = *cursor.at++;  // most lengths and offsets: one byte
        return true;
    }
    *value = 0;
    for (uint32_t i = 0; i < kDeltaMaxVarintBytes; ++i) {
        if (cursor.at == cursor.end) {
            return false;
        }
        const uint8_t byte = *cursor.at++;
        if (i == kDeltaMaxVarintBytes - 1 && byte > 1) {
            return false;
        }
        *value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

// The old position of a copy or add: `cursor` moved by the zigzag-coded `code`, which must
// stay within [0, size].
bool MoveOldCursor(uint64_t cursor, uint64_t code, uint64_t size, uint64_t* position) {
    const bool backwards = (code & 1) != 0;
    const uint64_t distance = (code >> 1) + (code & 1);
    if (backwards) {
        if (distance > cursor) {
            return false;
        }
        *position = cursor - distance;
        return true;
    }
    if (cursor > size || distance > size - cursor) {
        return false;
    }
    *position = cursor + distance;
    return true;
}

// What applying holds: the old file's views, one block of output, the block's added and
// literal bytes, its instructions and added runs, and the hash of what was written so far.
}  // namespace

struct DeltaDecoder {
    OldFile old;
    std::unique_ptr<uint8_t[]> output;
    std::unique_ptr<uint8_t[]> added;
    std::unique_ptr<uint8_t[]> addBytes;
    std::unique_ptr<uint8_t[]> literals;
    // Grown as blocks need them, up to kDeltaMaxInstructionBytes.
    std::unique_ptr<uint8_t[]> instructions;
    std::unique_ptr<uint8_t[]> zeroRuns;
    std::unique_ptr<uint8_t[]> byteRuns;
    uint32_t instructionRoom = 0;
    uint32_t zeroRunRoom = 0;
    uint32_t byteRunRoom = 0;
    uint64_t oldCursor = 0;
    FileHash newHash;
    // Checking a delta's structure alone: no old file is read and nothing is written.
    bool structureOnly = false;
};

namespace {

using Decoder = DeltaDecoder;

// Copies old bytes, or adds `added` to them byte by byte, into `to`.
bool TakeOld(OldFile& old, uint64_t position, uint32_t length, const uint8_t* added, uint8_t* to) {
    while (length != 0) {
        uint32_t available = 0;
        const uint8_t* from = OldBytes(old, position, &available);
        if (from == nullptr) {
            return false;
        }
        const uint32_t taken = length < available ? length : available;
        if (added == nullptr) {
            std::memcpy(to, from, taken);
        } else {
            for (uint32_t i = 0; i < taken; ++i) {
                to[i] = static_cast<uint8_t>(from[i] + added[i]);
            }
            added += taken;
        }
        position += taken;
        to += taken;
        length -= taken;
    }
    return true;
}

// The bytes that a block's additions add, from the lengths of their runs of zeros and of
// non-zero bytes and those bytes, into `added` (room for `room` bytes); false unless both
// streams of lengths end together, every byte is used and all fit.
bool ExpandAdded(Cursor zeroRuns, Cursor byteRuns, const uint8_t* bytes, uint32_t byteCount,
                 uint8_t* added, uint32_t room, uint32_t* addedLength) {
    // Zeroed once: the runs of a rebuilt program are a few bytes long each, and millions.
    std::memset(added, 0, room);
    uint32_t length = 0;
    uint32_t used = 0;
    while (zeroRuns.at != zeroRuns.end || byteRuns.at != byteRuns.end) {
        uint64_t zeros = 0;
        uint64_t nonZero = 0;
        if (!ReadVarint(zeroRuns, &zeros) || !ReadVarint(byteRuns, &nonZero) ||
            zeros > room - length || nonZero > room - length - zeros ||
            nonZero > byteCount - used) {
            return false;
        }
        length += static_cast<uint32_t>(zeros);
        for (uint64_t i = 0; i < nonZero; ++i) {
            added[length + i] = bytes[used + i];
        }
        length += static_cast<uint32_t>(nonZero);
        used += static_cast<uint32_t>(nonZero);
    }
    *addedLength = length;
    return used == byteCount;
}

// Runs a block's instructions into `output`, the block's bytes: they must fill it exactly and
// use every added and literal byte.
bool RunInstructions(Decoder& decoder, Cursor instructions, uint8_t* output, uint32_t blockLength,
                     uint32_t addedLength, uint32_t literalLength) {
    uint32_t written = 0;
    uint32_t addedUsed = 0;
    uint32_t literalsUsed = 0;
    while (instructions.at != instructions.end) {
        uint64_t head = 0;
        if (!ReadVarint(instructions, &head) || (head >> 2) >= blockLength - written) {
            return false;
        }
        const uint32_t length = static_cast<uint32_t>(head >> 2) + 1;
        uint8_t* to = output + written;
        const DeltaOp op = static_cast<DeltaOp>(head & 3);
        if (op == DeltaOp::Literal) {
            if (length > literalLength - literalsUsed) {
                return false;
            }
            std::memcpy(to, decoder.literals.get() + literalsUsed, length);
            literalsUsed += length;
        } else if (op == DeltaOp::Copy || op == DeltaOp::Add) {
            uint64_t code = 0;
            uint64_t position = 0;
            const uint64_t oldSize = decoder.old.length;
            if (!ReadVarint(instructions, &code) ||
                !MoveOldCursor(decoder.oldCursor, code, oldSize, &position) ||
                length > oldSize - position) {
                return false;
            }
            const uint8_t* add = nullptr;
            if (op == DeltaOp::Add) {
                if (length > addedLength - addedUsed) {
                    return false;
                }
                add = decoder.added.get() + addedUsed;
                addedUsed += length;
            }
            if (!decoder.structureOnly && !TakeOld(decoder.old, position, length, add, to)) {
                return false;
            }
            decoder.oldCursor = position + length;
        } else {
            return false;
        }
        written += length;
    }
    return written == blockLength && addedUsed == addedLength && literalsUsed == literalLength;
}

// Reads a varint of at most 32 bits from the delta.
bool ReadWalkVarint(Walk& delta, uint32_t* value) {
    uint64_t result = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        uint8_t byte = 0;
        if (!ReadWalk(delta, &byte, 1)) {
            return false;
        }
        result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) {
            *value = static_cast<uint32_t>(result);
            return result <= UINT32_MAX;
        }
    }
    return false;
}

// Brings one of a block's streams into `into`: nothing when both lengths are 0, the bytes
// themselves when they are equal, else a zlib stream of exactly `stored` bytes that gives
// exactly `length`.
bool ReadStream(Walk& delta, uint32_t length, uint32_t stored, uint8_t* into) {
    if (length == 0 || stored == 0) {
        return length == 0 && stored == 0;
    }
    if (stored == length) {
        return ReadWalk(delta, into, length);
    }
    Walk to = MemoryWalk(into, length);
    return InflateWalkPart(delta, stored, to);
}

// Makes `buffer` hold at least `length` bytes, growing it at least twofold each time.
bool Reserve(std::unique_ptr<uint8_t[]>& buffer, uint32_t& room, uint32_t length) {
    if (length <= room) {
        return true;
    }
    const uint32_t grown =
        room > kDeltaMaxInstructionBytes / 2 ? kDeltaMaxInstructionBytes : room * 2;
    room = length > grown ? length : grown;
    buffer.reset(new (std::nothrow) uint8_t[room]);
    if (!buffer) {
        room = 0;
    }
    return room != 0;
}

bool DecodeBlock(Walk& delta, Decoder& decoder, uint32_t blockLength, Walk& out) {
    uint32_t lengths[kDeltaStreamCount];
    uint32_t stored[kDeltaStreamCount];
    for (int i = 0; i < kDeltaStreamCount; ++i) {
        if (!ReadWalkVarint(delta, &lengths[i]) || !ReadWalkVarint(delta, &stored[i])) {
            return false;
        }
    }
    const uint32_t limits[kDeltaStreamCount] = {
        kDeltaMaxInstructionBytes, kDeltaMaxInstructionBytes, kDeltaMaxInstructionBytes,
        blockLength, blockLength};
    for (int i = 0; i < kDeltaStreamCount; ++i) {
        if (lengths[i] > limits[i]) {
            return false;
        }
    }
    if (!Reserve(decoder.instructions, decoder.instructionRoom, lengths[kDeltaInstructions]) ||
        !Reserve(decoder.zeroRuns, decoder.zeroRunRoom, lengths[kDeltaZeroRuns]) ||
        !Reserve(decoder.byteRuns, decoder.byteRunRoom, lengths[kDeltaByteRuns])) {
        return false;
    }
    uint8_t* const buffers[kDeltaStreamCount] = {decoder.instructions.get(), decoder.zeroRuns.get(),
                                                 decoder.byteRuns.get(), decoder.addBytes.get(),
                                                 decoder.literals.get()};
    for (int i = 0; i < kDeltaStreamCount; ++i) {
        if (!ReadStream(delta, lengths[i], stored[i], buffers[i])) {
            return false;
        }
    }
    const uint8_t* zeros = decoder.zeroRuns.get();
    const uint8_t* runs = decoder.byteRuns.get();
    uint32_t addedLength = 0;
    if (!ExpandAdded(Cursor{zeros, zeros + lengths[kDeltaZeroRuns]},
                     Cursor{runs, runs + lengths[kDeltaByteRuns]}, decoder.addBytes.get(),
                     lengths[kDeltaAddBytes], decoder.added.get(), blockLength, &addedLength)) {
        return false;
    }
    // The block is made in place in the new file's piece when that holds all of it, as it does
    // unless the block straddles two views; else in the decoder's buffer, then copied.
    if (!FillPiece(out)) {
        return false;
    }
    const bool inPlace = out.pieceLength >= blockLength;
    uint8_t* const output = inPlace ? out.piece : decoder.output.get();
    const uint8_t* instructions = decoder.instructions.get();
    if (!RunInstructions(decoder, Cursor{instructions, instructions + lengths[kDeltaInstructions]},
                         output, blockLength, addedLength, lengths[kDeltaLiterals])) {
        return false;
    }
    if (decoder.structureOnly) {
        return true;
    }
    AddToHash(decoder.newHash, output, blockLength);
    if (inPlace) {
        return UsePiece(out, blockLength);
    }
    Walk from = MemoryWalk(output, blockLength);
    return CopyWalk(from, out);
}

bool Allocate(Decoder& decoder, const DeltaHeader& header) {
    const uint64_t largest = header.newSize < header.blockSize ? header.newSize : header.blockSize;
    for (auto* buffer : {&decoder.output, &decoder.added, &decoder.addBytes, &decoder.literals}) {
        buffer->reset(new (std::nothrow) uint8_t[largest]);
    }
    return decoder.output && decoder.added && decoder.addBytes && decoder.literals;
}

// The length of the block that starts at `done`.
uint32_t BlockLengthAt(const DeltaHeader& header, uint64_t done) {
    const uint64_t left = header.newSize - done;
    return left < header.blockSize ? static_cast<uint32_t>(left) : header.blockSize;
}

}  // namespace

void EncodeDeltaHeader(const DeltaHeader& header, uint8_t out[kDeltaHeaderSize]) {
    std::memcpy(out, kDeltaMagic, sizeof kDeltaMagic);
    Put32(out + kVersionAt, kDeltaVersion);
    Put32(out + kBlockSizeAt, header.blockSize);
    Put64(out + kOldSizeAt, header.oldSize);
    Put64(out + kOldHashAt, header.oldHash);
    Put64(out + kNewSizeAt, header.newSize);
    Put64(out + kNewHashAt, header.newHash);
    Put32(out + kCheckAt, HeaderCheck(out));
}

bool DecodeDeltaHeader(const uint8_t bytes[kDeltaHeaderSize], DeltaHeader* header) {
    if (std::memcmp(bytes, kDeltaMagic, sizeof kDeltaMagic) != 0 ||
        Get32(bytes + kVersionAt) != kDeltaVersion ||
        Get32(bytes + kCheckAt) != HeaderCheck(bytes)) {
        return false;
    }
    header->blockSize = Get32(bytes + kBlockSizeAt);
    header->oldSize = Get64(bytes + kOldSizeAt);
    header->oldHash = Get64(bytes + kOldHashAt);
    header->newSize = Get64(bytes + kNewSizeAt);
    header->newHash = Get64(bytes + kNewHashAt);
    return header->blockSize >= kDeltaMinBlockSize && header->blockSize <= kDeltaMaxBlockSize;
}

bool ReadDeltaHeader(Walk& delta, DeltaHeader* header) {
    uint8_t bytes[kDeltaHeaderSize];
    return ReadWalk(delta, bytes, sizeof bytes) && DecodeDeltaHeader(bytes, header);
}

namespace {

// The decoder's memory, for an old file of `oldLength` bytes read through `oldFile`.
bool NewDecoder(DeltaApply& apply, const DeltaHeader& header, platform::Mapping oldFile,
                uint64_t oldLength) {
    apply = DeltaApply{};
    apply.header = header;
    if (header.blockSize < kDeltaMinBlockSize || header.blockSize > kDeltaMaxBlockSize) {
        return false;
    }
    apply.decoder = new (std::nothrow) DeltaDecoder;
    if (apply.decoder == nullptr) {
        return false;
    }
    apply.decoder->old.mapping = oldFile;
    apply.decoder->old.length = oldLength;
    StartHash(apply.decoder->newHash);
    apply.length = BlockLengthAt(header, 0);
    return Allocate(*apply.decoder, header);
}

// Hashes the old file front to back through its views. When they are the decoder's, the last
// of them (all of a small file) are still held when decoding starts and are not read again.
bool OldFileHasHash(OldFile& old, uint64_t hash) {
    FileHash state;
    StartHash(state);
    for (uint64_t position = 0; position < old.length;) {
        uint32_t available = 0;
        const uint8_t* bytes = OldBytes(old, position, &available);
        if (bytes == nullptr) {
            return false;
        }
        AddToHash(state, bytes, available);
        position += available;
    }
    return FinishHash(state) == hash;
}

}  // namespace

bool FileHasSizeAndHash(platform::Mapping file, uint64_t length, uint64_t size, uint64_t hash) {
    if (length != size) {
        return false;
    }
    OldFile old;
    old.mapping = file;
    old.length = length;
    const bool same = OldFileHasHash(old, hash);
    CloseOldFile(old);
    return same;
}

bool StartDelta(DeltaApply& apply, const DeltaHeader& header, platform::Mapping oldFile,
                uint64_t oldLength) {
    apply = DeltaApply{};
    return oldLength == header.oldSize && NewDecoder(apply, header, oldFile, oldLength) &&
           OldFileHasHash(apply.decoder->old, header.oldHash);
}

bool ApplyDeltaBlock(DeltaApply& apply, Walk& delta, Walk& out) {
    if (apply.decoder == nullptr || apply.length == 0 ||
        !DecodeBlock(delta, *apply.decoder, apply.length, out)) {
        return false;
    }
    apply.done += apply.length;
    apply.length = BlockLengthAt(apply.header, apply.done);
    return true;
}

bool FinishDelta(DeltaApply& apply, Walk& delta) {
    return apply.decoder != nullptr && apply.done == apply.header.newSize && WalkDone(delta) &&
           FinishHash(apply.decoder->newHash) == apply.header.newHash;
}

void EndDelta(DeltaApply& apply) {
    if (apply.decoder != nullptr) {
        CloseOldFile(apply.decoder->old);
        delete apply.decoder;
        apply.decoder = nullptr;
    }
}

bool CheckDeltaStructure(Walk& delta, const DeltaHeader& header) {
    DeltaApply apply;
    bool checked = NewDecoder(apply, header, platform::Mapping{}, header.oldSize);
    Walk nowhere = MemoryWalk(nullptr, 0);
    if (checked) {
        apply.decoder->structureOnly = true;
    }
    while (checked && apply.length != 0) {
        checked = ApplyDeltaBlock(apply, delta, nowhere);
    }
    checked = checked && apply.done == header.newSize && WalkDone(delta);
    EndDelta(apply);
    return checked;
}

bool ApplyDelta(Walk& delta, const DeltaHeader& header, platform::Mapping oldFile,
                uint64_t oldLength, Walk& out) {
    DeltaApply apply;
    bool applied = StartDelta(apply, header, oldFile, oldLength);
    while (applied && apply.length != 0) {
        applied = ApplyDeltaBlock(apply, delta, out);
    }
    applied = applied && WalkDone(out) && FinishDelta(apply, delta);
    EndDelta(apply);
    return applied;
}
