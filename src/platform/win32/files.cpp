// Files, mappings and names on Win32: each operation is one ...A call with the access rights,
// share mode and disposition the layers above rely on. Paths pass through unchanged as
// Windows-1251 bytes.
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace platform {
namespace {

HANDLE FileHandle(File file) {
    return reinterpret_cast<HANDLE>(file.value);
}

File FromHandle(HANDLE handle) {
    return File{reinterpret_cast<intptr_t>(handle)};
}

// A mapping remembers whether it may be written, so that its view is mapped with the same
// access it was created with.
struct MappingRecord {
    HANDLE handle;
    bool writable;
};

MappingRecord* Record(Mapping mapping) {
    return reinterpret_cast<MappingRecord*>(mapping.value);
}

Mapping WrapMapping(HANDLE handle, bool writable) {
    if (handle == nullptr) {
        return Mapping{};
    }
    MappingRecord* record = new (std::nothrow) MappingRecord{handle, writable};
    if (record == nullptr) {
        CloseHandle(handle);
        return Mapping{};
    }
    return Mapping{reinterpret_cast<intptr_t>(record)};
}

}  // namespace

// INVALID_HANDLE_VALUE is (HANDLE)-1, which is exactly File's invalid value.
File OpenFileRead(const char* path) {
    return FromHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

File CreateFileReadWrite(const char* path) {
    return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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

Mapping CreateReadMapping(File file) {
    return WrapMapping(CreateFileMappingA(FileHandle(file), nullptr, PAGE_READONLY, 0, 0, nullptr),
                       false);
}

Mapping CreateWriteMapping(File file, uint32_t size) {
    return WrapMapping(
        CreateFileMappingA(FileHandle(file), nullptr, PAGE_READWRITE, 0, size, nullptr), true);
}

uint8_t* MapWholeView(Mapping mapping) {
    const MappingRecord* record = Record(mapping);
    if (record == nullptr) {
        return nullptr;
    }
    const DWORD access = record->writable ? FILE_MAP_WRITE : FILE_MAP_READ;
    return static_cast<uint8_t*>(MapViewOfFile(record->handle, access, 0, 0, 0));
}

void UnmapView(Mapping, const void* view) {
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
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
    return CreateDirectoryA(path, nullptr) != FALSE;
}

bool MovePath(const char* from, const char* to) {
    return MoveFileA(from, to) != FALSE;
}

bool DeleteFilePath(const char* path) {
    return DeleteFileA(path) != FALSE;
}

bool RemoveFolder(const char* path) {
    return RemoveDirectoryA(path) != FALSE;
}

bool PathExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool GetOwnProgramPath(char* out, size_t size) {
    if (size == 0 || size > MAXDWORD) {
        return false;
    }
    // A name that does not fit comes back cut off, with its length equal to the room given.
    const DWORD length = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
    return length != 0 && length < size;
}

}  // namespace platform
