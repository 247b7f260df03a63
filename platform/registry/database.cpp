#include "database.h"

#include "names.h"

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

namespace korin::registry {

static_assert(std::endian::native == std::endian::little, "names are stored as little-endian UTF-16");

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;
// Entries in the name cache before it starts over.
constexpr size_t kMaxCachedNames = 1 << 14;

// The name as stored: its UTF-16 code units, byte-exact.
std::string NameBlob(std::u16string_view name) {
    return std::string(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(char16_t));
}

// The lookup and ordering key: upper-cased code units, big-endian, so that a
// byte comparison orders like a comparison of code units.
std::string UpnameBlob(std::u16string_view name) {
    std::u16string upper = UpcaseName(name);
    std::string blob(upper.size() * 2, '\0');
    for (size_t i = 0; i < upper.size(); ++i) {
        blob[2 * i] = static_cast<char>(upper[i] >> 8);
        blob[2 * i + 1] = static_cast<char>(upper[i] & 0xFF);
    }
    return blob;
}

std::string CacheKey(KeyId parent, const std::string& upname) {
    std::string key(sizeof parent, '\0');
    std::memcpy(key.data(), &parent, sizeof parent);
    return key += upname;
}

std::u16string DecodeName(std::string_view bytes) {
    std::u16string name(bytes.size() / 2, u'\0');
    if (!name.empty()) std::memcpy(name.data(), bytes.data(), name.size() * 2);
    return name;
}

}  // namespace

