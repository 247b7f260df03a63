// korin reg query: a registry key and everything below it, written as
// reg.exe writes a recursive query: each key's full path, then one
// "    name    REG_TYPE    data" line per value, then a blank line.

#include "cli.h"

#include "platform/win32/host_connection.h"
#include "platform/win32/registry.h"

#include <cstdio>
#include <cstring>

namespace korin::cli {

namespace {

struct Root {
    const char* shortName;
    const char* longName;
    HKEY key;
};

const Root kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
};

std::string TypeName(DWORD type) {
    switch (type) {
        case REG_NONE: return "REG_NONE";
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK: return "REG_LINK";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_QWORD: return "REG_QWORD";
        default: return "REG_TYPE_" + std::to_string(type);
    }
}

std::u16string Units(const std::vector<BYTE>& data) {
    std::u16string text(data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    return text;
}

std::string DataText(DWORD type, const std::vector<BYTE>& data) {
    char number[32];
    if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && data.size() == 4) {
        uint32_t value;
        std::memcpy(&value, data.data(), 4);
        if (type == REG_DWORD_BIG_ENDIAN) value = __builtin_bswap32(value);
        std::snprintf(number, sizeof number, "0x%x", value);
        return number;
    }
    if (type == REG_QWORD && data.size() == 8) {
        uint64_t value;
        std::memcpy(&value, data.data(), 8);
        std::snprintf(number, sizeof number, "0x%llx", static_cast<unsigned long long>(value));
        return number;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_LINK) {
        std::u16string text = Units(data);
        text = text.substr(0, text.find(u'\0'));
        return Narrow(text);
    }
    if (type == REG_MULTI_SZ) {
        std::u16string text = Units(data);
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        std::string shown;
        size_t start = 0;
        for (;;) {
            const size_t end = text.find(u'\0', start);
            shown += Narrow(text.substr(start, end - start));
            if (end == std::u16string::npos) break;
            shown += "\\0";
            start = end + 1;
        }
        return shown;
    }
    std::string hex;
    for (BYTE b : data) {
        std::snprintf(number, sizeof number, "%02X", b);
        hex += number;
    }
    return hex;
}

// Prints the values of key, growing the buffers to the sizes the key reports.
bool PrintValues(HKEY key) {
    DWORD maxName = 0, maxData = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr,
                     nullptr);
    for (DWORD index = 0;; ++index) {
        std::u16string name(maxName + 1, u'\0');
        std::vector<BYTE> data(maxData + 2);
        DWORD nameChars = static_cast<DWORD>(name.size()), dataBytes = static_cast<DWORD>(data.size()), type = 0;
        LSTATUS status =
            RegEnumValueW(key, index, name.data(), &nameChars, nullptr, &type, data.data(), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS) return true;
        if (status == ERROR_MORE_DATA) {  // the key changed while it was read
            maxName = 16384;
            maxData = dataBytes > maxData ? dataBytes : maxData * 2 + 256;
            --index;
            continue;
        }
        if (status != ERROR_SUCCESS) {
            Fail("cannot read a value: " + DescribeError(static_cast<DWORD>(status)));
            return false;
        }
        name.resize(nameChars);
        data.resize(dataBytes);
        std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : Narrow(name).c_str(), TypeName(type).c_str(),
                    DataText(type, data).c_str());
    }
}

// Prints key (named path) and, depth first, every key below it.
bool PrintKey(HKEY key, const std::string& path) {
    std::printf("%s\n", path.c_str());
    if (!PrintValues(key)) return false;
    std::printf("\n");
    std::vector<std::u16string> subkeys;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD chars = 256;
        LSTATUS status = RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            Fail("cannot read the subkeys of " + path + ": " + DescribeError(static_cast<DWORD>(status)));
            return false;
        }
        subkeys.emplace_back(name, chars);
    }
    for (const std::u16string& name : subkeys) {
        HKEY subkey = nullptr;
        if (RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &subkey) != ERROR_SUCCESS) continue;  // gone meanwhile
        const bool ok = PrintKey(subkey, path + "\\" + Narrow(name));
        RegCloseKey(subkey);
        if (!ok) return false;
    }
    return true;
}

int Query(const Args& args) {
    if (args.size() != 1) return UsageError("reg query needs a key, such as HKLM\\SYSTEM\\CurrentControlSet");
    std::string text = args[0];
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    const size_t slash = text.find('\\');
    std::string rootName = text.substr(0, slash);
    for (char& c : rootName) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const Root* root = nullptr;
    for (const Root& candidate : kRoots) {
        if (rootName == candidate.shortName || rootName == candidate.longName) root = &candidate;
    }
    if (!root) return UsageError("the key must start with HKLM, HKCU, HKCR or HKU");
    std::string sub = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    while (!sub.empty() && sub.back() == '\\') sub.pop_back();
    bool ok = false;
    const std::u16string wideSub = Wide(sub, &ok);
    if (!ok) return UsageError("the key is not valid UTF-8");
    // Reading needs no host; with one running, read the registry it uses.
    if (win32::QueryHost(Home()).answering && !ConnectHost()) return kExitFailure;

    HKEY key = nullptr;
    if (RegOpenKeyExW(root->key, wideSub.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        std::fprintf(stderr, "ERROR: The system was unable to find the specified registry key or value.\n");
        return kExitFailure;
    }
    std::printf("\n");
    const bool printed = PrintKey(key, std::string(root->longName) + (sub.empty() ? "" : "\\" + sub));
    RegCloseKey(key);
    return printed ? kExitOk : kExitFailure;
}

}  // namespace

std::vector<Command> RegistryCommands() {
    return {{"reg query", "print a registry key and everything below it, as reg.exe query /s does", "KEY", Query}};
}

}  // namespace korin::cli
