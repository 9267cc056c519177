// Files, mappings with their views of one window, and names of the posix backend. POSIX has no
// share modes; the one place that relies on them (an output naming one of its inputs) asks
// IsSameFile.
#include "platform/posix/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/faults.h"
#include "platform/posix/path.h"
#include "text/codepage.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

// Offsets of files of several GiB pass through off_t.
static_assert(sizeof(off_t) == 8, "off_t must hold 64-bit offsets");

namespace platform {
namespace {

// Views are buffers: the bytes asked for, read with pread, or written with pwrite when the view
// is released. Mapping a file's pages costs more than copying its bytes (a fault or a populate
// call for each new view, a TLB flush when it goes), and small files pay that on every file. A
// window this small keeps each buffer within the processor's caches and bounds what a view reads
// that is never used; files of several GiB still pass through one window at a time.
constexpr uint32_t kBufferWindow = 1u << 20;
static_assert(kBufferWindow <= kViewWindow);

// What a Mapping handle points to. A read mapping holds a duplicate of the descriptor, so that
// it stays usable after its file is closed, as a Windows mapping does; a written one uses the
// file's own, saving two system calls a file, so the file stays open until it is closed.
struct MappingRecord {
    int fd = -1;
    uint64_t length = 0;
    bool writable = false;
};

// The buffer of one view, and the part of the file it holds.
struct ViewBuffer {
    uint8_t* bytes = nullptr;
    uint32_t capacity = 0;
    int fd = -1;
    uint64_t offset = 0;
    uint32_t length = 0;
    bool written = false;
};

std::atomic<uint32_t> testViewWindow{0};

// Buffers of released views, kept for the next ones: a run of small files allocates nothing
// per file, and the pages of the buffers are touched once. A few are in use at once at most
// (the package's view, a written file's, the binder's input).
constexpr size_t kSpareBuffers = 4;
std::atomic<ViewBuffer*> spareBuffers[kSpareBuffers];

MappingRecord* RecordOf(Mapping mapping) {
    return reinterpret_cast<MappingRecord*>(mapping.value);
}

int DescriptorOf(File file) {
    return static_cast<int>(file.value);
}

Mapping MakeMapping(int fd, uint64_t length, bool writable) {
    auto* record = new (std::nothrow) MappingRecord{fd, length, writable};
    if (record == nullptr) {
        return {};
    }
    return Mapping{reinterpret_cast<intptr_t>(record)};
}

// Reserves the file's blocks so that the views' writes never meet a full disk.
// File systems that cannot reserve (posix_fallocate says so) fall back to setting the length.
bool ReserveSpace(int fd, off_t size) {
    if (posix::FailsByTest(posix::FallibleCall::Reserve)) {
        return false;
    }
    const int result = posix_fallocate(fd, 0, size);
    if (result == 0) {
        return true;
    }
    if (result == EOPNOTSUPP || result == EINVAL) {
        return ftruncate(fd, size) == 0;
    }
    return false;
}

void FreeBuffer(ViewBuffer* buffer) {
    if (buffer != nullptr) {
        delete[] buffer->bytes;
        delete buffer;
    }
}

// A spare buffer with room for `length` bytes, or a new one of a whole window; null when
// memory runs out.
ViewBuffer* TakeBuffer(uint32_t length) {
    for (auto& spare : spareBuffers) {
        ViewBuffer* buffer = spare.exchange(nullptr);
        if (buffer != nullptr && buffer->capacity >= length) {
            return buffer;
        }
        FreeBuffer(buffer);  // from a larger test window than the one in force
    }
    auto* buffer = new (std::nothrow) ViewBuffer;
    const uint32_t capacity = std::max(length, ViewWindow());
    if (buffer == nullptr || (buffer->bytes = new (std::nothrow) uint8_t[capacity]) == nullptr) {
        FreeBuffer(buffer);
        return nullptr;
    }
    buffer->capacity = capacity;
    return buffer;
}

void KeepBuffer(ViewBuffer* buffer) {
    for (auto& spare : spareBuffers) {
        ViewBuffer* empty = nullptr;
        if (spare.compare_exchange_strong(empty, buffer)) {
            return;
        }
    }
    FreeBuffer(buffer);
}

// Moves all `length` bytes between the buffer and the file at `offset` with `call` (pread or
// pwrite); false at the first call that fails or moves nothing (the end of a file that has
// shrunk, a full disk, a file-size limit).
template <typename Call>
bool TransferAt(Call call, int fd, uint8_t* bytes, size_t length, uint64_t offset) {
    while (length > 0) {
        const ssize_t moved = call(fd, bytes, length, static_cast<off_t>(offset));
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            return false;
        }
        bytes += moved;
        length -= static_cast<size_t>(moved);
        offset += static_cast<uint64_t>(moved);
    }
    return true;
}

bool RenameNoReplace(const char* from, const char* to) {
#ifdef SYS_renameat2
    if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    // File systems without RENAME_NOREPLACE: a hard link refuses an existing destination
    // atomically; folders cannot be linked, so they are checked, then renamed.
    if (link(from, to) == 0) {
        return unlink(from) == 0;
    }
    if (errno == EEXIST) {
        return false;
    }
    struct stat info;
    if (lstat(to, &info) == 0) {
        return false;
    }
    return rename(from, to) == 0;
}

// Makes `call` (a system call on a path: -1 and errno on failure) on the path as it exists,
// whatever the case of its names. Where the path's folder is indexed, the index tells at no
// cost which name that is, or that there is none, and then the call is not made at all.
// Elsewhere the call is made on the path as written, and only when that names nothing is the
// path looked up ignoring case, and the call made again when the lookup finds another name:
// the failed call has already told that the exact name does not exist, so the common case
// costs no lookup at all.
template <typename Call>
int CallOnExistingPath(const char* path, Call call) {
    std::string found;
    bool exists = false;
    std::string last;
    if (posix::LookUpInIndex(path == nullptr ? "" : path, &found, &exists)) {
        if (!exists) {
            errno = ENOENT;
            return -1;
        }
        last = found;
        return call(last.c_str());
    }
    last = posix::SpellPath(path == nullptr ? "" : path);
    const int result = call(last.c_str());
    if (result != -1 || (errno != ENOENT && errno != ENOTDIR)) {
        return result;
    }
    found = posix::ConvertPath(path);
    if (found == last) {
        return -1;
    }
    last = found;
    return call(last.c_str());
}

// Passes a move's or a folder removal's success on, after telling the lookups.
bool Moved(bool succeeded) {
    if (succeeded) {
        posix::NotePathsMayHaveMoved();
    }
    return succeeded;
}

}  // namespace

