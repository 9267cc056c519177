// The registry on Win32: advapi32 calls with the access rights each use needs and no more.
// Names and text data are UTF-16 in the registry and UTF-8 above this layer.
#include <windows.h>

#include <memory>
#include <new>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

HKEY RootKey(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

HKEY KeyHandle(RegistryKey key) {
    return reinterpret_cast<HKEY>(key.value);
}

RegistryKey OpenKey(RegistryRoot root, const char* subKey, REGSAM access) {
    const WideText wide(subKey);
    HKEY key = nullptr;
    if (!wide.ok() || RegOpenKeyExW(RootKey(root), wide.get(), 0, access, &key) != ERROR_SUCCESS) {
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
    const WideText wide(subKey);
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (!wide.ok() ||
        RegCreateKeyExW(RootKey(root), wide.get(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, &key, &disposition) != ERROR_SUCCESS) {
        return RegistryKey{};
    }
    return RegistryKey{reinterpret_cast<intptr_t>(key)};
}

bool QueryValue(RegistryKey key, const char* valueName, uint8_t* data, uint32_t* size,
                uint32_t* type) {
    const WideText name(valueName);
    // Text comes as UTF-16: every unit gives at least one byte of UTF-8, so data that fits
    // the room in units may fit it as UTF-8; more never does.
    const DWORD room = *size;
    if (!name.ok() || room > MAXDWORD / sizeof(wchar_t)) {
        return false;
    }
    std::unique_ptr<BYTE[]> raw(new (std::nothrow) BYTE[size_t{room} * sizeof(wchar_t) + 1]);
    if (!raw) {
        return false;
    }
    DWORD length = room * sizeof(wchar_t);
    DWORD valueType = 0;
    // Data longer than the room given answers ERROR_MORE_DATA, which is a failure here.
    if (RegQueryValueExW(KeyHandle(key), name.get(), nullptr, &valueType, raw.get(), &length) !=
        ERROR_SUCCESS) {
        return false;
    }
    if (IsTextValueType(valueType)) {
        size_t written = 0;
        const int units = static_cast<int>(length / sizeof(wchar_t));
        if (units != 0 && !WideToUtf8(reinterpret_cast<const wchar_t*>(raw.get()), units,
                                      reinterpret_cast<char*>(data), room, &written)) {
            return false;
        }
        *size = static_cast<uint32_t>(written);
    } else {
        if (length > room) {
            return false;
        }
        memcpy(data, raw.get(), length);
        *size = length;
    }
    *type = valueType;
    return true;
}

bool SetValue(RegistryKey key, const char* valueName, uint32_t type, const uint8_t* data,
              uint32_t size) {
    const WideText name(valueName);
    if (!name.ok()) {
        return false;
    }
    if (!IsTextValueType(type) || size == 0) {
        return RegSetValueExW(KeyHandle(key), name.get(), 0, type, data, size) == ERROR_SUCCESS;
    }
    // Text data, NULs included, as UTF-16 of the same characters.
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(data),
                            static_cast<int>(size), nullptr, 0);
    if (units <= 0) {
        return false;
    }
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[units]);
    if (!wide ||
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(data),
                            static_cast<int>(size), wide.get(), units) != units) {
        return false;
    }
    return RegSetValueExW(KeyHandle(key), name.get(), 0, type,
                          reinterpret_cast<const BYTE*>(wide.get()),
                          static_cast<DWORD>(units) * sizeof(wchar_t)) == ERROR_SUCCESS;
}

void CloseKey(RegistryKey key) {
    if (key.valid()) {
        RegCloseKey(KeyHandle(key));
    }
}

}  // namespace platform
