// The registry on Win32: advapi32 calls with the access rights each use needs and no more.
#include <windows.h>

#include "platform/platform.h"

namespace platform {
namespace {

HKEY RootKey(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

HKEY KeyHandle(RegistryKey key) {
    return reinterpret_cast<HKEY>(key.value);
}

RegistryKey OpenKey(RegistryRoot root, const char* subKey, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(RootKey(root), subKey, 0, access, &key) != ERROR_SUCCESS) {
        return RegistryKey{};
    }
    return RegistryKey{reinterpret_cast<intptr_t>(key)};
}

}  // namespace

RegistryKey OpenKeyForQuery(RegistryRoot root, const char* subKey) {
    return OpenKey(root, subKey, KEY_QUERY_VALUE);
}

RegistryKey OpenKeyForSet(RegistryRoot root, const char* subKey) {
    return OpenKey(root, subKey, KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
}

RegistryKey CreateKey(RegistryRoot root, const char* subKey) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(RootKey(root), subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, &key, &disposition) != ERROR_SUCCESS) {
        return RegistryKey{};
    }
    return RegistryKey{reinterpret_cast<intptr_t>(key)};
}

bool QueryValue(RegistryKey key, const char* valueName, uint8_t* data, uint32_t* size,
                uint32_t* type) {
    DWORD length = *size;
    DWORD valueType = 0;
    // Data longer than the room given answers ERROR_MORE_DATA, which is a failure here.
    if (RegQueryValueExA(KeyHandle(key), valueName, nullptr, &valueType, data, &length) !=
        ERROR_SUCCESS) {
        return false;
    }
    *size = length;
    *type = valueType;
    return true;
}

bool SetValue(RegistryKey key, const char* valueName, uint32_t type, const uint8_t* data,
              uint32_t size) {
    return RegSetValueExA(KeyHandle(key), valueName, 0, type, data, size) == ERROR_SUCCESS;
}

void CloseKey(RegistryKey key) {
    if (key.valid()) {
        RegCloseKey(KeyHandle(key));
    }
}

}  // namespace platform
