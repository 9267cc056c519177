// libFuzzer target: the delta decoder on any bytes. The input is a byte of flags, a 16-bit
// little-endian length, that many bytes of an old file (fewer when the input is shorter), and
// the delta. With flag 1 the delta's header is made to name the old file (its size, hash and
// the header's check are written over), so that mutated blocks get past those checks. The delta is
// applied to the old file, read through its mapping, into memory of exactly its new size with
// a guard after it, once whole and once block by block through views of 64 bytes. Nothing may
// be read or written out of bounds, whatever the bytes say.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "package/delta.h"
#include "package/file_hash.h"
#include "package_builder.h"
#include "platform/posix/files.h"

namespace {

// New files larger than this are not made: the fuzzer's memory is limited, not the decoder's.
constexpr uint64_t kLargestNew = 4u << 20;
constexpr uint8_t kGuard = 0xA5;

// The old file each input is written to, removed when the fuzzer ends.
const struct ScratchFile {
    std::string path = "/tmp/qlm_delta_fuzz." + std::to_string(getpid());
    ~ScratchFile() { unlink(path.c_str()); }
} kScratch;

// Applies the delta into memory with a guard after it: whole, or block by block.
void Apply(const uint8_t* delta, size_t size, platform::Mapping old, uint64_t oldLength,
           bool byBlocks) {
    Walk in = MemoryWalk(const_cast<uint8_t*>(delta), size);
    DeltaHeader header;
    if (!ReadDeltaHeader(in, &header) || header.newSize > kLargestNew) {
        return;
    }
    std::vector<uint8_t> out(header.newSize + 1, kGuard);
    if (byBlocks) {
        DeltaApply apply;
        bool applied = StartDelta(apply, header, old, oldLength);
        while (applied && apply.length != 0) {
            Walk to = MemoryWalk(out.data() + apply.done, apply.length);
            applied = ApplyDeltaBlock(apply, in, to);
        }
        if (applied) {
            FinishDelta(apply, in);
        }
        EndDelta(apply);
    } else {
        Walk to = MemoryWalk(out.data(), header.newSize);
        ApplyDelta(in, header, old, oldLength, to);
    }
    if (out.back() != kGuard) {
        abort();
    }
}

}  // namespace

// Writes the old file's size and hash into the header, and the header's check.
void NameTheOldFile(std::vector<uint8_t>& delta, const uint8_t* old, size_t oldLength) {
    if (delta.size() < kDeltaHeaderSize) {
        return;
    }
    const uint64_t hash = HashBytes(old, oldLength);
    for (int i = 0; i < 8; ++i) {
        delta[16 + i] = static_cast<uint8_t>(static_cast<uint64_t>(oldLength) >> (8 * i));
        delta[24 + i] = static_cast<uint8_t>(hash >> (8 * i));
    }
    const uint32_t check = static_cast<uint32_t>(HashBytes(delta.data(), 48));
    for (int i = 0; i < 4; ++i) {
        delta[48 + i] = static_cast<uint8_t>(check >> (8 * i));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    size_t oldLength = data[1] | static_cast<size_t>(data[2]) << 8;
    oldLength = oldLength < size - 3 ? oldLength : size - 3;
    const uint8_t* oldBytes = data + 3;
    std::vector<uint8_t> bytes(oldBytes + oldLength, data + size);
    if ((data[0] & 1) != 0) {
        NameTheOldFile(bytes, oldBytes, oldLength);
    }
    const uint8_t* delta = bytes.data();
    const size_t deltaSize = bytes.size();
    if (!pkgbuild::WriteFile(kScratch.path, oldBytes, oldLength)) {
        abort();
    }
    const platform::File file = platform::OpenFileRead(kScratch.path.c_str());
    const platform::Mapping old =
        oldLength == 0 ? platform::Mapping{} : platform::CreateReadMapping(file);
    Apply(delta, deltaSize, old, oldLength, false);
    platform::posix::SetViewWindowForTesting(64);
    Apply(delta, deltaSize, old, oldLength, true);
    platform::posix::SetViewWindowForTesting(0);
    if (old.valid()) {
        platform::CloseMapping(old);
    }
    platform::CloseFile(file);
    return 0;
}
