// The UTF-8 of the layers above as the UTF-16 of the ...W calls, and back. Conversions are
// Windows' own (CP_UTF8), never the system's ANSI code page.
#pragma once

#include <windows.h>

#include <cstddef>

namespace platform {

// A UTF-16 copy of a UTF-8 text on the heap, freed with the object. A null text stays null;
// a text that cannot be converted or allocated leaves the object failed (`ok()` false).
class WideText {
  public:
    explicit WideText(const char* text);
    ~WideText() { delete[] wide_; }
    WideText(const WideText&) = delete;
    WideText& operator=(const WideText&) = delete;

    bool ok() const { return failed_ == false; }
    wchar_t* get() const { return wide_; }

  protected:
    // Replaces the text by `text` (owned from now on).
    void Adopt(wchar_t* text);

  private:
    wchar_t* wide_ = nullptr;
    bool failed_ = false;
};

// A path for the file calls: as WideText, and a path too long for the classic limit of
// MAX_PATH (less 12 characters, which folder creation keeps free) in its "\\?\" form, which
// Windows takes up to 32,767 characters whatever the system's settings.
class WidePath : public WideText {
  public:
    explicit WidePath(const char* path);
};

// Writes `length` UTF-16 units (-1: up to and with the NUL) as UTF-8 into `out`, which has
// room for `size` bytes and as many characters as that size holds (see platform.h), and
// stores the bytes written in *written. False when the text does not fit or is malformed.
bool WideToUtf8(const wchar_t* text, int length, char* out, size_t size, size_t* written);

}  // namespace platform
