// A second process for the multi-process registry tests.
//
//   registry_peer write  DB KEY COUNT   writes DWORD values v0..v{COUNT-1} = index
//                                       under HKLM\KEY, printing each index on
//                                       stdout once its write has returned
//   registry_peer read   DB KEY COUNT   enumerates HKLM\KEY until it holds COUNT
//                                       values; every pass must show v0, v1, ...
//                                       in order with matching data
//   registry_peer delete DB KEY         deletes HKLM\KEY
//
// Exit status: 0 done, 1 a registry call failed, 2 an inconsistent read,
// 3 gave up waiting, 64 bad arguments.
#include "platform/registry/process_database.h"
#include "platform/win32/registry.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string ValueName(unsigned long i) { return Widen("v" + std::to_string(i)); }

int Write(const std::u16string& path, unsigned long count) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return 1;
    for (unsigned long i = 0; i < count; ++i) {
        DWORD data = static_cast<DWORD>(i);
        if (RegSetValueExW(key, ValueName(i).c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&data), 4)) return 1;
        std::string ack = std::to_string(i) + "\n";
        if (write(STDOUT_FILENO, ack.data(), ack.size()) != static_cast<ssize_t>(ack.size())) return 1;
    }
    RegCloseKey(key);
    return 0;
}

int Read(const std::u16string& path, unsigned long count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    HKEY key = nullptr;
    while (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        if (std::chrono::steady_clock::now() > deadline) return 3;
        usleep(1000);
    }
    while (true) {
        unsigned long seen = 0;
        for (;; ++seen) {
            WCHAR name[32];
            DWORD nameLength = 32, type, data, size = sizeof data;
            LSTATUS error = RegEnumValueW(key, static_cast<DWORD>(seen), name, &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(&data), &size);
            if (error == ERROR_NO_MORE_ITEMS) break;
            if (error != ERROR_SUCCESS) return 1;
            if (std::u16string(name) != ValueName(seen) || type != REG_DWORD || data != seen) return 2;
        }
        if (seen >= count) break;
        if (std::chrono::steady_clock::now() > deadline) return 3;
    }
    RegCloseKey(key);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 64;
    if (!NT_SUCCESS(korin::registry::OpenDatabase(argv[2]))) return 1;
    std::string mode = argv[1];
    std::u16string path = Widen(argv[3]);
    int result = 64;
    if (mode == "write" && argc == 5) result = Write(path, std::strtoul(argv[4], nullptr, 10));
    if (mode == "read" && argc == 5) result = Read(path, std::strtoul(argv[4], nullptr, 10));
    if (mode == "delete") result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()) == ERROR_SUCCESS ? 0 : 1;
    korin::registry::CloseDatabase();
    return result;
}
