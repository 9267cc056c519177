// Delta data: rebuilds a new file from the old one it replaces. The format is described byte
// by byte in docs/delta.md; this is its one declaration, shared by the installer, pkgtool's
// encoder and the tests.
//
// A delta is a header (the old and new files' sizes and hashes, the block size) followed by
// one block per `blockSize` bytes of the new file. Each block holds five streams, each
// compressed with zlib on its own or stored: the instructions, the lengths of the runs of zero
// and of non-zero bytes added to old data, those non-zero bytes, and the literal new bytes.
// Instructions copy a range of the old file, add bytes to a range of it, or take literal bytes.
//
// Applying reads the delta once from start to end through a walk, reads the old file through
// a few small views of its mapping, and writes the new file through a walk, block by block:
// memory is bounded by a few blocks whatever the files' sizes. Every offset and length is
// checked before it is used; nothing is read or written outside the old file, the new file or
// the delta. The old file's hash is checked before the first byte is written, the new file's
// hash when the last one is.
#pragma once

#include <cstdint>

#include "package/window.h"
#include "platform/platform.h"

// "QLMDELTA"
constexpr uint8_t kDeltaMagic[8] = {'Q', 'L', 'M', 'D', 'E', 'L', 'T', 'A'};
constexpr uint32_t kDeltaVersion = 1;
constexpr uint32_t kDeltaHeaderSize = 52;

// New bytes per block: the decoder holds one block of output and one of added and literal
// bytes, so this bounds its memory.
constexpr uint32_t kDeltaMinBlockSize = 1024;
constexpr uint32_t kDeltaMaxBlockSize = 4u << 20;
constexpr uint32_t kDeltaDefaultBlockSize = 1u << 20;
// A block's instruction stream, and each of its streams of run lengths, never hold more than
// this.
constexpr uint32_t kDeltaMaxInstructionBytes = 1u << 20;

// A block's streams, in their order; its header gives each one's length as it is used and as
// it is stored (varints): 0 and 0 for an empty stream, the same twice for bytes stored as
// they are, else a zlib stream.
enum DeltaStream {
    kDeltaInstructions,
    kDeltaZeroRuns,
    kDeltaByteRuns,
    kDeltaAddBytes,
    kDeltaLiterals
};
constexpr int kDeltaStreamCount = 5;

// An instruction starts with a varint: (length - 1) << 2 | kind. Copy and add follow it with
// a zigzag varint: the old position relative to the end of the previous copy or add. The
// bytes that additions add, block by block, are runs: as many zero bytes as the next varint
// of the zero-runs stream says, then as many bytes of the add-bytes stream as the next varint
// of the byte-runs stream says, and so on.
enum class DeltaOp : uint8_t { Copy = 0, Add = 1, Literal = 2 };
constexpr uint32_t kDeltaMaxVarintBytes = 10;

struct DeltaHeader {
    uint64_t oldSize = 0;
    uint64_t oldHash = 0;
    uint64_t newSize = 0;
    uint64_t newHash = 0;
    uint32_t blockSize = kDeltaDefaultBlockSize;
};

// The header's bytes, with its check; and back. Parsing refuses another magic or version, a
// block size out of range or a wrong check.
void EncodeDeltaHeader(const DeltaHeader& header, uint8_t out[kDeltaHeaderSize]);
bool DecodeDeltaHeader(const uint8_t bytes[kDeltaHeaderSize], DeltaHeader* header);

// Reads and checks the header at the walk's position, leaving the walk after it.
bool ReadDeltaHeader(Walk& delta, DeltaHeader* header);

// True when the file, a read mapping of `length` bytes (invalid when length is 0), is `size`
// bytes long and hashes to `hash`. Reads it through the small views that applying uses.
bool FileHasSizeAndHash(platform::Mapping file, uint64_t length, uint64_t size, uint64_t hash);

// Applies the delta whose header was read from `delta` (the walk is after it, and must end
// exactly where the delta does) to the old file, a read mapping of `oldLength` bytes (invalid
// when oldLength is 0), writing exactly header.newSize bytes into `out`. The old file's size
// and hash are checked before anything is written. False on any mismatch, damage or failure
// to map; then `out` holds nothing usable, and nothing was written past its end.
bool ApplyDelta(Walk& delta, const DeltaHeader& header, platform::Mapping oldFile,
                uint64_t oldLength, Walk& out);

// The same block by block, for a caller that writes each block through a walk of its own
// (or shows progress): StartDelta checks the old file and takes the memory; each
// ApplyDeltaBlock writes the next block, [done, done + length) of the new file, into `out`;
// FinishDelta, once `done` has reached the new size, checks that the delta ended and the new
// file's hash. EndDelta releases what StartDelta took, in every case.
struct DeltaDecoder;
struct DeltaApply {
    DeltaHeader header;
    uint64_t done = 0;    // new bytes written so far
    uint32_t length = 0;  // the next block's
    DeltaDecoder* decoder = nullptr;
};
bool StartDelta(DeltaApply& apply, const DeltaHeader& header, platform::Mapping oldFile,
                uint64_t oldLength);
bool ApplyDeltaBlock(DeltaApply& apply, Walk& delta, Walk& out);
bool FinishDelta(DeltaApply& apply, Walk& delta);
void EndDelta(DeltaApply& apply);

// Walks the whole delta whose header was read from `delta` as applying would, without the old
// file: every block's streams, runs and instructions are checked against the block and the
// header's old size, and the delta must end after its last block. Only the two hashes stay
// unchecked. For a publisher's tool, which may not have the old file at hand.
bool CheckDeltaStructure(Walk& delta, const DeltaHeader& header);
