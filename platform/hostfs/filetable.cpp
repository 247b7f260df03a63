// The table of host files with open file objects, and the list of all opens.
#include "hostfs_internal.h"

#include <new>
#include <unordered_map>

namespace korin::hostfs {

namespace {

struct Tables {
    std::shared_mutex config;
    std::mutex table;
    std::unordered_map<FILE_KEY, HOST_FILE*> files;  // under table
    LIST_ENTRY opens;                                 // under table
    Tables() { InitializeListHead(&opens); }
};

// The tables, made on first use.
Tables& Global() {
    static Tables* tables = new Tables;  // outlives every static destructor that may still close files
    return *tables;
}

}  // namespace

std::shared_mutex& ConfigLock() { return Global().config; }
std::mutex& TableLock() { return Global().table; }

HOST_FILE* LookupFile(const FILE_KEY& key) {
    auto& files = Global().files;
    auto it = files.find(key);
    return it == files.end() ? nullptr : it->second;
}

HOST_FILE* ReferenceFile(const FILE_KEY& key) {
    HOST_FILE* file = LookupFile(key);
    if (!file) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(HOST_FILE), TAG_FILE);
        if (!block) return nullptr;
        file = new (block) HOST_FILE{};
        file->Header.NodeTypeCode = HOSTFS_NTC_FILE;
        file->Header.NodeByteSize = sizeof(HOST_FILE);
        file->Key = key;
        try {
            Global().files.emplace(key, file);
        } catch (...) {
            file->~HOST_FILE();
            ExFreePoolWithTag(file, TAG_FILE);
            return nullptr;
        }
        file->InTable = true;
    }
    ++file->OpenCount;
    return file;
}

void ForgetFile(HOST_FILE* file) {
    if (!file->InTable) return;
    Global().files.erase(file->Key);
    file->InTable = false;
}

void DereferenceFile(HOST_FILE* file) {
    if (--file->OpenCount != 0) return;
    ForgetFile(file);
    file->~HOST_FILE();
    ExFreePoolWithTag(file, TAG_FILE);
}

HOST_OPEN* AllocateOpen() {
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(HOST_OPEN), TAG_OPEN);
    if (!block) return nullptr;
    auto* open = new (block) HOST_OPEN{};
    open->NodeTypeCode = HOSTFS_NTC_OPEN;
    open->NodeByteSize = sizeof(HOST_OPEN);
    open->Fd = -1;
    InsertTailList(&Global().opens, &open->OpenLinks);
    return open;
}

void FreeOpen(HOST_OPEN* open) {
    RemoveEntryList(&open->OpenLinks);
    open->~HOST_OPEN();
    ExFreePoolWithTag(open, TAG_OPEN);
}

// Replaces the leading from of path by to when path is from or lies below it.
static void RewritePrefix(std::string& path, const std::string& from, const std::string& to) {
    if (path.size() < from.size() || path.compare(0, from.size(), from) != 0) return;
    if (path.size() == from.size()) {
        path = to;
    } else if (path[from.size()] == '/') {
        path = to + path.substr(from.size());
    }
}

void RenameOpenPaths(const std::string& from, const std::string& to) {
    LIST_ENTRY* head = &Global().opens;
    for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
        RewritePrefix(CONTAINING_RECORD(e, HOST_OPEN, OpenLinks)->Path, from, to);
    }
    // A pending delete names its file by path as well.
    for (auto& entry : Global().files) RewritePrefix(entry.second->DeletePath, from, to);
}

}  // namespace korin::hostfs
