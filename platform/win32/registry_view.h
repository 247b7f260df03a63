// What a user-mode registry handle (HKEY) names.
//
// Most handles name one key. HKEY_CLASSES_ROOT and every key opened below it
// name a merged view of two keys at the same path: one below
// HKEY_CURRENT_USER\Software\Classes (the user's part) and one below
// HKEY_LOCAL_MACHINE\Software\Classes (the machine's part); either may be
// missing. Reads look in the user's part first; values are written to the
// user's part when that key exists, else to the machine's; new keys are
// created in the machine's part; enumeration shows both without duplicates
// (subkeys in registry order, values the user's first).
#pragma once

#include "platform/nt/handles.h"
#include "registry.h"
#include "platform/registry/key.h"

#include <memory>
#include <mutex>
#include <string>

namespace korin::win32 {

class RegistryView : public ob::HandleObject {
public:
    static std::shared_ptr<RegistryView> Plain(std::shared_ptr<registry::Key> key);
    // The merged view of the classes key at path (below Software\Classes);
    // STATUS_OBJECT_NAME_NOT_FOUND when neither part exists.
    static NTSTATUS OpenClasses(std::shared_ptr<registry::Database> db, std::u16string path, ACCESS_MASK access,
                                std::shared_ptr<RegistryView>* out);

    NTSTATUS Open(std::u16string_view path, ACCESS_MASK access, std::shared_ptr<RegistryView>* out) const;
    // Creates missing keys along path; disposition as for ZwCreateKey.
    NTSTATUS Create(std::u16string_view path, ACCESS_MASK access, std::shared_ptr<RegistryView>* out,
                    ULONG* disposition) const;
    NTSTATUS EnumerateSubkey(ULONG index, registry::SubkeyEntry* out);
    NTSTATUS EnumerateValue(ULONG index, registry::ValueEntry* out);
    NTSTATUS QueryValue(std::u16string_view name, registry::ValueEntry* out) const;
    NTSTATUS SetValue(std::u16string_view name, ULONG type, const void* data, size_t size) const;
    NTSTATUS DeleteValue(std::u16string_view name) const;
    // Deletes the subkey at path (this key for ""): only a key without subkeys.
    NTSTATUS DeleteSubkey(std::u16string_view path) const;
    NTSTATUS QueryInfo(registry::KeyInfo* out);

private:
    RegistryView() = default;
    NTSTATUS MergedSubkeys(registry::SubkeyList* out);
    NTSTATUS MergedValues(registry::ValueList* out);

    // A plain view: key_ only. A classes view: user_ and machine_ (either
    // may be null), with db_, path_ and access_ to open keys below it.
    std::shared_ptr<registry::Key> key_;
    bool classes_ = false;
    std::shared_ptr<registry::Database> db_;
    std::u16string path_;
    ACCESS_MASK access_ = 0;
    std::shared_ptr<registry::Key> user_, machine_;

    // Merged enumeration, rebuilt when either part's snapshot changes.
    std::mutex mutex_;
    registry::SubkeyList userSubkeys_, machineSubkeys_, mergedSubkeys_;
    registry::ValueList userValues_, machineValues_, mergedValues_;
};

// The user-mode handle table and the predefined keys.
HKEY InsertRegistryHandle(std::shared_ptr<RegistryView> view);
NTSTATUS ReferenceRegistryHandle(HKEY handle, std::shared_ptr<RegistryView>* view);
NTSTATUS CloseRegistryHandle(HKEY handle);

}  // namespace korin::win32
