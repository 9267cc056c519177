// Opening files on Windows: through the path's UTF-16 name, which holds any name, never the
// narrow fopen, which reads the name in the ANSI code page.
#include <iterator>

#include "host_path.h"

namespace pkgbuild {

std::FILE* OpenHostFile(const std::filesystem::path& path, const char* mode) {
    wchar_t wideMode[8] = {};
    for (size_t i = 0; mode[i] != '\0'; ++i) {
        if (i + 1 == std::size(wideMode)) {
            return nullptr;
        }
        wideMode[i] = static_cast<unsigned char>(mode[i]);
    }
    return _wfopen(path.c_str(), wideMode);
}

}  // namespace pkgbuild
