#include "process_database.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace korin::registry {

namespace {

std::mutex g_mutex;
std::shared_ptr<Database> g_database;

std::string HomeDirectory() {
    if (const char* home = std::getenv("KORIN_HOME"); home && *home) return home;
    const char* user = std::getenv("HOME");
    return std::string(user && *user ? user : ".") + "/.local/share/korin";
}

}  // namespace

std::string DefaultDatabasePath() { return HomeDirectory() + "/registry.db"; }

NTSTATUS OpenDatabase(const std::string& path) {
    std::shared_ptr<Database> db;
    NTSTATUS status = Database::Open(path, &db);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(g_mutex);
    g_database = std::move(db);
    return STATUS_SUCCESS;
}

void CloseDatabase() {
    std::shared_ptr<Database> old;
    std::lock_guard lock(g_mutex);
    old.swap(g_database);
}

std::shared_ptr<Database> CurrentDatabase() {
    std::lock_guard lock(g_mutex);
    if (g_database) return g_database;
    std::string home = HomeDirectory();
    std::error_code error;
    std::filesystem::create_directories(home, error);
    if (error) {
        std::fprintf(stderr, "korin registry: cannot create %s: %s\n", home.c_str(), error.message().c_str());
        return nullptr;
    }
    if (!NT_SUCCESS(Database::Open(home + "/registry.db", &g_database))) g_database.reset();
    return g_database;
}

}  // namespace korin::registry
