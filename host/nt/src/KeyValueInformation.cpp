// KEY_VALUE_BASIC_INFORMATION, KEY_VALUE_FULL_INFORMATION and
// KEY_VALUE_PARTIAL_INFORMATION, laid out byte for byte as the platform does:
// the full layout puts the data after the name at the next 4-byte boundary and
// sets DataOffset to 0xFFFFFFFF when there is no data.
#include "KeyValueInformation.h"

#include <algorithm>
#include <cstring>

namespace emu::detail {
namespace {

constexpr ULONG kBasicNameOffset = 12;  // TitleIndex, Type, NameLength
constexpr ULONG kFullNameOffset = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG kPartialDataOffset = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
constexpr ULONG kNoData = 0xFFFFFFFFu;

void PutUlong(void* buffer, ULONG offset, ULONG value)
{
    std::memcpy(static_cast<char*>(buffer) + offset, &value, sizeof value);
}

// Copies as much of the name as fits after `offset`; false if not all of it.
bool PutName(void* buffer, ULONG length, ULONG offset, const std::u16string& name)
{
    ULONG bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    ULONG room = length > offset ? length - offset : 0;
    std::memcpy(static_cast<char*>(buffer) + offset, name.data(), std::min(bytes, room));
    return room >= bytes;
}

}  // namespace

NTSTATUS WriteKeyValueInformation(KEY_VALUE_INFORMATION_CLASS layout, const std::u16string& name,
                                  const RegistryValue& value, void* buffer, ULONG length, ULONG* resultLength)
{
    ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(value.data.size());
    auto* out = static_cast<char*>(buffer);
    switch (layout) {
    case KeyValueBasicInformation: {
        *resultLength = kBasicNameOffset + nameBytes;
        if (length < kBasicNameOffset) return STATUS_BUFFER_TOO_SMALL;
        PutUlong(out, 0, 0);
        PutUlong(out, 4, value.type);
        PutUlong(out, 8, nameBytes);
        return PutName(out, length, kBasicNameOffset, name) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case KeyValueFullInformation: {
        ULONG afterName = kFullNameOffset + nameBytes;
        ULONG dataOffset = dataBytes ? (afterName + 3u) & ~3u : kNoData;
        *resultLength = dataBytes ? dataOffset + dataBytes : afterName;
        if (length < kFullNameOffset) return STATUS_BUFFER_TOO_SMALL;
        PutUlong(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        PutUlong(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        PutUlong(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        PutUlong(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
        PutUlong(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        if (!PutName(out, length, kFullNameOffset, name) || length < *resultLength) return STATUS_BUFFER_OVERFLOW;
        if (dataBytes) std::memcpy(out + dataOffset, value.data.data(), dataBytes);
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
        *resultLength = kPartialDataOffset + dataBytes;
        if (length < kPartialDataOffset) return STATUS_BUFFER_TOO_SMALL;
        PutUlong(out, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        PutUlong(out, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        PutUlong(out, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
        if (length < *resultLength) return STATUS_BUFFER_OVERFLOW;
        if (dataBytes) std::memcpy(out + kPartialDataOffset, value.data.data(), dataBytes);
        return STATUS_SUCCESS;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

}  // namespace emu::detail
