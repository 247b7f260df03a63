#include "registry_view.h"

#include "platform/registry/names.h"

#include <algorithm>

namespace korin::win32 {

using registry::CreateMode;
using registry::Database;
using registry::Key;
using registry::KeyInfo;
using registry::SubkeyEntry;
using registry::SubkeyList;
using registry::ValueEntry;
using registry::ValueList;
using registry::ValueRef;

namespace {

constexpr std::u16string_view kUserClasses = u"\\Registry\\User\\CurrentUser\\Software\\Classes";
constexpr std::u16string_view kMachineClasses = u"\\Registry\\Machine\\SOFTWARE\\Classes";

// path\sub in canonical form (no trailing separator), checking sub's syntax.
NTSTATUS JoinPath(const std::u16string& path, std::u16string_view sub, std::u16string* out) {
    std::vector<std::u16string_view> parts;
    NTSTATUS status = registry::SplitKeyPath(sub, &parts);
    if (!NT_SUCCESS(status)) return status;
    *out = path;
    for (std::u16string_view part : parts) {
        if (!out->empty()) *out += u'\\';
        *out += part;
    }
    return STATUS_SUCCESS;
}

std::u16string Below(std::u16string_view root, const std::u16string& path) {
    std::u16string full(root);
    if (!path.empty()) full += u'\\' + path;
    return full;
}

// Opens root\path; a missing key is no error (null), anything else is.
NTSTATUS OpenPart(const std::shared_ptr<Database>& db, std::u16string_view root, const std::u16string& path,
                  ACCESS_MASK access, std::shared_ptr<Key>* out) {
    NTSTATUS status = Key::OpenAbsolute(db, Below(root, path), access, out);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        out->reset();
        return STATUS_SUCCESS;
    }
    return status;
}

// Registry order of subkeys: upper-cased code units.
int CompareNames(std::u16string_view a, std::u16string_view b) {
    return registry::UpcaseName(a).compare(registry::UpcaseName(b));
}

}  // namespace

std::shared_ptr<RegistryView> RegistryView::Plain(std::shared_ptr<Key> key) {
    std::shared_ptr<RegistryView> view(new RegistryView());
    view->key_ = std::move(key);
    return view;
}

NTSTATUS RegistryView::OpenClasses(std::shared_ptr<Database> db, std::u16string path, ACCESS_MASK access,
                                   std::shared_ptr<RegistryView>* out) {
    std::shared_ptr<RegistryView> view(new RegistryView());
    view->classes_ = true;
    view->access_ = access;
    NTSTATUS status = OpenPart(db, kUserClasses, path, access, &view->user_);
    if (NT_SUCCESS(status)) status = OpenPart(db, kMachineClasses, path, access, &view->machine_);
    if (!NT_SUCCESS(status)) return status;
    if (!view->user_ && !view->machine_) return STATUS_OBJECT_NAME_NOT_FOUND;
    view->db_ = std::move(db);
    view->path_ = std::move(path);
    *out = std::move(view);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryView::Open(std::u16string_view path, ACCESS_MASK access, std::shared_ptr<RegistryView>* out) const {
    if (!classes_) {
        std::shared_ptr<Key> key;
        NTSTATUS status = key_->Open(path, access, &key);
        if (NT_SUCCESS(status)) *out = Plain(std::move(key));
        return status;
    }
    std::u16string full;
    NTSTATUS status = JoinPath(path_, path, &full);
    if (!NT_SUCCESS(status)) return status;
    return OpenClasses(db_, std::move(full), access, out);
}

NTSTATUS RegistryView::Create(std::u16string_view path, ACCESS_MASK access, std::shared_ptr<RegistryView>* out,
                              ULONG* disposition) const {
    if (!classes_) {
        std::shared_ptr<Key> key;
        NTSTATUS status = key_->Create(path, access, CreateMode::kWholePath, &key, disposition);
        if (NT_SUCCESS(status)) *out = Plain(std::move(key));
        return status;
    }
    std::u16string full;
    NTSTATUS status = JoinPath(path_, path, &full);
    if (!NT_SUCCESS(status)) return status;
    status = OpenClasses(db_, full, access, out);
    if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
        if (NT_SUCCESS(status)) *disposition = REG_OPENED_EXISTING_KEY;
        return status;
    }
    // New classes keys go to the machine's part.
    std::shared_ptr<Key> created;
    status = Key::CreateAbsolute(db_, Below(kMachineClasses, full), access, CreateMode::kWholePath, &created,
                                 disposition);
    if (!NT_SUCCESS(status)) return status;
    return OpenClasses(db_, std::move(full), access, out);
}

