#include "package_builder.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace pkgbuild {
namespace {

constexpr uint8_t kMagic[16] = {'Q', 'u', 'e', 'l', 'l', 'm', 'a', 'r',
                                ' ', 'd', 'a', 't', 'a', ' ', ' ', 0x1A};
constexpr uint16_t kCompressedFlags = 0x0011;
constexpr uint32_t kZlibDirectory = 2;
constexpr size_t kHeaderSize = 32;
constexpr size_t kEntrySize = 48;
constexpr size_t kNameSize = 32;

void PutUint16(Bytes& out, size_t at, uint16_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutUint32(Bytes& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void AppendUint32(Bytes& out, uint32_t value) {
    out.resize(out.size() + 4);
    PutUint32(out, out.size() - 4, value);
}

void AppendString(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

void Append(Bytes& out, const Bytes& data) {
    out.insert(out.end(), data.begin(), data.end());
}

}  // namespace

Bytes Compress(const Bytes& data) {
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    Bytes out(length);
    compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), 9);
    out.resize(length);
    return out;
}

Bytes Build(const Package& package) {
    Bytes out(kHeaderSize, 0);
    Bytes directory;
    for (const Entry& entry : package.entries) {
        const Bytes data = entry.storedData
                               ? *entry.storedData
                               : (entry.compressed ? Compress(entry.content) : entry.content);
        Bytes record(kEntrySize, 0);
        std::memcpy(record.data(), entry.name.data(), std::min(entry.name.size(), kNameSize));
        PutUint32(record, 32, entry.dataOffset.value_or(static_cast<uint32_t>(out.size())));
        PutUint32(record, 36, entry.size.value_or(static_cast<uint32_t>(entry.content.size())));
        PutUint16(record, 42, entry.entryFlags.value_or(entry.compressed ? kCompressedFlags : 0));
        PutUint32(
            record, 44,
            entry.storedSize.value_or(entry.compressed ? static_cast<uint32_t>(data.size()) : 0));
        Append(directory, record);
        Append(out, data);
    }
    const Bytes packedDirectory = package.storedDirectory     ? *package.storedDirectory
                                  : package.compressDirectory ? Compress(directory)
                                                              : directory;
    const uint32_t directoryOffset = static_cast<uint32_t>(out.size());
    Append(out, packedDirectory);

    const Bytes magic = package.magic.value_or(Bytes(std::begin(kMagic), std::end(kMagic)));
    std::memcpy(out.data(), magic.data(), std::min<size_t>(magic.size(), 16));
    PutUint32(out, 16, package.entryCount.value_or(static_cast<uint32_t>(package.entries.size())));
    PutUint32(out, 20, package.directoryOffset.value_or(directoryOffset));
    PutUint32(out, 24,
              package.headerFlags.value_or(package.compressDirectory ? kZlibDirectory : 0));
    PutUint32(out, 28,
              package.packedDirectorySize.value_or(
                  package.compressDirectory ? static_cast<uint32_t>(packedDirectory.size()) : 0));
    return out;
}

Bytes Bind(const Bytes& image, const Bytes& package) {
    Bytes out = image;
    Append(out, package);
    AppendUint32(out, static_cast<uint32_t>(image.size()));
    Append(out, ToBytes("QLMR"));
    return out;
}

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
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
    AppendUint32(out, 0);
    return out;
}

bool ReadFile(const std::string& path, Bytes* data) {
    std::ifstream in(path, std::ios::binary);
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

}  // namespace pkgbuild
