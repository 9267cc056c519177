// Files, mappings and names on Win32: each operation is one ...W call with the access rights,
// share mode and disposition the layers above rely on, on the UTF-16 form of the UTF-8 path.
#include <windows.h>

#include <memory>
#include <new>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

HANDLE FileHandle(File file) {
    return reinterpret_cast<HANDLE>(file.value);
}

File FromHandle(HANDLE handle) {
    return File{reinterpret_cast<intptr_t>(handle)};
}

// A mapping remembers its length, to check views against it, and whether it may be written,
// so that its views are mapped with the same access it was created with.
struct MappingRecord {
    HANDLE handle;
    uint64_t length;
    bool writable;
};

MappingRecord* Record(Mapping mapping) {
    return reinterpret_cast<MappingRecord*>(mapping.value);
}

Mapping WrapMapping(HANDLE handle, uint64_t length, bool writable) {
    if (handle == nullptr) {
        return Mapping{};
    }
    MappingRecord* record = new (std::nothrow) MappingRecord{handle, length, writable};
    if (record == nullptr) {
        CloseHandle(handle);
        return Mapping{};
    }
    return Mapping{reinterpret_cast<intptr_t>(record)};
}

DWORD HighPart(uint64_t value) {
    return static_cast<DWORD>(value >> 32);
}

DWORD LowPart(uint64_t value) {
    return static_cast<DWORD>(value & 0xFFFFFFFFu);
}

// Views start at a multiple of this (64 KiB on every Windows so far). Asked on every call: a
// local static would need the C++ runtime's thread-safe guard, which brings exceptions with it.
uint64_t AllocationGranularity() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity;
}

}  // namespace

// INVALID_HANDLE_VALUE is (HANDLE)-1, which is exactly File's invalid value.
File OpenFileRead(const char* path) {
    const WidePath wide(path);
    if (!wide.ok()) {
        return File{};
    }
    return FromHandle(CreateFileW(wide.get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

File CreateFileReadWrite(const char* path) {
    const WidePath wide(path);
    if (!wide.ok()) {
        return File{};
    }
    return FromHandle(CreateFileW(wide.get(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool GetFileLength(File file, uint64_t* length) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(FileHandle(file), &size) || size.QuadPart < 0) {
        return false;
    }
    *length = static_cast<uint64_t>(size.QuadPart);
    return true;
}

// Share modes already keep a file from being opened twice in conflicting ways.
bool IsSameFile(File, const char*) {
    return false;
}

uint32_t ViewWindow() {
    return kViewWindow;
}

Mapping CreateReadMapping(File file) {
    uint64_t length = 0;
    if (!GetFileLength(file, &length) || length == 0) {
        return Mapping{};
    }
    return WrapMapping(CreateFileMappingW(FileHandle(file), nullptr, PAGE_READONLY, 0, 0, nullptr),
                       length, false);
}

Mapping CreateWriteMapping(File file, uint64_t size) {
    if (size == 0) {
        return Mapping{};
    }
    return WrapMapping(CreateFileMappingW(FileHandle(file), nullptr, PAGE_READWRITE, HighPart(size),
                                          LowPart(size), nullptr),
                       size, true);
}

View MapView(Mapping mapping, uint64_t offset, uint32_t length) {
    const MappingRecord* record = Record(mapping);
    if (record == nullptr || length == 0 || length > ViewWindow() || offset > record->length ||
        length > record->length - offset) {
        return View{};
    }
    const uint64_t start = offset - offset % AllocationGranularity();
    const size_t mappedLength = static_cast<size_t>(offset - start) + length;
    const DWORD access = record->writable ? FILE_MAP_WRITE : FILE_MAP_READ;
    void* base =
        MapViewOfFile(record->handle, access, HighPart(start), LowPart(start), mappedLength);
    if (base == nullptr) {
        return View{};
    }
    return View{static_cast<uint8_t*>(base) + (offset - start), base};
}

// Written pages reach the file later, through the system's cache; only the unmapping itself
// can fail here.
bool UnmapView(const View& view) {
    return view.base == nullptr || UnmapViewOfFile(view.base) != 0;
}

void CloseMapping(Mapping mapping) {
    MappingRecord* record = Record(mapping);
    if (record == nullptr) {
        return;
    }
    CloseHandle(record->handle);
    delete record;
}

void CloseFile(File file) {
    if (file.valid()) {
        CloseHandle(FileHandle(file));
    }
}

bool CreateFolder(const char* path) {
    const WidePath wide(path);
    return wide.ok() && CreateDirectoryW(wide.get(), nullptr) != FALSE;
}

bool MovePath(const char* from, const char* to) {
    const WidePath wideFrom(from);
    const WidePath wideTo(to);
    return wideFrom.ok() && wideTo.ok() && MoveFileW(wideFrom.get(), wideTo.get()) != FALSE;
}

bool DeleteFilePath(const char* path) {
    const WidePath wide(path);
    return wide.ok() && DeleteFileW(wide.get()) != FALSE;
}

bool RemoveFolder(const char* path) {
    const WidePath wide(path);
    return wide.ok() && RemoveDirectoryW(wide.get()) != FALSE;
}

bool PathExists(const char* path) {
    const WidePath wide(path);
    return wide.ok() && GetFileAttributesW(wide.get()) != INVALID_FILE_ATTRIBUTES;
}

bool GetOwnProgramPath(char* out, size_t size) {
    // Long enough for any path Windows can start a program from.
    constexpr DWORD kRoom = 32768;
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[kRoom]);
    if (!wide) {
        return false;
    }
    // A name that does not fit comes back cut off, with its length equal to the room given.
    const DWORD length = GetModuleFileNameW(nullptr, wide.get(), kRoom);
    size_t written = 0;
    return length != 0 && length < kRoom && WideToUtf8(wide.get(), -1, out, size, &written);
}

}  // namespace platform
