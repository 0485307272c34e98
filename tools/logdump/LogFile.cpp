#include "LogFile.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace tesmo::logdump {

namespace {

constexpr char kMagic[8] = {'T', 'E', 'S', 'M', 'O', 'L', 'O', 'G'};
constexpr std::size_t kHeaderSize = sizeof kMagic + 8;

void PutLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t GetLittleEndian(const std::uint8_t* in)
{
    return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
}

std::optional<std::vector<std::uint8_t>> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

bool SaveLog(const std::string& path, const LogCopy& copy)
{
    std::vector<std::uint8_t> bytes(kMagic, kMagic + sizeof kMagic);
    PutLittleEndian(bytes, static_cast<std::uint32_t>(copy.logIndex));
    PutLittleEndian(bytes, static_cast<std::uint32_t>(copy.storage.size()));
    bytes.insert(bytes.end(), copy.storage.begin(), copy.storage.end());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::optional<LogCopy> LoadLog(const std::string& path)
{
    std::optional<std::vector<std::uint8_t>> bytes = ReadFile(path);
    if (!bytes || bytes->size() < kHeaderSize || std::memcmp(bytes->data(), kMagic, sizeof kMagic) != 0) {
        return std::nullopt;
    }
    LogCopy copy;
    copy.logIndex = static_cast<std::int32_t>(GetLittleEndian(bytes->data() + 8));
    std::uint32_t size = GetLittleEndian(bytes->data() + 12);
    if (bytes->size() - kHeaderSize != size) return std::nullopt;
    copy.storage.assign(bytes->begin() + kHeaderSize, bytes->end());
    return copy;
}

std::optional<LogCopy> LoadRawImage(const std::string& path, std::int32_t logIndex)
{
    std::optional<std::vector<std::uint8_t>> bytes = ReadFile(path);
    if (!bytes) return std::nullopt;
    return LogCopy{std::move(*bytes), logIndex};
}

}  // namespace tesmo::logdump
