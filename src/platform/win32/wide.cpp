#include "platform/win32/wide.h"

#include <memory>
#include <new>
#include <string_view>

#include "text/codepage.h"

namespace platform {
namespace {

wchar_t* ConvertToWide(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0) {
        return nullptr;
    }
    wchar_t* wide = new (std::nothrow) wchar_t[length];
    if (wide != nullptr &&
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, length) != length) {
        delete[] wide;
        wide = nullptr;
    }
    return wide;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "X:\..." or "\\server\share\...", but not a path already in the "\\?\" form.
bool IsLongFormCandidate(const wchar_t* path) {
    const bool drive =
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && IsSeparator(path[2]);
    const bool share = IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] != L'?' &&
                       path[2] != L'.' && path[2] != L'\0';
    return drive || share;
}

// The "\\?\" form of a full path ("\\?\UNC\" for a share): the system no longer resolves
// "." and ".." nor turns "/" into "\" in that form, so the path is made full first.
wchar_t* LongForm(const wchar_t* path) {
    const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0) {
        return nullptr;
    }
    std::unique_ptr<wchar_t[]> full(new (std::nothrow) wchar_t[needed]);
    if (!full) {
        return nullptr;
    }
    const DWORD length = GetFullPathNameW(path, needed, full.get(), nullptr);
    if (length == 0 || length >= needed) {
        return nullptr;
    }
    const bool share = IsSeparator(full[0]) && IsSeparator(full[1]);
    const wchar_t* prefix = share ? L"\\\\?\\UNC" : L"\\\\?\\";
    const wchar_t* rest = share ? full.get() + 1 : full.get();
    wchar_t* result = new (std::nothrow) wchar_t[lstrlenW(prefix) + lstrlenW(rest) + 1];
    if (result != nullptr) {
        lstrcpyW(result, prefix);
        lstrcatW(result, rest);
    }
    return result;
}

}  // namespace

WideText::WideText(const char* text) {
    if (text != nullptr) {
        wide_ = ConvertToWide(text);
        failed_ = wide_ == nullptr;
    }
}

void WideText::Adopt(wchar_t* text) {
    delete[] wide_;
    wide_ = text;
}

WidePath::WidePath(const char* path) : WideText(path) {
    constexpr size_t kClassicLimit = MAX_PATH - 12;
    if (get() == nullptr || lstrlenW(get()) < static_cast<int>(kClassicLimit) ||
        !IsLongFormCandidate(get())) {
        return;
    }
    if (wchar_t* longForm = LongForm(get())) {
        Adopt(longForm);
    }
}

bool WideToUtf8(const wchar_t* text, int length, char* out, size_t size, size_t* written) {
    if (size == 0 || size > static_cast<size_t>(INT32_MAX)) {
        return false;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, length, out,
                                          static_cast<int>(size), nullptr, nullptr);
    if (bytes <= 0 && length != 0) {
        return false;
    }
    *written = static_cast<size_t>(bytes < 0 ? 0 : bytes);
    return codepage::CountCharacters(std::string_view(out, *written)) <=
           codepage::CharacterRoom(size);
}

}  // namespace platform