int64_t FileTimeNow() {
    constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsFileTime + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

// One transaction on the connection; rolled back unless committed. Writers
// begin IMMEDIATE so that they queue on the busy timeout at the start rather
// than failing on a lock upgrade half-way.
class Database::Transaction {
public:
    enum Kind { kRead, kWrite };
    Transaction(Database& db, Kind kind) : db_(db) {
        rc_ = Run(kind == kWrite ? db_.beginWrite_ : db_.beginRead_);
        open_ = rc_ == SQLITE_OK;
    }
    ~Transaction() {
        if (open_) Run(db_.rollback_);
    }
    // SQLITE_OK when the transaction began.
    int BeginResult() const { return rc_; }
    NTSTATUS Commit() {
        int rc = Run(db_.commit_);
        if (rc != SQLITE_OK) return db_.Fail(rc, "commit");
        open_ = false;
        return STATUS_SUCCESS;
    }

private:
    static int Run(const Statement& statement) {
        Query q(statement);
        int rc = q.Step();
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    Database& db_;
    int rc_;
    bool open_;
};

NTSTATUS Database::Open(const std::string& path, std::shared_ptr<Database>* out) {
    std::shared_ptr<Database> db(new Database(path));
    NTSTATUS status = db->Initialize();
    if (!NT_SUCCESS(status)) return status;
    *out = std::move(db);
    return STATUS_SUCCESS;
}

Database::~Database() { sqlite3_close_v2(db_); }

// Maps an SQLite failure to the status callers see, and says what failed on
// stderr: these are faults of the store, never of the caller's request.
NTSTATUS Database::Fail(int rc, const char* what) {
    std::fprintf(stderr, "korin registry: %s failed on %s: %s\n", what, path_.c_str(),
                 db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    switch (rc & 0xFF) {
    case SQLITE_FULL: return STATUS_DISK_FULL;
    case SQLITE_NOMEM: return STATUS_NO_MEMORY;
    case SQLITE_TOOBIG: return STATUS_INSUFFICIENT_RESOURCES;
    case SQLITE_READONLY: return STATUS_MEDIA_WRITE_PROTECTED;
    default: return STATUS_IO_DEVICE_ERROR;
    }
}

NTSTATUS Database::Exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? STATUS_SUCCESS : Fail(rc, sql);
}

NTSTATUS Database::Initialize() {
    int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) return Fail(rc, "open");
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // WAL: readers in other processes never wait for the writer. NORMAL
    // synchronisation loses nothing when a process dies; only a power cut
    // may drop the last commits.
    NTSTATUS status = Exec("PRAGMA journal_mode=WAL");
    if (NT_SUCCESS(status)) status = Exec("PRAGMA synchronous=NORMAL");
    if (!NT_SUCCESS(status)) return status;
    for (auto [statement, sql] : {std::pair{&beginRead_, "BEGIN"}, std::pair{&beginWrite_, "BEGIN IMMEDIATE"},
                                  std::pair{&commit_, "COMMIT"}, std::pair{&rollback_, "ROLLBACK"}}) {
        rc = statement->Prepare(db_, sql);
        if (rc != SQLITE_OK) return Fail(rc, sql);
    }
    status = CreateLayout();
    if (!NT_SUCCESS(status)) return status;

    struct {
        Statement* statement;
        const char* sql;
    } const statements[] = {
        {&dataVersion_, "PRAGMA data_version"},
        {&keyExists_, "SELECT parent, fixed FROM keys WHERE id = ?1"},
        {&findChild_, "SELECT id FROM keys WHERE parent = ?1 AND upname = ?2"},
        {&insertChild_, "INSERT INTO keys(parent, name, upname, last_write, fixed) VALUES(?1, ?2, ?3, ?4, ?5)"},
        {&touchKey_, "UPDATE keys SET last_write = ?2 WHERE id = ?1"},
        {&listSubkeys_, "SELECT name, last_write FROM keys WHERE parent = ?1 ORDER BY upname"},
        {&listValues_, "SELECT id, name FROM key_values WHERE key = ?1 ORDER BY id"},
        {&readValueRow_, "SELECT name, type, data FROM key_values WHERE id = ?1"},
        {&readValue_, "SELECT name, type, data FROM key_values WHERE key = ?1 AND upname = ?2"},
        {&upsertValue_,
         "INSERT INTO key_values(key, name, upname, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
         "ON CONFLICT(key, upname) DO UPDATE SET type = excluded.type, data = excluded.data"},
        {&deleteValue_, "DELETE FROM key_values WHERE key = ?1 AND upname = ?2"},
        {&countSubkeys_, "SELECT EXISTS(SELECT 1 FROM keys WHERE parent = ?1)"},
        {&deleteKeyValues_, "DELETE FROM key_values WHERE key = ?1"},
        {&deleteKey_, "DELETE FROM keys WHERE id = ?1"},
        {&subkeyInfo_, "SELECT count(*), coalesce(max(length(name)), 0) FROM keys WHERE parent = ?1"},
        {&valueInfo_,
         "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0) "
         "FROM key_values WHERE key = ?1"},
        {&keyLastWrite_, "SELECT last_write FROM keys WHERE id = ?1"},
    };
    for (const auto& s : statements) {
        rc = s.statement->Prepare(db_, s.sql);
        if (rc != SQLITE_OK) return Fail(rc, s.sql);
    }

    Statement root;
    rc = root.Prepare(db_, "SELECT id FROM keys WHERE parent IS NULL");
    if (rc != SQLITE_OK) return Fail(rc, "root lookup");
    Query q(root);
    rc = q.Step();
    if (rc != SQLITE_ROW) return Fail(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc, "root lookup");
    root_ = q.ColumnInt(0);
    return STATUS_SUCCESS;
}

// Creates the tables and the hive roots once, under a write lock so that
// two processes opening a new file at the same moment do not both build it.
NTSTATUS Database::CreateLayout() {
    Transaction txn(*this, Transaction::kWrite);
    if (txn.BeginResult() != SQLITE_OK) return Fail(txn.BeginResult(), "layout");
    Statement version;
    int rc = version.Prepare(db_, "PRAGMA user_version");
    if (rc != SQLITE_OK) return Fail(rc, "layout");
    int64_t current;
    {
        Query q(version);
        if ((rc = q.Step()) != SQLITE_ROW) return Fail(rc, "layout");
        current = q.ColumnInt(0);
    }
    if (current == kSchemaVersion) return txn.Commit();
    if (current != 0) {
        std::fprintf(stderr, "korin registry: %s has unknown layout version %lld\n", path_.c_str(),
                     static_cast<long long>(current));
        return STATUS_IO_DEVICE_ERROR;
    }
    NTSTATUS status = Exec(
        "CREATE TABLE keys("
        "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
        "  parent INTEGER,"
        "  name BLOB NOT NULL,"
        "  upname BLOB NOT NULL,"
        "  last_write INTEGER NOT NULL,"
        "  fixed INTEGER NOT NULL DEFAULT 0);"
        "CREATE UNIQUE INDEX keys_by_name ON keys(parent, upname);"
        "CREATE TABLE key_values("
        "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
        "  key INTEGER NOT NULL,"
        "  name BLOB NOT NULL,"
        "  upname BLOB NOT NULL,"
        "  type INTEGER NOT NULL,"
        "  data BLOB NOT NULL);"
        "CREATE UNIQUE INDEX values_by_name ON key_values(key, upname);");
    if (!NT_SUCCESS(status)) return status;
    // Prepared here, before the other statements, because the tables are new.
    if ((rc = insertChild_.Prepare(db_, "INSERT INTO keys(parent, name, upname, last_write, fixed) "
                                        "VALUES(?1, ?2, ?3, ?4, ?5)")) != SQLITE_OK)
        return Fail(rc, "layout");
    {
        Query q(insertChild_);
        std::u16string name = u"REGISTRY";
        q.Blob(2, NameBlob(name)).Blob(3, UpnameBlob(name)).Int(4, FileTimeNow()).Int(5, 1);
        if ((rc = q.Step()) != SQLITE_DONE) return Fail(rc, "layout");
    }
    KeyId registry = sqlite3_last_insert_rowid(db_);
    // Hive roots (fixed) and the keys every Windows installation has.
    struct Node {
        int parent;  // index in this table, -1 for \Registry
        const char16_t* name;
        bool fixed;
    } const layout[] = {
        {-1, u"MACHINE", true}, {0, u"SOFTWARE", true},    {1, u"Classes", false},  {0, u"SYSTEM", true},
        {-1, u"USER", true},    {4, u"CurrentUser", true}, {5, u"Software", false}, {6, u"Classes", false},
    };
    std::vector<KeyId> ids;
    for (const Node& node : layout) {
        KeyId id;
        status = InsertChildLocked(node.parent < 0 ? registry : ids[node.parent], node.name, node.fixed, &id);
        if (!NT_SUCCESS(status)) return status;
        ids.push_back(id);
    }
    status = Exec("PRAGMA user_version = 1");
    if (!NT_SUCCESS(status)) return status;
    return txn.Commit();
}

void Database::Changed(KeyId key) { changes_[key] = ++changeCounter_; }

void Database::ClearCacheLocked() {
    children_.clear();
    known_.clear();
    cacheVersion_ = -1;
    walHeaderValid_ = false;
}

bool Database::ReadWalHeaderLocked(std::array<unsigned char, 48>* out) {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr || file->pMethods->iVersion < 2 || file->pMethods->xShmMap == nullptr)
        return false;
    void volatile* region = nullptr;
    // The first 32 KiB region of the WAL index; its header is two copies of
    // 48 bytes, written second copy first, so equal copies are a whole one.
    if (file->pMethods->xShmMap(file, 0, 32768, 0, &region) != SQLITE_OK || region == nullptr) return false;
    const volatile unsigned char* bytes = static_cast<const volatile unsigned char*>(region);
    std::array<unsigned char, 48> second;
    for (size_t i = 0; i < out->size(); ++i) (*out)[i] = bytes[i];
    std::atomic_thread_fence(std::memory_order_acquire);
    for (size_t i = 0; i < second.size(); ++i) second[i] = bytes[out->size() + i];
    // isInit (byte 12) is set in a header that has been built.
    return *out == second && (*out)[12] != 0;
}

