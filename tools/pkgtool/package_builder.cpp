#include "package_builder.h"

#include <stdio.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "host_path.h"
#include "package/format.h"

namespace pkgbuild {
namespace {

// The bytes of a record of the format (little-endian, as the format asserts).
template <typename Record>
Bytes BytesOf(const Record& record) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    return Bytes(bytes, bytes + sizeof record);
}

void AppendUint32(Bytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void AppendString(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

void Append(Bytes& out, const Bytes& data) {
    out.insert(out.end(), data.begin(), data.end());
}

// Content is read and compressed in pieces of this size.
constexpr size_t kPieceSize = 1 << 20;

// Where a package's bytes go as they are made: memory, or a file written front to back.
struct Sink {
    Bytes* memory = nullptr;
    std::FILE* file = nullptr;
    uint64_t length = 0;
    bool failed = false;
};

void Put(Sink& sink, const uint8_t* data, size_t length) {
    if (sink.memory != nullptr) {
        sink.memory->insert(sink.memory->end(), data, data + length);
    } else if (std::fwrite(data, 1, length, sink.file) != length) {
        sink.failed = true;
    }
    sink.length += length;
}

void Put(Sink& sink, const Bytes& data) {
    Put(sink, data.data(), data.size());
}

// Replaces bytes already written at `offset` (the header, once the rest is known).
void PutAt(Sink& sink, uint64_t offset, const Bytes& data) {
    if (sink.memory != nullptr) {
        std::memcpy(sink.memory->data() + offset, data.data(), data.size());
    } else if (fseeko(sink.file, static_cast<off_t>(offset), SEEK_SET) != 0 ||
               std::fwrite(data.data(), 1, data.size(), sink.file) != data.size()) {
        sink.failed = true;
    }
}

// Where an entry's content comes from: memory, or a file read piece by piece.
struct Source {
    const Bytes* memory = nullptr;
    std::FILE* file = nullptr;
    size_t position = 0;
    bool failed = false;
};

// Up to `room` more bytes of the content; 0 at its end.
size_t Take(Source& source, uint8_t* buffer, size_t room) {
    if (source.memory != nullptr) {
        const size_t length = std::min(room, source.memory->size() - source.position);
        if (length != 0) {
            std::memcpy(buffer, source.memory->data() + source.position, length);
        }
        source.position += length;
        return length;
    }
    const size_t length = std::fread(buffer, 1, room, source.file);
    source.failed = source.failed || std::ferror(source.file) != 0;
    return length;
}

// Writes the content of `source` to `sink`, as a zlib stream (level 9) or as it is, and
// counts the content's bytes.
bool Encode(Source& source, bool compress, Sink& sink, uint64_t* contentLength) {
    z_stream stream{};
    if (compress && deflateInit(&stream, 9) != Z_OK) {
        return false;
    }
    // Pieces no larger than content in memory needs: most entries are small, and every piece
    // is zeroed when it is made.
    const size_t piece = source.memory != nullptr
                             ? std::min(kPieceSize, std::max<size_t>(source.memory->size(), 1))
                             : kPieceSize;
    Bytes in(piece);
    Bytes out(compress ? piece + 64 : 0);
    int result = Z_OK;
    *contentLength = 0;
    for (bool end = false; !end && !source.failed && !sink.failed;) {
        const size_t length = Take(source, in.data(), in.size());
        *contentLength += length;
        end = length == 0;
        if (!compress) {
            Put(sink, in.data(), length);
            continue;
        }
        stream.next_in = in.data();
        stream.avail_in = static_cast<uInt>(length);
        do {  // until deflate leaves room in the output: then it has taken all the input
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            result = deflate(&stream, end ? Z_FINISH : Z_NO_FLUSH);
            Put(sink, out.data(), out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    }
    if (compress) {
        deflateEnd(&stream);
    }
    return !source.failed && !sink.failed && (!compress || result == Z_STREAM_END);
}

// Writes the entry's data, encoded, from its source file or its content.
bool EncodeEntry(const Entry& entry, Sink& sink, uint64_t* contentLength, std::string* error) {
    Source source;
    if (entry.sourceFile.empty()) {
        source.memory = &entry.content;
    } else if ((source.file = OpenHostFile(PathOfUtf8(entry.sourceFile), "rb")) == nullptr) {
        *error = "cannot read " + entry.sourceFile;
        return false;
    }
    const bool encoded = Encode(source, entry.compressed && !entry.delta, sink, contentLength);
    if (source.file != nullptr) {
        std::fclose(source.file);
    }
    if (!encoded) {
        *error = source.failed ? "cannot read " + entry.sourceFile : "cannot write the package";
    }
    return encoded;
}

// The flags a producer writes for the entry.
uint16_t EntryFlags(const Entry& entry) {
    if (entry.delta) {
        return kEntryDelta;
    }
    return entry.compressed ? kCompressedEntryFlags : uint16_t{0};
}

Bytes Header(const Package& package, uint32_t directoryOffset, uint32_t packedDirectorySize) {
    PackageHeader header{};
    const bool deltas = std::any_of(package.entries.begin(), package.entries.end(),
                                    [](const Entry& entry) { return entry.delta.has_value(); });
    const uint8_t* standard = deltas ? kDeltaPackageMagic : kPackageMagic;
    const Bytes magic = package.magic.value_or(Bytes(standard, standard + kMagicSize));
    std::memcpy(header.magic, magic.data(), std::min(magic.size(), kMagicSize));
    header.entryCount = package.entryCount.value_or(static_cast<uint32_t>(package.entries.size()));
    header.directoryOffset = package.directoryOffset.value_or(directoryOffset);
    header.headerFlags =
        package.headerFlags.value_or(package.compressDirectory ? kDirectoryZlib : kDirectoryStored);
    header.packedDirectorySize =
        package.packedDirectorySize.value_or(package.compressDirectory ? packedDirectorySize : 0);
    return BytesOf(header);
}

// The whole package into `sink`: a header to be filled in, the entries' data, the directory,
// then the header.
bool WritePackage(const Package& package, Sink& sink, std::string* error) {
    constexpr char kTooLarge[] =
        "the package would be larger than 4 GiB, which its offsets cannot reach";
    Put(sink, Bytes(kHeaderSize, 0));
    Bytes directory;
    for (const Entry& entry : package.entries) {
        const uint64_t dataOffset = sink.length;
        uint64_t contentLength = entry.content.size();
        if (entry.storedData) {
            Put(sink, *entry.storedData);
        } else if (!EncodeEntry(entry, sink, &contentLength, error)) {
            return false;
        }
        if (sink.length > UINT32_MAX || contentLength > UINT32_MAX) {
            *error = kTooLarge;
            return false;
        }
        const uint64_t storedLength = sink.length - dataOffset;
        DirectoryEntry record{};
        std::memcpy(record.name, entry.name.data(), std::min(entry.name.size(), kNameSize));
        record.dataOffset = entry.dataOffset.value_or(static_cast<uint32_t>(dataOffset));
        record.size = entry.size.value_or(static_cast<uint32_t>(contentLength));
        record.entryFlags = entry.entryFlags.value_or(EntryFlags(entry));
        const bool storedSizeRead = entry.compressed || entry.delta;
        record.storedSize =
            entry.storedSize.value_or(storedSizeRead ? static_cast<uint32_t>(storedLength) : 0);
        Append(directory, BytesOf(record));
    }
    const Bytes packedDirectory = package.storedDirectory     ? *package.storedDirectory
                                  : package.compressDirectory ? Compress(directory)
                                                              : directory;
    const uint64_t directoryOffset = sink.length;
    Put(sink, packedDirectory);
    if (sink.length > UINT32_MAX) {
        *error = kTooLarge;
        return false;
    }
    PutAt(sink, 0,
          Header(package, static_cast<uint32_t>(directoryOffset),
                 static_cast<uint32_t>(packedDirectory.size())));
    if (sink.failed) {
        *error = "cannot write the package";
    }
    return !sink.failed;
}

}  // namespace

Bytes Compress(const Bytes& data) {
    Bytes out;
    Source source{.memory = &data};
    Sink sink{.memory = &out};
    uint64_t length = 0;
    Encode(source, true, sink, &length);
    return out;
}

Bytes Build(const Package& package) {
    Bytes out;
    Sink sink{.memory = &out};
    std::string error;
    return WritePackage(package, sink, &error) ? out : Bytes{};
}

bool BuildFile(const Package& package, const std::string& path, std::string* error) {
    Sink sink{.file = OpenHostFile(PathOfUtf8(path), "wb")};
    if (sink.file == nullptr) {
        *error = "cannot write " + path;
        return false;
    }
    bool built = WritePackage(package, sink, error);
    if (std::fclose(sink.file) != 0 && built) {
        *error = "cannot write " + path;
        built = false;
    }
    if (!built) {
        std::error_code ignored;
        std::filesystem::remove(PathOfUtf8(path), ignored);
    }
    return built;
}

Bytes Bind(const Bytes& image, const Bytes& package) {
    PackageTrailer trailer{};
    trailer.packageOffset = static_cast<uint32_t>(image.size());
    std::memcpy(trailer.trailerMagic, kTrailerMagic, sizeof kTrailerMagic);
    Bytes out = image;
    Append(out, package);
    Append(out, BytesOf(trailer));
    return out;
}

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Pattern(size_t size, uint32_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(((i / 3) * 2654435761u + seed) >> 27);
    }
    return bytes;
}

Bytes StringList(const std::vector<std::string>& strings) {
    Bytes out;
    for (const std::string& text : strings) {
        AppendString(out, text);
    }
    out.push_back(0);
    return out;
}

Bytes RegistryKeysSection(const std::string& subKey, const std::string& folderValue,
                          const std::string& programValue, const std::string& levelValue,
                          int32_t packageLevel) {
    Bytes out;
    for (const std::string* text : {&subKey, &folderValue, &programValue, &levelValue}) {
        AppendString(out, *text);
    }
    AppendUint32(out, static_cast<uint32_t>(packageLevel));
    out.push_back(0);  // producers leave one byte after the level
    return out;
}

Bytes CommandsSection(const std::vector<Command>& commands) {
    Bytes out;
    for (const Command& command : commands) {
        out.push_back(command.flags);
        AppendString(out, command.program);
        AppendString(out, command.arguments);
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

Bytes RegistryTableSection(const std::vector<RegistryRecord>& records) {
    Bytes out;
    for (const RegistryRecord& record : records) {
        AppendUint32(out, record.operation);
        AppendUint32(out, record.root);
        AppendString(out, record.subKey);
        AppendUint32(out, record.valueType);
        AppendString(out, record.valueName);
        AppendString(out, record.data);
    }
    AppendUint32(out, kRegistryOperationEnd);
    return out;
}

bool ReadFile(const std::string& path, Bytes* data) {
    std::ifstream in(PathOfUtf8(path), std::ios::binary);
    if (!in) {
        return false;
    }
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteFile(const std::string& path, const Bytes& data) {
    return WriteFile(path, data.data(), data.size());
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(PathOfUtf8(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

}  // namespace pkgbuild
