// Opening files on Linux: a path is its bytes.
#include "host_path.h"

namespace pkgbuild {

std::FILE* OpenHostFile(const std::filesystem::path& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

}  // namespace pkgbuild