bool Database::CacheCurrentLocked() {
    if (cacheVersion_ < 0) return false;
    std::array<unsigned char, 48> header;
    bool haveHeader = ReadWalHeaderLocked(&header);
    if (haveHeader && walHeaderValid_ && header == walHeader_) return true;
    // Something committed since (this connection, maybe): ask whether it was
    // another connection. The header read before the question can only be
    // older than the answer, never newer.
    walHeaderValid_ = false;
    int64_t version = -1;
    {
        Query q(dataVersion_);
        if (q.Step() == SQLITE_ROW) version = q.ColumnInt(0);
    }
    if (version == cacheVersion_) {
        walHeader_ = header;
        walHeaderValid_ = haveHeader;
        return true;
    }
    ClearCacheLocked();
    return false;
}

void Database::CacheChildLocked(KeyId parent, const std::string& upname, KeyId child) {
    if (children_.size() >= kMaxCachedNames) {
        int64_t version = cacheVersion_;
        ClearCacheLocked();
        cacheVersion_ = version;
    }
    std::string key = CacheKey(parent, upname);
    known_[parent];
    if (children_.emplace(key, child).second) known_[child].push_back(std::move(key));
}

// The key is gone: its own entry and the names of its children (none, for a
// key that could be deleted) go with it.
void Database::ForgetKeyLocked(KeyId key) {
    auto it = known_.find(key);
    if (it == known_.end()) return;
    for (const std::string& entry : it->second) children_.erase(entry);
    known_.erase(it);
}

