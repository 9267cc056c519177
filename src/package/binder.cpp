#include "package/binder.h"

#include <cstdint>
#include <cstring>

#include "package/format.h"
#include "package/window.h"
#include "platform/platform.h"

namespace {

// Each input and the output is a MappedFile, holding what is currently had of it: an input
// is mapped only while it is copied.

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
    CloseMappedFile(image);
    char ownPath[kPathBufferSize];
    return platform::GetOwnProgramPath(ownPath, sizeof ownPath) && OpenInput(image, ownPath);
}

// Copies the whole input into the output where `output` has got to, window by window, then
// lets the input's mapping go.
bool CopyInput(MappedFile& input, Walk& output) {
    input.mapping = platform::CreateReadMapping(input.file);
    if (!input.mapping.valid()) {
        return false;
    }
    Walk walk = FileWalk(input.mapping, 0, input.length);
    const bool copied = CopyWalk(walk, output);
    EndWalk(walk);
    platform::CloseMapping(input.mapping);
    input.mapping = platform::Mapping{};
    return copied;
}

bool WriteOutput(MappedFile& image, MappedFile& package, MappedFile& output) {
    const uint64_t total = image.length + package.length;
    output.mapping = platform::CreateWriteMapping(output.file, total + kTrailerSize);
    if (!output.mapping.valid()) {
        return false;
    }
    PackageTrailer trailer;
    trailer.packageOffset = static_cast<uint32_t>(image.length);
    std::memcpy(trailer.trailerMagic, kTrailerMagic, sizeof kTrailerMagic);
    Walk out = FileWalk(output.mapping, 0, total + kTrailerSize);
    Walk trailerBytes = MemoryWalk(&trailer, kTrailerSize);
    const bool written = CopyInput(image, out) && CopyInput(package, out) &&
                         CopyWalk(trailerBytes, out) && WalkDone(out);
    EndWalk(out);
    return written;
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
            written = WriteOutput(image, package, output);
        }
    }
    const bool outputCreated = output.file.valid();
    CloseMappedFile(output);
    CloseMappedFile(image);
    CloseMappedFile(package);
    if (outputCreated && !written) {
        platform::DeleteFilePath(outputPath);
    }
    return written;
}
