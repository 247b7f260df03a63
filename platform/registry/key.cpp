#include "key.h"

#include "names.h"
#include "platform/nt/zw.h"

namespace korin::registry {

namespace {

constexpr ACCESS_MASK kKeyExecute = KEY_READ;
constexpr std::u16string_view kRegistryPrefix = u"\\REGISTRY";

// Splits "\Registry\rest" into rest; false when the name is not below \Registry.
NTSTATUS SplitAbsolute(std::u16string_view path, std::u16string_view* rest) {
    if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (path.size() < kRegistryPrefix.size() || !NamesEqual(path.substr(0, kRegistryPrefix.size()), kRegistryPrefix))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    path.remove_prefix(kRegistryPrefix.size());
    if (path.empty()) {
        *rest = path;
        return STATUS_SUCCESS;
    }
    if (path.front() != u'\\') return STATUS_OBJECT_NAME_NOT_FOUND;
    *rest = path.substr(1);
    // "\Registry\" names the root as well; "\Registry\\x" is malformed.
    return !rest->empty() && rest->front() == u'\\' ? STATUS_OBJECT_NAME_INVALID : STATUS_SUCCESS;
}

}  // namespace

Key::Key(std::shared_ptr<Database> db, KeyId id, ACCESS_MASK granted)
    : db_(std::move(db)), id_(id), access_(MapAccess(granted)) {}

ACCESS_MASK Key::MapAccess(ACCESS_MASK requested) {
    ACCESS_MASK rights = requested & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (requested & GENERIC_READ) rights |= KEY_READ;
    if (requested & GENERIC_WRITE) rights |= KEY_WRITE;
    if (requested & GENERIC_EXECUTE) rights |= kKeyExecute;
    if (requested & (GENERIC_ALL | MAXIMUM_ALLOWED)) rights |= KEY_ALL_ACCESS;
    return rights;
}

std::shared_ptr<Key> Key::Root(std::shared_ptr<Database> db) {
    KeyId root = db->RootKey();
    return std::make_shared<Key>(std::move(db), root, KEY_ALL_ACCESS);
}

NTSTATUS Key::OpenAbsolute(std::shared_ptr<Database> db, std::u16string_view path, ACCESS_MASK access,
                           std::shared_ptr<Key>* out) {
    std::u16string_view rest;
    NTSTATUS status = SplitAbsolute(path, &rest);
    if (!NT_SUCCESS(status)) return status;
    return Root(std::move(db))->Open(rest, access, out);
}

NTSTATUS Key::CreateAbsolute(std::shared_ptr<Database> db, std::u16string_view path, ACCESS_MASK access,
                             CreateMode mode, std::shared_ptr<Key>* out, ULONG* disposition) {
    std::u16string_view rest;
    NTSTATUS status = SplitAbsolute(path, &rest);
    if (!NT_SUCCESS(status)) return status;
    return Root(std::move(db))->Create(rest, access, mode, out, disposition);
}

NTSTATUS Key::Require(ACCESS_MASK rights) const {
    return (access_ & rights) == rights ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

NTSTATUS Key::Open(std::u16string_view path, ACCESS_MASK access, std::shared_ptr<Key>* out) const {
    std::vector<std::u16string_view> components;
    NTSTATUS status = SplitKeyPath(path, &components);
    if (!NT_SUCCESS(status)) return status;
    KeyId id;
    status = db_->LookupPath(id_, components, &id);
    if (!NT_SUCCESS(status)) return status;
    *out = std::make_shared<Key>(db_, id, access);
    return STATUS_SUCCESS;
}

NTSTATUS Key::Create(std::u16string_view path, ACCESS_MASK access, CreateMode mode, std::shared_ptr<Key>* out,
                     ULONG* disposition) const {
    std::vector<std::u16string_view> components;
    NTSTATUS status = SplitKeyPath(path, &components);
    if (!NT_SUCCESS(status)) return status;
    KeyId id;
    bool created = false;
    status = db_->CreatePath(id_, components, mode == CreateMode::kWholePath, &id, &created);
    if (!NT_SUCCESS(status)) return status;
    *out = std::make_shared<Key>(db_, id, access);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

NTSTATUS Key::Subkeys(SubkeyList* out) {
    NTSTATUS status = Require(KEY_ENUMERATE_SUB_KEYS);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(mutex_);
    ChangeStamp stamp = db_->Stamp(id_);
    if (!subkeys_ || !(stamp == subkeysStamp_)) {
        auto list = std::make_shared<std::vector<SubkeyEntry>>();
        status = db_->ListSubkeys(id_, list.get());
        if (!NT_SUCCESS(status)) {
            subkeys_.reset();
            return status;
        }
        subkeys_ = std::move(list);
        subkeysStamp_ = stamp;
    }
    *out = subkeys_;
    return STATUS_SUCCESS;
}

NTSTATUS Key::Values(ValueList* out) {
    NTSTATUS status = Require(KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(mutex_);
    ChangeStamp stamp = db_->Stamp(id_);
    if (!values_ || !(stamp == valuesStamp_)) {
        auto list = std::make_shared<std::vector<ValueRef>>();
        status = db_->ListValues(id_, list.get());
        if (!NT_SUCCESS(status)) {
            values_.reset();
            return status;
        }
        values_ = std::move(list);
        valuesStamp_ = stamp;
    }
    *out = values_;
    return STATUS_SUCCESS;
}

NTSTATUS Key::EnumerateSubkey(ULONG index, SubkeyEntry* out) {
    SubkeyList list;
    NTSTATUS status = Subkeys(&list);
    if (!NT_SUCCESS(status)) return status;
    if (index >= list->size()) return STATUS_NO_MORE_ENTRIES;
    *out = (*list)[index];
    return STATUS_SUCCESS;
}

NTSTATUS Key::EnumerateValue(ULONG index, ValueEntry* out) {
    // Another process may delete the row between the snapshot and the read;
    // its commit moves the stamp, so the second round sees a fresh list.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ValueList list;
        NTSTATUS status = Values(&list);
        if (!NT_SUCCESS(status)) return status;
        if (index >= list->size()) return STATUS_NO_MORE_ENTRIES;
        {
            // Callers ask for the size first and then read the same entry.
            std::lock_guard lock(mutex_);
            if (lastValueList_ == list && lastValueIndex_ == index) {
                *out = lastValue_;
                return STATUS_SUCCESS;
            }
        }
        status = db_->ReadValueRow((*list)[index].row, out);
        std::lock_guard lock(mutex_);
        if (NT_SUCCESS(status)) {
            lastValueList_ = list;
            lastValueIndex_ = index;
            lastValue_ = *out;
        }
        if (status != STATUS_NO_MORE_ENTRIES) return status;
        values_.reset();
    }
    return db_->CheckKey(id_) == STATUS_KEY_DELETED ? STATUS_KEY_DELETED : STATUS_NO_MORE_ENTRIES;
}

NTSTATUS Key::QueryValue(std::u16string_view name, ValueEntry* out) const {
    NTSTATUS status = Require(KEY_QUERY_VALUE);
    if (NT_SUCCESS(status)) status = CheckValueName(name);
    if (!NT_SUCCESS(status)) return status;
    return db_->ReadValue(id_, name, out);
}

NTSTATUS Key::SetValue(std::u16string_view name, ULONG type, const void* data, size_t size) const {
    NTSTATUS status = Require(KEY_SET_VALUE);
    if (NT_SUCCESS(status)) status = CheckValueName(name);
    if (!NT_SUCCESS(status)) return status;
    if (data == nullptr && size != 0) return STATUS_INVALID_PARAMETER;
    return db_->WriteValue(id_, name, type, data, size);
}

NTSTATUS Key::DeleteValue(std::u16string_view name) const {
    NTSTATUS status = Require(KEY_SET_VALUE);
    if (NT_SUCCESS(status)) status = CheckValueName(name);
    if (!NT_SUCCESS(status)) return status;
    return db_->DeleteValue(id_, name);
}

NTSTATUS Key::Delete() const {
    NTSTATUS status = Require(DELETE);
    if (!NT_SUCCESS(status)) return status;
    return db_->DeleteKey(id_);
}

NTSTATUS Key::QueryInfo(KeyInfo* out) const {
    NTSTATUS status = Require(KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status)) return status;
    return db_->QueryKeyInfo(id_, out);
}

}  // namespace korin::registry