// The data version of the snapshot the open transaction reads.
NTSTATUS Database::ReadDataVersionLocked(int64_t* version) {
    Query q(dataVersion_);
    int rc = q.Step();
    if (rc != SQLITE_ROW) return Fail(rc, "data version");
    *version = q.ColumnInt(0);
    return STATUS_SUCCESS;
}

// Entries cached under another data version may describe deleted keys.
void Database::ResetCacheToVersionLocked(int64_t version) {
    if (version == cacheVersion_) return;
    ClearCacheLocked();
    cacheVersion_ = version;
}

ChangeStamp Database::Stamp(KeyId key) {
    std::lock_guard lock(mutex_);
    ChangeStamp stamp;
    Query q(dataVersion_);
    if (q.Step() == SQLITE_ROW) stamp.dataVersion = q.ColumnInt(0);
    auto it = changes_.find(key);
    if (it != changes_.end()) stamp.local = it->second;
    return stamp;
}

bool Database::KeyExistsLocked(KeyId key, NTSTATUS* status) {
    Query q(keyExists_);
    q.Int(1, key);
    int rc = q.Step();
    if (rc == SQLITE_ROW) {
        *status = STATUS_SUCCESS;
        return true;
    }
    *status = rc == SQLITE_DONE ? STATUS_KEY_DELETED : Fail(rc, "key lookup");
    return false;
}

NTSTATUS Database::CheckKey(KeyId key) {
    std::lock_guard lock(mutex_);
    NTSTATUS status;
    KeyExistsLocked(key, &status);
    return status;
}

NTSTATUS Database::FindChildLocked(KeyId parent, const std::string& upname, KeyId* child) {
    Query q(findChild_);
    q.Int(1, parent).Blob(2, upname);
    int rc = q.Step();
    if (rc == SQLITE_ROW) {
        *child = q.ColumnInt(0);
        return STATUS_SUCCESS;
    }
    return rc == SQLITE_DONE ? STATUS_OBJECT_NAME_NOT_FOUND : Fail(rc, "key lookup");
}