NTSTATUS RegistryView::MergedSubkeys(SubkeyList* out) {
    SubkeyList user, machine;
    NTSTATUS status = user_ ? user_->Subkeys(&user) : STATUS_SUCCESS;
    if (NT_SUCCESS(status) && machine_) status = machine_->Subkeys(&machine);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(mutex_);
    if (!mergedSubkeys_ || user != userSubkeys_ || machine != machineSubkeys_) {
        static const std::vector<SubkeyEntry> kNone;
        const auto& a = user ? *user : kNone;
        const auto& b = machine ? *machine : kNone;
        auto merged = std::make_shared<std::vector<SubkeyEntry>>();
        size_t i = 0, j = 0;
        while (i < a.size() || j < b.size()) {
            int order = i == a.size() ? 1 : j == b.size() ? -1 : CompareNames(a[i].name, b[j].name);
            if (order <= 0) merged->push_back(a[i++]);
            if (order >= 0) {
                if (order > 0) merged->push_back(b[j]);
                ++j;
            }
        }
        mergedSubkeys_ = std::move(merged);
        userSubkeys_ = std::move(user);
        machineSubkeys_ = std::move(machine);
    }
    *out = mergedSubkeys_;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryView::MergedValues(ValueList* out) {
    ValueList user, machine;
    NTSTATUS status = user_ ? user_->Values(&user) : STATUS_SUCCESS;
    if (NT_SUCCESS(status) && machine_) status = machine_->Values(&machine);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(mutex_);
    if (!mergedValues_ || user != userValues_ || machine != machineValues_) {
        auto merged = std::make_shared<std::vector<ValueRef>>();
        std::vector<std::u16string> userNames;
        if (user) {
            merged->assign(user->begin(), user->end());
            for (const ValueRef& v : *user) userNames.push_back(registry::UpcaseName(v.name));
            std::sort(userNames.begin(), userNames.end());
        }
        if (machine) {
            for (const ValueRef& v : *machine) {
                if (!std::binary_search(userNames.begin(), userNames.end(), registry::UpcaseName(v.name)))
                    merged->push_back(v);
            }
        }
        mergedValues_ = std::move(merged);
        userValues_ = std::move(user);
        machineValues_ = std::move(machine);
    }
    *out = mergedValues_;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryView::EnumerateSubkey(ULONG index, SubkeyEntry* out) {
    if (!classes_) return key_->EnumerateSubkey(index, out);
    SubkeyList list;
    NTSTATUS status = MergedSubkeys(&list);
    if (!NT_SUCCESS(status)) return status;
    if (index >= list->size()) return STATUS_NO_MORE_ENTRIES;
    *out = (*list)[index];
    return STATUS_SUCCESS;
}

NTSTATUS RegistryView::EnumerateValue(ULONG index, ValueEntry* out) {
    if (!classes_) return key_->EnumerateValue(index, out);
    ValueList list;
    NTSTATUS status = MergedValues(&list);
    if (!NT_SUCCESS(status)) return status;
    if (index >= list->size()) return STATUS_NO_MORE_ENTRIES;
    return db_->ReadValueRow((*list)[index].row, out);
}

NTSTATUS RegistryView::QueryValue(std::u16string_view name, ValueEntry* out) const {
    if (!classes_) return key_->QueryValue(name, out);
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (user_) status = user_->QueryValue(name, out);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && machine_) status = machine_->QueryValue(name, out);
    return status;
}

NTSTATUS RegistryView::SetValue(std::u16string_view name, ULONG type, const void* data, size_t size) const {
    if (!classes_) return key_->SetValue(name, type, data, size);
    return (user_ ? user_ : machine_)->SetValue(name, type, data, size);
}

NTSTATUS RegistryView::DeleteValue(std::u16string_view name) const {
    if (!classes_) return key_->DeleteValue(name);
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (user_) status = user_->DeleteValue(name);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && machine_) status = machine_->DeleteValue(name);
    return status;
}

NTSTATUS RegistryView::DeleteSubkey(std::u16string_view path) const {
    std::shared_ptr<RegistryView> target;
    NTSTATUS status = Open(path, DELETE, &target);
    if (!NT_SUCCESS(status)) return status;
    if (!target->classes_) return target->key_->Delete();
    return (target->user_ ? target->user_ : target->machine_)->Delete();
}

NTSTATUS RegistryView::QueryInfo(KeyInfo* out) {
    if (!classes_) return key_->QueryInfo(out);
    *out = KeyInfo{};
    for (const auto& part : {user_, machine_}) {
        if (!part) continue;
        KeyInfo info;
        NTSTATUS status = part->QueryInfo(&info);
        if (!NT_SUCCESS(status)) return status;
        out->lastWrite = std::max(out->lastWrite, info.lastWrite);
        out->maxSubkeyNameBytes = std::max(out->maxSubkeyNameBytes, info.maxSubkeyNameBytes);
        out->maxValueNameBytes = std::max(out->maxValueNameBytes, info.maxValueNameBytes);
        out->maxValueDataBytes = std::max(out->maxValueDataBytes, info.maxValueDataBytes);
    }
    SubkeyList subkeys;
    ValueList values;
    NTSTATUS status = MergedSubkeys(&subkeys);
    if (NT_SUCCESS(status)) status = MergedValues(&values);
    if (!NT_SUCCESS(status)) return status;
    out->subkeys = static_cast<ULONG>(subkeys->size());
    out->values = static_cast<ULONG>(values->size());
    return STATUS_SUCCESS;
}

}  // namespace korin::win32
