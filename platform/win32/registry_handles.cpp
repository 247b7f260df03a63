// The user-mode registry handle table and the predefined keys.
#include "registry_view.h"

#include "platform/registry/process_database.h"

#include <mutex>

namespace korin::win32 {

namespace {

ob::HandleTable& UserKeyHandles() {
    static ob::HandleTable table;
    return table;
}

enum Predefined { kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kPredefinedCount };

bool PredefinedIndex(HKEY handle, int* index) {
    const HKEY all[kPredefinedCount] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};
    for (int i = 0; i < kPredefinedCount; ++i) {
        if (handle == all[i]) {
            *index = i;
            return true;
        }
    }
    return false;
}

NTSTATUS OpenPredefined(const std::shared_ptr<registry::Database>& db, int index,
                        std::shared_ptr<RegistryView>* out) {
    static const char16_t* const kPaths[kPredefinedCount] = {nullptr, u"\\Registry\\User\\CurrentUser",
                                                             u"\\Registry\\Machine", u"\\Registry\\User"};
    if (index == kClassesRoot) return RegistryView::OpenClasses(db, u"", KEY_ALL_ACCESS, out);
    std::shared_ptr<registry::Key> key;
    NTSTATUS status = registry::Key::OpenAbsolute(db, kPaths[index], KEY_ALL_ACCESS, &key);
    if (NT_SUCCESS(status)) *out = RegistryView::Plain(std::move(key));
    return status;
}

// The predefined keys stay open per database, so that enumerating them
// directly keeps its snapshot between calls.
struct PredefinedCache {
    std::mutex mutex;
    std::shared_ptr<registry::Database> db;
    std::shared_ptr<RegistryView> views[kPredefinedCount];
};

PredefinedCache& Cache() {
    static PredefinedCache cache;
    return cache;
}

}  // namespace

HKEY InsertRegistryHandle(std::shared_ptr<RegistryView> view) {
    return reinterpret_cast<HKEY>(UserKeyHandles().Insert(std::move(view)));
}

NTSTATUS ReferenceRegistryHandle(HKEY handle, std::shared_ptr<RegistryView>* view) {
    int index;
    if (!PredefinedIndex(handle, &index)) {
        *view = UserKeyHandles().LookupAs<RegistryView>(reinterpret_cast<HANDLE>(handle));
        return *view ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
    }
    std::shared_ptr<registry::Database> db = registry::CurrentDatabase();
    if (!db) return STATUS_IO_DEVICE_ERROR;
    PredefinedCache& cache = Cache();
    std::lock_guard lock(cache.mutex);
    if (cache.db != db) {
        cache.db = db;
        for (auto& v : cache.views) v.reset();
    }
    if (!cache.views[index]) {
        NTSTATUS status = OpenPredefined(db, index, &cache.views[index]);
        if (!NT_SUCCESS(status)) return status;
    }
    *view = cache.views[index];
    return STATUS_SUCCESS;
}

NTSTATUS CloseRegistryHandle(HKEY handle) {
    int index;
    if (PredefinedIndex(handle, &index)) return STATUS_SUCCESS;
    return UserKeyHandles().Close(reinterpret_cast<HANDLE>(handle));
}

}  // namespace korin::win32