NTSTATUS Database::InsertChildLocked(KeyId parent, std::u16string_view name, bool fixed, KeyId* child) {
    Query q(insertChild_);
    q.Int(1, parent).Blob(2, NameBlob(name)).Blob(3, UpnameBlob(name)).Int(4, FileTimeNow()).Int(5, fixed);
    int rc = q.Step();
    if (rc != SQLITE_DONE) return Fail(rc, "key insert");
    *child = sqlite3_last_insert_rowid(db_);
    return STATUS_SUCCESS;
}

// Marks key as written now; *exists false when the key is gone.
NTSTATUS Database::TouchLocked(KeyId key, bool* exists) {
    Query q(touchKey_);
    q.Int(1, key).Int(2, FileTimeNow());
    int rc = q.Step();
    if (rc != SQLITE_DONE) return Fail(rc, "key update");
    *exists = sqlite3_changes(db_) > 0;
    return STATUS_SUCCESS;
}

NTSTATUS Database::LookupPath(KeyId start, const std::vector<std::u16string_view>& components, KeyId* out) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> upnames;
    upnames.reserve(components.size());
    for (std::u16string_view part : components) upnames.push_back(UpnameBlob(part));
    if (CacheCurrentLocked() && known_.count(start)) {
        KeyId current = start;
        bool hit = true;
        for (const std::string& upname : upnames) {
            auto it = children_.find(CacheKey(current, upname));
            if (it == children_.end()) {
                hit = false;
                break;
            }
            current = it->second;
        }
        if (hit) {
            *out = current;
            return STATUS_SUCCESS;
        }
    }
    Transaction txn(*this, Transaction::kRead);
    if (txn.BeginResult() != SQLITE_OK) return Fail(txn.BeginResult(), "begin");
    // The version read inside the transaction is the one its reads are
    // consistent with.
    int64_t version = -1;
    if (NTSTATUS status = ReadDataVersionLocked(&version); !NT_SUCCESS(status)) return status;
    ResetCacheToVersionLocked(version);
    NTSTATUS status;
    if (!KeyExistsLocked(start, &status)) {
        ForgetKeyLocked(start);
        return status;
    }
    known_[start];
    KeyId current = start;
    for (const std::string& upname : upnames) {
        KeyId parent = current;
        status = FindChildLocked(parent, upname, &current);
        if (!NT_SUCCESS(status)) return status;
        CacheChildLocked(parent, upname, current);
    }
    *out = current;
    return txn.Commit();
}

NTSTATUS Database::CreatePath(KeyId start, const std::vector<std::u16string_view>& components, bool intermediate,
                              KeyId* out, bool* created) {
    std::lock_guard lock(mutex_);
    Transaction txn(*this, Transaction::kWrite);
    if (txn.BeginResult() != SQLITE_OK) return Fail(txn.BeginResult(), "begin");
    int64_t version = -1;
    if (NTSTATUS status = ReadDataVersionLocked(&version); !NT_SUCCESS(status)) return status;
    NTSTATUS status;
    if (!KeyExistsLocked(start, &status)) return status;
    KeyId current = start;
    *created = false;
    struct Step {
        KeyId parent;
        std::string upname;
        KeyId child;
    };
    std::vector<Step> walked;
    walked.reserve(components.size());
    for (size_t i = 0; i < components.size(); ++i) {
        KeyId parent = current;
        std::string upname = UpnameBlob(components[i]);
        status = FindChildLocked(parent, upname, &current);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            bool last = i + 1 == components.size();
            if (!last && !intermediate) return STATUS_OBJECT_NAME_NOT_FOUND;
            status = InsertChildLocked(parent, components[i], false, &current);
            bool exists;
            if (NT_SUCCESS(status)) status = TouchLocked(parent, &exists);
            if (!NT_SUCCESS(status)) return status;
            Changed(parent);
            *created = last;
        } else if (!NT_SUCCESS(status)) {
            return status;
        }
        walked.push_back({parent, std::move(upname), current});
    }
    status = txn.Commit();
    if (!NT_SUCCESS(status)) return status;
    *out = current;
    // What this transaction read and wrote is the database as of version
    // plus this connection's own commits.
    ResetCacheToVersionLocked(version);
    known_[start];
    for (const Step& step : walked) CacheChildLocked(step.parent, step.upname, step.child);
    return STATUS_SUCCESS;
}

