// The registry calls of platform.h over the ".reg" store. Each call reads the store anew, so
// that every process (the installer, its external programs, the tests) sees one registry;
// each write takes the store's lock, re-reads, changes and replaces the file.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/faults.h"
#include "platform/posix/registry_store.h"

namespace platform {
namespace {

// What a RegistryKey handle points to: the key's name, not its contents.
struct KeyRecord {
    RegistryRoot root;
    std::string path;  // normalised, root included
};

KeyRecord* RecordOf(RegistryKey key) {
    return reinterpret_cast<KeyRecord*>(key.value);
}

std::string FullKeyPath(RegistryRoot root, const char* subKey) {
    std::string path =
        root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\";
    if (subKey != nullptr) {
        path += subKey;
    }
    return posix::NormaliseKeyPath(path);
}

RegistryKey MakeKey(RegistryRoot root, std::string path) {
    auto* record = new (std::nothrow) KeyRecord{root, std::move(path)};
    return RegistryKey{reinterpret_cast<intptr_t>(record)};  // invalid (0) when not had
}

// Serialises writers of the store across processes: an advisory lock on a file beside it
// (the store itself is replaced by each write, so it cannot carry the lock).
class StoreLock {
  public:
    explicit StoreLock(const std::string& storePath) {
        const std::string lockPath = storePath + ".lock";
        fd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd_);
                fd_ = -1;
            }
        }
    }
    ~StoreLock() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

bool KeyExists(const std::string& path) {
    // A root always exists, with or without a section of its own.
    if (path.find('\\') == std::string::npos) {
        return true;
    }
    posix::RegStore store;
    return posix::LoadRegistryFile(posix::RegistryFilePath(), &store) &&
           posix::FindKey(&store, path) != nullptr;
}

RegistryKey OpenExistingKey(RegistryRoot root, const char* subKey) {
    std::string path = FullKeyPath(root, subKey);
    if (posix::FailsByTest(posix::FallibleCall::RegistryOpen) || !posix::IsStorableName(path) ||
        !KeyExists(path)) {
        return {};
    }
    return MakeKey(root, std::move(path));
}

// Creates the key (and its parents), then lets `change` modify it; writes the store only
// when something changed. `change` returns whether it changed the key.
template <typename Change>
bool UpdateKey(const std::string& path, Change change) {
    const std::string storePath = posix::RegistryFilePath();
    if (storePath.empty()) {
        return false;
    }
    // The folder must exist before the lock file can be made beside the store.
    if (!posix::CreateParentFolders(storePath)) {
        return false;
    }
    StoreLock lock(storePath);
    posix::RegStore store;
    if (!lock.held() || !posix::LoadRegistryFile(storePath, &store)) {
        return false;
    }
    bool changed = posix::EnsureKey(&store, path);
    changed = change(posix::FindKey(&store, path)) || changed;
    return !changed || posix::SaveRegistryFile(storePath, store);
}

}  // namespace

RegistryKey OpenKeyForQuery(RegistryRoot root, const char* subKey) {
    return OpenExistingKey(root, subKey);
}

RegistryKey OpenKeyForSet(RegistryRoot root, const char* subKey) {
    return OpenExistingKey(root, subKey);
}

RegistryKey CreateKey(RegistryRoot root, const char* subKey) {
    std::string path = FullKeyPath(root, subKey);
    if (!posix::IsStorableName(path) ||
        !UpdateKey(path, [](posix::RegKeyEntry*) { return false; })) {
        return {};
    }
    return MakeKey(root, std::move(path));
}

bool QueryValue(RegistryKey key, const char* valueName, uint8_t* data, uint32_t* size,
                uint32_t* type) {
    const KeyRecord* record = RecordOf(key);
    if (record == nullptr || size == nullptr) {
        return false;
    }
    posix::RegStore store;
    if (!posix::LoadRegistryFile(posix::RegistryFilePath(), &store)) {
        return false;
    }
    const posix::RegKeyEntry* entry = posix::FindKey(&store, record->path);
    const posix::RegValue* value =
        entry == nullptr ? nullptr : posix::FindValue(*entry, valueName ? valueName : "");
    if (value == nullptr) {
        return false;
    }
    // As RegQueryValueExA: the needed length is reported even when it does not fit.
    const size_t room = *size;
    *size = static_cast<uint32_t>(value->data.size());
    if (type != nullptr) {
        *type = value->type;
    }
    if (data == nullptr) {
        return true;
    }
    if (value->data.size() > room) {
        return false;
    }
    std::memcpy(data, value->data.data(), value->data.size());
    return true;
}

bool SetValue(RegistryKey key, const char* valueName, uint32_t type, const uint8_t* data,
              uint32_t size) {
    const KeyRecord* record = RecordOf(key);
    const std::string name = valueName ? valueName : "";
    if (record == nullptr || (data == nullptr && size != 0) || !posix::IsStorableName(name)) {
        return false;
    }
    std::string bytes =
        size == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data), size);
    // A key removed by someone else since it was opened is made again: the value is kept.
    return UpdateKey(record->path, [&](posix::RegKeyEntry* entry) {
        posix::PutValue(entry, name, type, std::move(bytes));
        return true;
    });
}

void CloseKey(RegistryKey key) {
    delete RecordOf(key);
}

}  // namespace platform
