// Thin RAII helpers over SQLite prepared statements for the registry database.
//
// A Statement is prepared once and reused; a Query binds it for one use and
// resets it when it goes out of scope, so a statement never stays busy
// (and never holds a read transaction open) after the call that used it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korin::registry {

class Statement {
public:
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    // Returns the SQLite result code of the preparation.
    int Prepare(sqlite3* db, const char* sql) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    }
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

class Query {
public:
    explicit Query(const Statement& statement) : stmt_(statement.get()) {}
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    ~Query() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    Query& Int(int index, int64_t value) {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    // Binds bytes as a BLOB without copying them: they must outlive the
    // query. An empty range binds an empty BLOB, never NULL.
    Query& Blob(int index, const void* data, size_t size) { return Bind(index, data, size, SQLITE_STATIC); }
    // Binds a copy of bytes (names are built as temporaries).
    Query& Blob(int index, const std::string& bytes) {
        return Bind(index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return sqlite3_step(stmt_); }

    int64_t ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string_view ColumnBytes(int column) const {
        const void* data = sqlite3_column_blob(stmt_, column);
        int size = sqlite3_column_bytes(stmt_, column);
        if (data == nullptr || size <= 0) return {};
        return {static_cast<const char*>(data), static_cast<size_t>(size)};
    }

private:
    Query& Bind(int index, const void* data, size_t size, sqlite3_destructor_type lifetime) {
        if (size == 0) {
            sqlite3_bind_zeroblob(stmt_, index, 0);
        } else {
            sqlite3_bind_blob64(stmt_, index, data, size, lifetime);
        }
        return *this;
    }

    sqlite3_stmt* stmt_;
};

}  // namespace korin::registry