NTSTATUS Database::ListSubkeys(KeyId key, std::vector<SubkeyEntry>* out) {
    std::lock_guard lock(mutex_);
    Transaction txn(*this, Transaction::kRead);
    if (txn.BeginResult() != SQLITE_OK) return Fail(txn.BeginResult(), "begin");
    NTSTATUS status;
    if (!KeyExistsLocked(key, &status)) return status;
    out->clear();
    Query q(listSubkeys_);
    q.Int(1, key);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) out->push_back({DecodeName(q.ColumnBytes(0)), q.ColumnInt(1)});
    if (rc != SQLITE_DONE) return Fail(rc, "subkey list");
    return txn.Commit();
}

NTSTATUS Database::ListValues(KeyId key, std::vector<ValueRef>* out) {
    std::lock_guard lock(mutex_);
    Transaction txn(*this, Transaction::kRead);
    if (txn.BeginResult() != SQLITE_OK) return Fail(txn.BeginResult(), "begin");
    NTSTATUS status;
    if (!KeyExistsLocked(key, &status)) return status;
    out->clear();
    Query q(listValues_);
    q.Int(1, key);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) out->push_back({q.ColumnInt(0), DecodeName(q.ColumnBytes(1))});
    if (rc != SQLITE_DONE) return Fail(rc, "value list");
    return txn.Commit();
}

namespace {
void ReadValueColumns(const Query& q, ValueEntry* out) {
    out->name = DecodeName(q.ColumnBytes(0));
    out->type = static_cast<ULONG>(q.ColumnInt(1));
    std::string_view data = q.ColumnBytes(2);
    out->data.assign(data.begin(), data.end());
}
}  // namespace

NTSTATUS Database::ReadValueRow(int64_t row, ValueEntry* out) {
    std::lock_guard lock(mutex_);
    Query q(readValueRow_);
    q.Int(1, row);
    int rc = q.Step();
    if (rc == SQLITE_DONE) return STATUS_NO_MORE_ENTRIES;
    if (rc != SQLITE_ROW) return Fail(rc, "value read");
    ReadValueColumns(q, out);
    return STATUS_SUCCESS;
}

NTSTATUS Database::ReadValue(KeyId key, std::u16string_view name, ValueEntry* out) {
    std::lock_guard lock(mutex_);
    {
        Query q(readValue_);
        q.Int(1, key).Blob(2, UpnameBlob(name));
        int rc = q.Step();
        if (rc == SQLITE_ROW) {
            ReadValueColumns(q, out);
            return STATUS_SUCCESS;
        }
        if (rc != SQLITE_DONE) return Fail(rc, "value read");
    }
    NTSTATUS status;
    return KeyExistsLocked(key, &status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
}

NTSTATUS Database::WriteValue(KeyId key, std::u16string_view name, ULONG type, const void* data, size_t size) {
    std::lock_guard lock(mutex_);
    if (size > static_cast<size_t>(sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, -1))) return STATUS_INSUFFICIENT_RESOURCES;
    Transaction txn(*this, Transaction::kWrite);
    if (txn.BeginResult() != SQLITE_OK) return Fail(txn.BeginResult(), "begin");
    bool exists;
    NTSTATUS status = TouchLocked(key, &exists);
    if (!NT_SUCCESS(status)) return status;
    if (!exists) return STATUS_KEY_DELETED;
    {
        Query q(upsertValue_);
        q.Int(1, key).Blob(2, NameBlob(name)).Blob(3, UpnameBlob(name)).Int(4, type).Blob(5, data, size);
        int rc = q.Step();
        if (rc != SQLITE_DONE) return Fail(rc, "value write");
    }
    Changed(key);
    return txn.Commit();
}

