#include "info_records.h"

#include <cstring>
#include <limits>

namespace korin::registry {

namespace {

constexpr ULONG kNoClass = 0xFFFFFFFF;

// Copies pieces of a record into the caller's buffer, clipped to its length.
class RecordWriter {
public:
    RecordWriter(PVOID buffer, ULONG length) : buffer_(static_cast<uint8_t*>(buffer)), length_(length) {}
    void Put(size_t offset, const void* data, size_t size) {
        if (offset >= length_ || size == 0) return;
        std::memcpy(buffer_ + offset, data, std::min<size_t>(size, length_ - offset));
    }
    template <typename T>
    void PutField(size_t offset, T value) {
        Put(offset, &value, sizeof value);
    }

private:
    uint8_t* buffer_;
    ULONG length_;
};

// Applies the buffer rules for a record of fixedSize + the rest = fullSize
// bytes, and says whether anything may be written.
NTSTATUS CheckRecordSize(size_t fixedSize, uint64_t fullSize, ULONG length, PULONG resultLength) {
    if (fullSize > std::numeric_limits<ULONG>::max()) return STATUS_INSUFFICIENT_RESOURCES;
    *resultLength = static_cast<ULONG>(fullSize);
    if (length < fixedSize) return STATUS_BUFFER_TOO_SMALL;
    return length < fullSize ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

ULONG Bytes(const std::u16string& name) { return static_cast<ULONG>(name.size() * sizeof(char16_t)); }

}  // namespace

ULONG FullValueDataOffset(size_t nameBytes) {
    size_t end = offsetof(KEY_VALUE_FULL_INFORMATION, Name) + nameBytes;
    return static_cast<ULONG>((end + sizeof(ULONG) - 1) & ~(sizeof(ULONG) - 1));
}

NTSTATUS WriteKeyRecord(KEY_INFORMATION_CLASS infoClass, const SubkeyEntry& entry, const KeyInfo& info,
                        PVOID buffer, ULONG length, PULONG resultLength) {
    ULONG nameBytes = Bytes(entry.name);
    RecordWriter out(buffer, length);
    NTSTATUS status;
    switch (infoClass) {
    case KeyBasicInformation: {
        constexpr size_t kFixed = offsetof(KEY_BASIC_INFORMATION, Name);
        status = CheckRecordSize(kFixed, uint64_t{kFixed} + nameBytes, length, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_INSUFFICIENT_RESOURCES) return status;
        out.PutField(offsetof(KEY_BASIC_INFORMATION, LastWriteTime), entry.lastWrite);
        out.PutField(offsetof(KEY_BASIC_INFORMATION, TitleIndex), ULONG{0});
        out.PutField(offsetof(KEY_BASIC_INFORMATION, NameLength), nameBytes);
        out.Put(kFixed, entry.name.data(), nameBytes);
        return status;
    }
    case KeyNodeInformation: {
        constexpr size_t kFixed = offsetof(KEY_NODE_INFORMATION, Name);
        status = CheckRecordSize(kFixed, uint64_t{kFixed} + nameBytes, length, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_INSUFFICIENT_RESOURCES) return status;
        out.PutField(offsetof(KEY_NODE_INFORMATION, LastWriteTime), entry.lastWrite);
        out.PutField(offsetof(KEY_NODE_INFORMATION, TitleIndex), ULONG{0});
        out.PutField(offsetof(KEY_NODE_INFORMATION, ClassOffset), kNoClass);
        out.PutField(offsetof(KEY_NODE_INFORMATION, ClassLength), ULONG{0});
        out.PutField(offsetof(KEY_NODE_INFORMATION, NameLength), nameBytes);
        out.Put(kFixed, entry.name.data(), nameBytes);
        return status;
    }
    case KeyFullInformation: {
        constexpr size_t kFixed = offsetof(KEY_FULL_INFORMATION, Class);
        status = CheckRecordSize(kFixed, kFixed, length, resultLength);
        if (status != STATUS_SUCCESS) return status;
        KEY_FULL_INFORMATION full{};
        full.LastWriteTime.QuadPart = info.lastWrite;
        full.ClassOffset = kNoClass;
        full.SubKeys = info.subkeys;
        full.MaxNameLen = info.maxSubkeyNameBytes;
        full.Values = info.values;
        full.MaxValueNameLen = info.maxValueNameBytes;
        full.MaxValueDataLen = info.maxValueDataBytes;
        out.Put(0, &full, kFixed);
        return status;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS WriteValueRecord(KEY_VALUE_INFORMATION_CLASS infoClass, const ValueEntry& value, PVOID buffer,
                          ULONG length, PULONG resultLength) {
    ULONG nameBytes = Bytes(value.name);
    RecordWriter out(buffer, length);
    NTSTATUS status;
    switch (infoClass) {
    case KeyValueBasicInformation: {
        constexpr size_t kFixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        status = CheckRecordSize(kFixed, uint64_t{kFixed} + nameBytes, length, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_INSUFFICIENT_RESOURCES) return status;
        out.PutField(offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), ULONG{0});
        out.PutField(offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        out.PutField(offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
        out.Put(kFixed, value.name.data(), nameBytes);
        return status;
    }
    case KeyValueFullInformation: {
        constexpr size_t kFixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        ULONG dataOffset = FullValueDataOffset(nameBytes);
        status = CheckRecordSize(kFixed, uint64_t{dataOffset} + value.data.size(), length, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_INSUFFICIENT_RESOURCES) return status;
        out.PutField(offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), ULONG{0});
        out.PutField(offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        out.PutField(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        out.PutField(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), static_cast<ULONG>(value.data.size()));
        out.PutField(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        out.Put(kFixed, value.name.data(), nameBytes);
        static constexpr uint8_t kPadding[sizeof(ULONG)] = {};
        out.Put(kFixed + nameBytes, kPadding, dataOffset - kFixed - nameBytes);
        out.Put(dataOffset, value.data.data(), value.data.size());
        return status;
    }
    case KeyValuePartialInformation: {
        constexpr size_t kFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        status = CheckRecordSize(kFixed, uint64_t{kFixed} + value.data.size(), length, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_INSUFFICIENT_RESOURCES) return status;
        out.PutField(offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), ULONG{0});
        out.PutField(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        out.PutField(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), static_cast<ULONG>(value.data.size()));
        out.Put(kFixed, value.data.data(), value.data.size());
        return status;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

}  // namespace korin::registry