File OpenFileRead(const char* path) {
    if (posix::FailsByTest(posix::FallibleCall::Open)) {
        return {};
    }
    return File{CallOnExistingPath(
        path, [](const char* native) { return open(native, O_RDONLY | O_CLOEXEC); })};
}

File CreateFileReadWrite(const char* path) {
    if (posix::FailsByTest(posix::FallibleCall::Create)) {
        return {};
    }
    const std::string native = posix::ConvertPath(path);
    return File{open(native.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
}

bool GetFileLength(File file, uint64_t* length) {
    struct stat info;
    if (!file.valid() || fstat(DescriptorOf(file), &info) != 0) {
        return false;
    }
    *length = static_cast<uint64_t>(info.st_size);
    return true;
}

bool IsSameFile(File file, const char* path) {
    struct stat named;
    struct stat opened;
    if (!file.valid() ||
        CallOnExistingPath(path, [&named](const char* native) { return stat(native, &named); }) !=
            0 ||
        fstat(DescriptorOf(file), &opened) != 0) {
        return false;
    }
    return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

uint32_t ViewWindow() {
    const uint32_t window = testViewWindow.load(std::memory_order_relaxed);
    return window != 0 ? window : kBufferWindow;
}

void posix::SetViewWindowForTesting(uint32_t bytes) {
    testViewWindow.store(bytes, std::memory_order_relaxed);
}

Mapping CreateReadMapping(File file) {
    uint64_t length = 0;
    if (!GetFileLength(file, &length) || length == 0 ||
        posix::FailsByTest(posix::FallibleCall::View)) {
        return {};
    }
    const int copy = fcntl(DescriptorOf(file), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return {};
    }
    const Mapping mapping = MakeMapping(copy, length, false);
    if (!mapping.valid()) {
        close(copy);
    }
    return mapping;
}

// The file, empty when created, is only reserved up to `size`: like a Windows mapping, this
// never shortens a longer file, and it saves setting the length once more.
Mapping CreateWriteMapping(File file, uint64_t size) {
    if (!file.valid() || size == 0 || size > static_cast<uint64_t>(INT64_MAX) ||
        !ReserveSpace(DescriptorOf(file), static_cast<off_t>(size))) {
        return {};
    }
    return MakeMapping(DescriptorOf(file), size, true);
}

View MapView(Mapping mapping, uint64_t offset, uint32_t length) {
    const MappingRecord* record = RecordOf(mapping);
    if (record == nullptr || length == 0 || length > ViewWindow() || offset > record->length ||
        length > record->length - offset || posix::FailsByTest(posix::FallibleCall::View)) {
        return {};
    }
    ViewBuffer* buffer = TakeBuffer(length);
    if (buffer == nullptr) {
        return {};
    }
    buffer->fd = record->fd;
    buffer->offset = offset;
    buffer->length = length;
    buffer->written = record->writable;
    // A written view starts as the new file's bytes, zero; a read one as the file's.
    if (record->writable) {
        std::memset(buffer->bytes, 0, length);
    } else if (!TransferAt(pread, record->fd, buffer->bytes, length, offset)) {
        KeepBuffer(buffer);
        return {};
    }
    return View{buffer->bytes, buffer};
}

bool UnmapView(const View& view) {
    auto* buffer = static_cast<ViewBuffer*>(view.base);
    if (buffer == nullptr) {
        return true;
    }
    const bool released =
        !buffer->written ||
        (!posix::FailsByTest(posix::FallibleCall::WriteBack) &&
         TransferAt(pwrite, buffer->fd, buffer->bytes, buffer->length, buffer->offset));
    KeepBuffer(buffer);
    return released;
}

void CloseMapping(Mapping mapping) {
    MappingRecord* record = RecordOf(mapping);
    if (record != nullptr) {
        if (!record->writable) {
            close(record->fd);
        }
        delete record;
    }
}

void CloseFile(File file) {
    if (file.valid()) {
        close(DescriptorOf(file));
    }
}

bool CreateFolder(const char* path) {
    if (posix::FailsByTest(posix::FallibleCall::FolderCreate)) {
        return false;
    }
    bool exists = false;
    const std::string native = posix::ConvertPath(path, &exists);
    // A name that exists, in any case, is no new folder: mkdir would only say EEXIST.
    return !exists && mkdir(native.c_str(), 0755) == 0;
}

bool MovePath(const char* from, const char* to) {
    if (posix::FailsByTest(posix::FallibleCall::Move)) {
        return false;
    }
    // The destination is looked up only when there is something to move.
    std::optional<std::string> target;
    const auto move = [&target, to](const char* source) {
        if (!target) {
            target = posix::ConvertPath(to);
        }
        return RenameNoReplace(source, target->c_str()) ? 0 : -1;
    };
    return Moved(CallOnExistingPath(from, move) == 0);
}

bool DeleteFilePath(const char* path) {
    if (posix::FailsByTest(posix::FallibleCall::Delete)) {
        return false;
    }
    return CallOnExistingPath(path, unlink) == 0;
}

bool RemoveFolder(const char* path) {
    if (posix::FailsByTest(posix::FallibleCall::FolderRemove)) {
        return false;
    }
    return Moved(CallOnExistingPath(path, rmdir) == 0);
}

bool PathExists(const char* path) {
    bool exists = false;
    posix::ConvertPath(path, &exists);
    return exists;
}

bool GetOwnProgramPath(char* out, size_t size) {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return false;
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            const std::string_view text(buffer.data(), static_cast<size_t>(length));
            if (out == nullptr || text.size() >= size ||
                codepage::CountCharacters(text) > codepage::CharacterRoom(size)) {
                return false;
            }
            std::memcpy(out, text.data(), text.size());
            out[text.size()] = '\0';
            return true;
        }
        if (buffer.size() >= (1u << 20)) {
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform
