// The Zw registry routines over the registry database. A key handle is an
// entry of the kernel handle table naming a KeyObject.
#include "handles.h"
#include "zw.h"

#include "platform/registry/info_records.h"
#include "platform/registry/key.h"
#include "platform/registry/names.h"
#include "platform/registry/process_database.h"

namespace korin::registry {

namespace {

// What a kernel key handle names.
class KeyObject : public ob::HandleObject {
public:
    explicit KeyObject(std::shared_ptr<Key> key) : key(std::move(key)) {}
    std::shared_ptr<Key> key;
};

// The key behind a handle: STATUS_INVALID_HANDLE for an unknown handle,
// STATUS_OBJECT_TYPE_MISMATCH for a handle to something else.
NTSTATUS ReferenceKey(HANDLE handle, std::shared_ptr<Key>* key) {
    std::shared_ptr<ob::HandleObject> object = ob::KernelHandles().Lookup(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    auto keyObject = std::dynamic_pointer_cast<KeyObject>(object);
    if (!keyObject) return STATUS_OBJECT_TYPE_MISMATCH;
    *key = keyObject->key;
    return STATUS_SUCCESS;
}

// Resolves object attributes to the key the name starts from (the root
// directory, or \Registry for an absolute name) and the name below it.
NTSTATUS ResolveName(POBJECT_ATTRIBUTES attributes, std::shared_ptr<Key>* start, std::u16string_view* path,
                     bool* absolute) {
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    *path = ViewOf(attributes->ObjectName);
    *absolute = attributes->RootDirectory == nullptr;
    if (*absolute) {
        std::shared_ptr<Database> db = CurrentDatabase();
        if (!db) return STATUS_IO_DEVICE_ERROR;
        *start = Key::Root(std::move(db));
        return STATUS_SUCCESS;
    }
    return ReferenceKey(attributes->RootDirectory, start);
}

NTSTATUS InsertKeyHandle(std::shared_ptr<Key> key, PHANDLE handle) {
    *handle = ob::KernelHandles().Insert(std::make_shared<KeyObject>(std::move(key)));
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace korin::registry

using namespace korin::registry;

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) {
    if (keyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> start, key;
    std::u16string_view path;
    bool absolute;
    NTSTATUS status = ResolveName(attributes, &start, &path, &absolute);
    if (!NT_SUCCESS(status)) return status;
    status = absolute ? Key::OpenAbsolute(start->Db(), path, access, &key) : start->Open(path, access, &key);
    if (!NT_SUCCESS(status)) return status;
    return InsertKeyHandle(std::move(key), keyHandle);
}

NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                     PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition) {
    UNREFERENCED_PARAMETER(titleIndex);
    UNREFERENCED_PARAMETER(keyClass);  // classes are not kept
    if (keyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    // Volatile keys are accepted and kept like the others: nothing here
    // depends on them vanishing at the next start.
    if (createOptions & ~REG_OPTION_VOLATILE) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> start, key;
    std::u16string_view path;
    bool absolute;
    NTSTATUS status = ResolveName(attributes, &start, &path, &absolute);
    if (!NT_SUCCESS(status)) return status;
    ULONG result = 0;
    status = absolute ? Key::CreateAbsolute(start->Db(), path, access, CreateMode::kLastComponent, &key, &result)
                      : start->Create(path, access, CreateMode::kLastComponent, &key, &result);
    if (!NT_SUCCESS(status)) return status;
    if (disposition) *disposition = result;
    return InsertKeyHandle(std::move(key), keyHandle);
}

NTSTATUS ZwEnumerateKey(HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                        PULONG resultLength) {
    if (infoClass != KeyBasicInformation && infoClass != KeyNodeInformation && infoClass != KeyFullInformation)
        return STATUS_INVALID_PARAMETER;
    if (resultLength == nullptr || (info == nullptr && length != 0)) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(keyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    SubkeyEntry entry;
    status = key->EnumerateSubkey(index, &entry);
    if (!NT_SUCCESS(status)) return status;
    KeyInfo counts;
    if (infoClass == KeyFullInformation) {
        std::shared_ptr<Key> subkey;
        status = key->Open(entry.name, KEY_QUERY_VALUE, &subkey);
        if (NT_SUCCESS(status)) status = subkey->QueryInfo(&counts);
        if (!NT_SUCCESS(status)) return status;
    }
    return WriteKeyRecord(infoClass, entry, counts, info, length, resultLength);
}

namespace {

// A value record for the caller: the class and the buffer checked, the key
// referenced, the value found by fetch(key, &value), its record written.
template <typename Fetch>
NTSTATUS ValueRecord(HANDLE keyHandle, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                     PULONG resultLength, Fetch fetch) {
    if (infoClass != KeyValueBasicInformation && infoClass != KeyValueFullInformation &&
        infoClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    if (resultLength == nullptr || (info == nullptr && length != 0)) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(keyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    ValueEntry value;
    status = fetch(*key, &value);
    if (!NT_SUCCESS(status)) return status;
    return WriteValueRecord(infoClass, value, info, length, resultLength);
}

}  // namespace

NTSTATUS ZwEnumerateValueKey(HANDLE keyHandle, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                             ULONG length, PULONG resultLength) {
    return ValueRecord(keyHandle, infoClass, info, length, resultLength,
                       [&](Key& key, ValueEntry* value) { return key.EnumerateValue(index, value); });
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID info, ULONG length, PULONG resultLength) {
    return ValueRecord(keyHandle, infoClass, info, length, resultLength,
                       [&](Key& key, ValueEntry* value) { return key.QueryValue(ViewOf(valueName), value); });
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize) {
    UNREFERENCED_PARAMETER(titleIndex);
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(keyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    return key->SetValue(ViewOf(valueName), type, data, dataSize);
}

NTSTATUS ZwDeleteKey(HANDLE keyHandle) {
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(keyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    return key->Delete();
}

NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName) {
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(keyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    return key->DeleteValue(ViewOf(valueName));
}

// Closes any kernel handle: keys, files and everything else in the table.
NTSTATUS ZwClose(HANDLE handle) { return korin::ob::KernelHandles().Close(handle); }
