// An open registry key: what a handle refers to, for the kernel's Zw
// routines and for the user-mode Reg functions alike.
//
// A Key holds the key's row, the access granted when it was opened, and
// enumeration snapshots. Enumeration goes by index (0, 1, 2, ...), and each
// call would otherwise have to find the Nth entry afresh; the snapshot keeps
// the ordered list between calls and is rebuilt only when the key's change
// stamp moves, so enumerating N entries costs O(N) in all.
//
// A key deleted through any handle or by any process answers every later
// call with STATUS_KEY_DELETED; its row id is never reused.
#pragma once

#include "database.h"

#include <memory>
#include <mutex>

namespace korin::registry {

using SubkeyList = std::shared_ptr<const std::vector<SubkeyEntry>>;
using ValueList = std::shared_ptr<const std::vector<ValueRef>>;

enum class CreateMode {
    kLastComponent,  // the kernel's rule: every key above the new one must exist
    kWholePath,      // the Win32 rule: missing keys along the path are created too
};

class Key {
public:
    Key(std::shared_ptr<Database> db, KeyId id, ACCESS_MASK granted);
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    // Generic rights and MAXIMUM_ALLOWED as key rights.
    static ACCESS_MASK MapAccess(ACCESS_MASK requested);

    // The \Registry key of db, with all access.
    static std::shared_ptr<Key> Root(std::shared_ptr<Database> db);
    // Opens an absolute name ("\Registry\Machine\..."). STATUS_OBJECT_PATH_SYNTAX_BAD
    // for a relative one, STATUS_OBJECT_NAME_NOT_FOUND outside \Registry.
    static NTSTATUS OpenAbsolute(std::shared_ptr<Database> db, std::u16string_view path, ACCESS_MASK access,
                                 std::shared_ptr<Key>* out);
    static NTSTATUS CreateAbsolute(std::shared_ptr<Database> db, std::u16string_view path, ACCESS_MASK access,
                                   CreateMode mode, std::shared_ptr<Key>* out, ULONG* disposition);

    KeyId Id() const { return id_; }
    const std::shared_ptr<Database>& Db() const { return db_; }
    ACCESS_MASK Access() const { return access_; }

    // A key below this one by relative path ("" is this key again).
    NTSTATUS Open(std::u16string_view path, ACCESS_MASK access, std::shared_ptr<Key>* out) const;
    // disposition receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
    NTSTATUS Create(std::u16string_view path, ACCESS_MASK access, CreateMode mode, std::shared_ptr<Key>* out,
                    ULONG* disposition) const;

    // Enumeration (KEY_ENUMERATE_SUB_KEYS / KEY_QUERY_VALUE). Past the end:
    // STATUS_NO_MORE_ENTRIES.
    NTSTATUS EnumerateSubkey(ULONG index, SubkeyEntry* out);
    NTSTATUS EnumerateValue(ULONG index, ValueEntry* out);
    // The whole current snapshot; the same pointer comes back while nothing changed.
    NTSTATUS Subkeys(SubkeyList* out);
    NTSTATUS Values(ValueList* out);

    NTSTATUS QueryValue(std::u16string_view name, ValueEntry* out) const;
    NTSTATUS SetValue(std::u16string_view name, ULONG type, const void* data, size_t size) const;
    NTSTATUS DeleteValue(std::u16string_view name) const;
    // Needs DELETE access; STATUS_CANNOT_DELETE while the key has subkeys.
    NTSTATUS Delete() const;
    NTSTATUS QueryInfo(KeyInfo* out) const;

private:
    NTSTATUS Require(ACCESS_MASK rights) const;

    std::shared_ptr<Database> db_;
    KeyId id_;
    ACCESS_MASK access_;

    std::mutex mutex_;  // guards the snapshots: one handle may be used by several threads
    SubkeyList subkeys_;
    ChangeStamp subkeysStamp_;
    ValueList values_;
    ChangeStamp valuesStamp_;
    // The entry read last, valid while values_ is still lastValueList_.
    ValueList lastValueList_;
    ULONG lastValueIndex_ = 0;
    ValueEntry lastValue_;
};

}  // namespace korin::registry
