// The registry database of this process: the one the Zw routines and the
// Reg functions use.
//
// korin-host opens $KORIN_HOME/registry.db at boot; tests open temporary
// files. A program that opened none gets the default file on first use.
#pragma once

#include "database.h"

#include <memory>
#include <string>

namespace korin::registry {

// Makes the file at path the process's registry (creating it when needed).
// Keys opened before keep using the database they were opened in.
NTSTATUS OpenDatabase(const std::string& path);
// Forgets the process's registry; the next use opens the default file.
void CloseDatabase();
// The process's registry, opening DefaultDatabasePath() when none is set;
// nullptr (with the reason on stderr) when that fails.
std::shared_ptr<Database> CurrentDatabase();
// $KORIN_HOME/registry.db, else ~/.local/share/korin/registry.db.
std::string DefaultDatabasePath();

}  // namespace korin::registry
