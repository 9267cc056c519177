#include "package/binder.h"

#include <cstdint>
#include <cstring>

#include "package/format.h"
#include "platform/platform.h"

namespace {

// One input or the output, with what is currently held of it.
struct MappedFile {
    platform::File file;
    platform::Mapping mapping;
    uint8_t* view = nullptr;
    uint64_t length = 0;
};

void Unmap(MappedFile& mapped) {
    if (mapped.view != nullptr) {
        platform::UnmapView(mapped.mapping, mapped.view);
        mapped.view = nullptr;
    }
    if (mapped.mapping.valid()) {
        platform::CloseMapping(mapped.mapping);
        mapped.mapping = platform::Mapping{};
    }
}

void Release(MappedFile& mapped) {
    Unmap(mapped);
    if (mapped.file.valid()) {
        platform::CloseFile(mapped.file);
        mapped.file = platform::File{};
    }
}

bool OpenInput(MappedFile& input, const char* path) {
    input.file = platform::OpenFileRead(path);
    return input.file.valid() && platform::GetFileLength(input.file, &input.length);
}

// The image is the first word of the command line; when that does not open (a program
// started through PATH, or without its extension), the program's own file.
bool OpenImage(MappedFile& image, const char* imagePath) {
    if (OpenInput(image, imagePath)) {
        return true;
    }
    Release(image);
    char ownPath[512];
    return platform::GetOwnProgramPath(ownPath, sizeof ownPath) && OpenInput(image, ownPath);
}

bool MapInput(MappedFile& input) {
    input.mapping = platform::CreateReadMapping(input.file);
    if (input.mapping.valid()) {
        input.view = platform::MapWholeView(input.mapping);
    }
    return input.view != nullptr;
}

// Copies the whole input to `destination` through its own view, then lets the view go.
bool CopyInput(MappedFile& input, uint8_t* destination) {
    if (!MapInput(input)) {
        return false;
    }
    std::memcpy(destination, input.view, input.length);
    Unmap(input);
    return true;
}

bool WriteOutput(MappedFile& image, MappedFile& package, MappedFile& output, uint32_t total) {
    output.mapping = platform::CreateWriteMapping(output.file, total + kTrailerSize);
    if (!output.mapping.valid()) {
        return false;
    }
    output.view = platform::MapWholeView(output.mapping);
    if (output.view == nullptr || !CopyInput(image, output.view) ||
        !CopyInput(package, output.view + image.length)) {
        return false;
    }
    PackageTrailer trailer;
    trailer.packageOffset = static_cast<uint32_t>(image.length);
    std::memcpy(trailer.trailerMagic, kTrailerMagic, sizeof kTrailerMagic);
    std::memcpy(output.view + total, &trailer, kTrailerSize);
    return true;
}

}  // namespace

bool BindPackage(const char* imagePath, const char* packagePath, const char* outputPath) {
    MappedFile image, package, output;
    bool written = false;
    if (OpenImage(image, imagePath) && OpenInput(package, packagePath) &&
        image.length + package.length + kTrailerSize <= UINT32_MAX &&
        !platform::IsSameFile(image.file, outputPath) &&
        !platform::IsSameFile(package.file, outputPath)) {
        output.file = platform::CreateFileReadWrite(outputPath);
        if (output.file.valid()) {
            written = WriteOutput(image, package, output,
                                  static_cast<uint32_t>(image.length + package.length));
        }
    }
    const bool outputCreated = output.file.valid();
    Release(output);
    Release(image);
    Release(package);
    if (outputCreated && !written) {
        platform::DeleteFilePath(outputPath);
    }
    return written;
}
