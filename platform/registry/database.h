// The registry database: keys and values in one SQLite file.
//
// One file holds the whole registry (\Registry with its MACHINE and USER
// trees). Any number of processes may open it at once: WAL mode lets readers
// go on while one writer commits, and a busy timeout queues writers behind
// each other. Every change is one transaction, committed before the call
// returns, so an acknowledged change survives the writer being killed.
//
// Tables:
//   keys(id, parent, name, upname, last_write, fixed)
//       id grows and is never reused, so a handle to a deleted key can never
//       find a newer key in its place. name is the name as created (UTF-16,
//       byte-exact); upname the upper-cased name as big-endian UTF-16, so
//       that comparing blobs orders keys by upper-cased code units, the
//       registry's order of subkeys. fixed marks hive roots, which cannot be
//       deleted.
//   key_values(id, key, name, upname, type, data)
//       id is the creation order; rewriting a value updates its row in place
//       and so keeps its position.
//
// Key names are resolved through a cache of (parent, upper-cased name) -> id.
// Ids are never reused and a key never moves, so an entry is wrong only once
// its key is deleted: this connection's deletions drop their entries, and
// any commit by another connection (PRAGMA data_version moves) drops them
// all. Reading the data version takes a read lock, so the cache also keeps
// the WAL index header it last checked against (SQLite's shared memory,
// read without locks: both copies must agree): while the header has not
// moved nobody has committed, and an open served from the cache makes no
// system call at all.
//
// Thread safety: one connection per Database, every call under one mutex.
#pragma once

#include "platform/nt/ntbase.h"
#include "statement.h"

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korin::registry {

using KeyId = int64_t;

struct SubkeyEntry {
    std::u16string name;
    int64_t lastWrite = 0;  // FILETIME: 100 ns units since 1601
};

struct ValueEntry {
    std::u16string name;
    ULONG type = 0;
    std::vector<uint8_t> data;
};

// A value in a key's enumeration snapshot: its row and its name.
struct ValueRef {
    int64_t row = 0;
    std::u16string name;
};

struct KeyInfo {
    int64_t lastWrite = 0;
    ULONG subkeys = 0;
    ULONG maxSubkeyNameBytes = 0;
    ULONG values = 0;
    ULONG maxValueNameBytes = 0;
    ULONG maxValueDataBytes = 0;
};

// Identifies the state of one key's subkeys and values: equal stamps mean
// nothing that an enumeration could see has changed. dataVersion moves with
// every commit of another connection (another process); local with every
// change this connection made to that key.
struct ChangeStamp {
    int64_t dataVersion = -1;
    uint64_t local = 0;
    bool operator==(const ChangeStamp&) const = default;
};

class Database {
public:
    // Opens the file, creating it (and the base layout: \Registry, MACHINE
    // with SOFTWARE\Classes and SYSTEM, USER\CurrentUser\Software\Classes)
    // when needed. Returns STATUS_IO_DEVICE_ERROR when it cannot be opened.
    static NTSTATUS Open(const std::string& path, std::shared_ptr<Database>* out);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    const std::string& Path() const { return path_; }
    KeyId RootKey() const { return root_; }

    ChangeStamp Stamp(KeyId key);
    // STATUS_SUCCESS, or STATUS_KEY_DELETED when the key no longer exists.
    NTSTATUS CheckKey(KeyId key);

    // Walks components down from start; STATUS_OBJECT_NAME_NOT_FOUND when one
    // is missing, STATUS_KEY_DELETED when start itself is gone.
    NTSTATUS LookupPath(KeyId start, const std::vector<std::u16string_view>& components, KeyId* out);
    // Opens or creates the path below start in one transaction. Without
    // intermediate only the last component may be created (the others must
    // exist: STATUS_OBJECT_NAME_NOT_FOUND). *created tells whether the last
    // component was new.
    NTSTATUS CreatePath(KeyId start, const std::vector<std::u16string_view>& components, bool intermediate,
                        KeyId* out, bool* created);

    // Subkeys ordered by upper-cased name; values in creation order.
    NTSTATUS ListSubkeys(KeyId key, std::vector<SubkeyEntry>* out);
    NTSTATUS ListValues(KeyId key, std::vector<ValueRef>* out);
    // A value by its row; STATUS_NO_MORE_ENTRIES when the row is gone.
    NTSTATUS ReadValueRow(int64_t row, ValueEntry* out);
    NTSTATUS ReadValue(KeyId key, std::u16string_view name, ValueEntry* out);
    NTSTATUS WriteValue(KeyId key, std::u16string_view name, ULONG type, const void* data, size_t size);
    NTSTATUS DeleteValue(KeyId key, std::u16string_view name);
    // STATUS_CANNOT_DELETE for a key with subkeys or a hive root.
    NTSTATUS DeleteKey(KeyId key);
    NTSTATUS QueryKeyInfo(KeyId key, KeyInfo* out);

private:
    explicit Database(std::string path) : path_(std::move(path)) {}
    NTSTATUS Initialize();
    NTSTATUS CreateLayout();
    NTSTATUS Exec(const char* sql);
    NTSTATUS Fail(int rc, const char* what);
    bool KeyExistsLocked(KeyId key, NTSTATUS* status);
    NTSTATUS FindChildLocked(KeyId parent, const std::string& upname, KeyId* child);
    NTSTATUS InsertChildLocked(KeyId parent, std::u16string_view name, bool fixed, KeyId* child);
    NTSTATUS TouchLocked(KeyId key, bool* exists);
    void Changed(KeyId key);
    // True when the cache still describes the database; clears it when
    // another connection committed since it was filled.
    bool CacheCurrentLocked();
    void CacheChildLocked(KeyId parent, const std::string& upname, KeyId child);
    void ForgetKeyLocked(KeyId key);
    void ClearCacheLocked();
    NTSTATUS ReadDataVersionLocked(int64_t* version);
    void ResetCacheToVersionLocked(int64_t version);
    // The WAL index header, when both of its copies agree.
    bool ReadWalHeaderLocked(std::array<unsigned char, 48>* out);

    class Transaction;

    std::string path_;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    KeyId root_ = 0;
    uint64_t changeCounter_ = 0;
    std::unordered_map<KeyId, uint64_t> changes_;  // key -> last local change

    // Name cache: parent id (8 bytes) + upname -> child id; the keys known
    // to exist (every child in the cache, and the starts of past walks);
    // the data version it was filled at (-1: empty, not yet valid).
    std::unordered_map<std::string, KeyId> children_;
    std::unordered_map<KeyId, std::vector<std::string>> known_;  // id -> its entries in children_
    int64_t cacheVersion_ = -1;
    std::array<unsigned char, 48> walHeader_{};  // as last seen with the cache current
    bool walHeaderValid_ = false;

    Statement beginRead_, beginWrite_, commit_, rollback_;
    Statement dataVersion_, keyExists_, findChild_, insertChild_, touchKey_, listSubkeys_, listValues_,
        readValueRow_, readValue_, upsertValue_, deleteValue_, countSubkeys_, deleteKeyValues_, deleteKey_,
        keyFixed_, keyParent_, subkeyInfo_, valueInfo_, keyLastWrite_;
};

// FILETIME of now.
int64_t FileTimeNow();

}  // namespace korin::registry