NTSTATUS Database::DeleteValue(KeyId key, std::u16string_view name) {
    std::lock_guard lock(mutex_);
    Transaction txn(*this, Transaction::kWrite);
    if (txn.BeginResult() != SQLITE_OK) return Fail(txn.BeginResult(), "begin");
    bool exists;
    NTSTATUS status = TouchLocked(key, &exists);
    if (!NT_SUCCESS(status)) return status;
    if (!exists) return STATUS_KEY_DELETED;
    {
        Query q(deleteValue_);
        q.Int(1, key).Blob(2, UpnameBlob(name));
        int rc = q.Step();
        if (rc != SQLITE_DONE) return Fail(rc, "value delete");
    }
    if (sqlite3_changes(db_) == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    Changed(key);
    return txn.Commit();
}

NTSTATUS Database::DeleteKey(KeyId key) {
    std::lock_guard lock(mutex_);
    Transaction txn(*this, Transaction::kWrite);
    if (txn.BeginResult() != SQLITE_OK) return Fail(txn.BeginResult(), "begin");
    KeyId parent;
    {
        Query q(keyExists_);
        q.Int(1, key);
        int rc = q.Step();
        if (rc == SQLITE_DONE) return STATUS_KEY_DELETED;
        if (rc != SQLITE_ROW) return Fail(rc, "key lookup");
        if (q.ColumnInt(1) != 0) return STATUS_CANNOT_DELETE;
        parent = q.ColumnInt(0);
    }
    {
        Query q(countSubkeys_);
        q.Int(1, key);
        int rc = q.Step();
        if (rc != SQLITE_ROW) return Fail(rc, "subkey count");
        if (q.ColumnInt(0) != 0) return STATUS_CANNOT_DELETE;
    }
    for (const Statement* statement : {&deleteKeyValues_, &deleteKey_}) {
        Query q(*statement);
        q.Int(1, key);
        int rc = q.Step();
        if (rc != SQLITE_DONE) return Fail(rc, "key delete");
    }
    bool exists;
    NTSTATUS status = TouchLocked(parent, &exists);
    if (!NT_SUCCESS(status)) return status;
    Changed(key);
    Changed(parent);
    status = txn.Commit();
    if (NT_SUCCESS(status)) ForgetKeyLocked(key);
    return status;
}

NTSTATUS Database::QueryKeyInfo(KeyId key, KeyInfo* out) {
    std::lock_guard lock(mutex_);
    Transaction txn(*this, Transaction::kRead);
    if (txn.BeginResult() != SQLITE_OK) return Fail(txn.BeginResult(), "begin");
    {
        Query q(keyLastWrite_);
        q.Int(1, key);
        int rc = q.Step();
        if (rc == SQLITE_DONE) return STATUS_KEY_DELETED;
        if (rc != SQLITE_ROW) return Fail(rc, "key info");
        out->lastWrite = q.ColumnInt(0);
    }
    {
        Query q(subkeyInfo_);
        q.Int(1, key);
        int rc = q.Step();
        if (rc != SQLITE_ROW) return Fail(rc, "key info");
        out->subkeys = static_cast<ULONG>(q.ColumnInt(0));
        out->maxSubkeyNameBytes = static_cast<ULONG>(q.ColumnInt(1));
    }
    {
        Query q(valueInfo_);
        q.Int(1, key);
        int rc = q.Step();
        if (rc != SQLITE_ROW) return Fail(rc, "key info");
        out->values = static_cast<ULONG>(q.ColumnInt(0));
        out->maxValueNameBytes = static_cast<ULONG>(q.ColumnInt(1));
        out->maxValueDataBytes = static_cast<ULONG>(q.ColumnInt(2));
    }
    return txn.Commit();
}

}  // namespace korin::registry
