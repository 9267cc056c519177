// Files, mappings with their views of one window, and names of the posix backend. POSIX has no
// share modes; the one place that relies on them (an output naming one of its inputs) asks
// IsSameFile.
#include "platform/posix/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/path.h"
#include "text/codepage.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

// Offsets of files of several GiB pass through off_t.
static_assert(sizeof(off_t) == 8, "off_t must hold 64-bit offsets");

namespace platform {
namespace {

// What a Mapping handle points to. The descriptor is a duplicate, so the mapping stays
// usable after its file is closed, as a Windows mapping does.
struct MappingRecord {
    int fd = -1;
    uint64_t length = 0;
    bool writable = false;
};

std::atomic<uint32_t> testViewWindow{0};

MappingRecord* RecordOf(Mapping mapping) {
    return reinterpret_cast<MappingRecord*>(mapping.value);
}

int DescriptorOf(File file) {
    return static_cast<int>(file.value);
}

Mapping MakeMapping(int fd, uint64_t length, bool writable) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return {};
    }
    auto* record = new (std::nothrow) MappingRecord{copy, length, writable};
    if (record == nullptr) {
        close(copy);
        return {};
    }
    return Mapping{reinterpret_cast<intptr_t>(record)};
}

// Reserves the file's blocks so that writing through a view never meets a full disk.
// File systems that cannot reserve (posix_fallocate says so) fall back to setting the length.
bool ReserveSpace(int fd, off_t size) {
    const int result = posix_fallocate(fd, 0, size);
    if (result == 0) {
        return true;
    }
    if (result == EOPNOTSUPP || result == EINVAL) {
        return ftruncate(fd, size) == 0;
    }
    return false;
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

// Makes `call` (a system call on a path: -1 and errno on failure) on the path as written;
// only when that names nothing is the path looked up ignoring case, and the call made again
// when the lookup finds another name. The failed call has already told that the exact name
// does not exist, so the common case costs no lookup at all.
template <typename Call>
int CallOnExistingPath(const char* path, Call call) {
    const std::string written = posix::SpellPath(path == nullptr ? "" : path);
    const int result = call(written.c_str());
    if (result != -1 || (errno != ENOENT && errno != ENOTDIR)) {
        return result;
    }
    const std::string found = posix::ConvertPath(path);
    return found == written ? -1 : call(found.c_str());
}

}  // namespace

File OpenFileRead(const char* path) {
    return File{CallOnExistingPath(
        path, [](const char* native) { return open(native, O_RDONLY | O_CLOEXEC); })};
}

File CreateFileReadWrite(const char* path) {
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
    return window != 0 ? window : kViewWindow;
}

void posix::SetViewWindowForTesting(uint32_t bytes) {
    testViewWindow.store(bytes, std::memory_order_relaxed);
}

Mapping CreateReadMapping(File file) {
    uint64_t length = 0;
    if (!GetFileLength(file, &length) || length == 0) {
        return {};
    }
    return MakeMapping(DescriptorOf(file), length, false);
}

Mapping CreateWriteMapping(File file, uint64_t size) {
    if (!file.valid() || size == 0 || size > static_cast<uint64_t>(INT64_MAX)) {
        return {};
    }
    const int fd = DescriptorOf(file);
    const off_t length = static_cast<off_t>(size);
    // Reserving does not shorten a longer file; the length is then set exactly.
    if (!ReserveSpace(fd, length) || ftruncate(fd, length) != 0) {
        return {};
    }
    return MakeMapping(fd, size, true);
}

View MapView(Mapping mapping, uint64_t offset, uint32_t length) {
    const MappingRecord* record = RecordOf(mapping);
    if (record == nullptr || length == 0 || length > ViewWindow() || offset > record->length ||
        length > record->length - offset) {
        return {};
    }
    // mmap takes offsets in whole pages only.
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t start = offset - offset % page;
    const size_t mappedLength = static_cast<size_t>(offset - start) + length;
    const int protection = record->writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* base =
        mmap(nullptr, mappedLength, protection, MAP_SHARED, record->fd, static_cast<off_t>(start));
    if (base == MAP_FAILED) {
        return {};
    }
    // A written view is filled whole: its pages are made writable in one call rather than
    // one fault each (kernels before 5.14 refuse and leave them to the faults).
    if (record->writable) {
        madvise(base, mappedLength, MADV_POPULATE_WRITE);
    }
    return View{static_cast<uint8_t*>(base) + (offset - start), base, mappedLength};
}

void UnmapView(const View& view) {
    if (view.base != nullptr) {
        munmap(view.base, view.mappedLength);
    }
}

void CloseMapping(Mapping mapping) {
    MappingRecord* record = RecordOf(mapping);
    if (record != nullptr) {
        close(record->fd);
        delete record;
    }
}

void CloseFile(File file) {
    if (file.valid()) {
        close(DescriptorOf(file));
    }
}

bool CreateFolder(const char* path) {
    bool exists = false;
    const std::string native = posix::ConvertPath(path, &exists);
    // A name that exists, in any case, is no new folder: mkdir would only say EEXIST.
    return !exists && mkdir(native.c_str(), 0755) == 0;
}

bool MovePath(const char* from, const char* to) {
    const std::string target = posix::ConvertPath(to);
    return CallOnExistingPath(from, [&target](const char* source) {
               return RenameNoReplace(source, target.c_str()) ? 0 : -1;
           }) == 0;
}

bool DeleteFilePath(const char* path) {
    return CallOnExistingPath(path, unlink) == 0;
}

bool RemoveFolder(const char* path) {
    return CallOnExistingPath(path, rmdir) == 0;
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
