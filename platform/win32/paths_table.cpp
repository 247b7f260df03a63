// The host drive table in the registry: korin-host stores it at boot, every
// process reads it.
#include "paths.h"

#include "platform/nt/zw.h"
#include "platform/registry/key.h"
#include "platform/registry/process_database.h"

#include <vector>

namespace korin::win32 {
namespace {

constexpr std::u16string_view kKorinKey = u"\\Registry\\Machine\\SYSTEM\\Korin";
constexpr std::u16string_view kDrivesKey = u"\\Registry\\Machine\\SYSTEM\\Korin\\HostDrives";

// The text of a REG_SZ value, without its terminating NULs; nullopt for
// another type or text that is not UTF-16.
std::optional<std::string> TextOf(const registry::ValueEntry& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return std::nullopt;
    std::u16string text(value.data.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(value.data[2 * i] | (value.data[2 * i + 1] << 8));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return Utf16ToUtf8(text);
}

NTSTATUS SetText(const registry::Key& key, std::u16string_view name, const std::string& text) {
    auto utf16 = Utf8ToUtf16(text);
    if (!utf16) return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> data;
    for (char16_t c : *utf16 + u'\0') {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    return key.SetValue(name, REG_SZ, data.data(), data.size());
}

// Sets or removes (nullopt) one value of the Korin key.
NTSTATUS SetOptionalText(const registry::Key& key, std::u16string_view name, const std::optional<std::string>& text) {
    if (text) return SetText(key, name, *text);
    NTSTATUS status = key.DeleteValue(name);
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
}

}  // namespace

HostDriveTable LoadHostDriveTable() {
    HostDriveTable table;
    auto db = registry::CurrentDatabase();
    if (!db) return table;
    std::shared_ptr<registry::Key> drives, korin;
    if (NT_SUCCESS(registry::Key::OpenAbsolute(db, kDrivesKey, KEY_READ, &drives))) {
        table.letters.clear();
        registry::ValueEntry value;
        for (ULONG i = 0; NT_SUCCESS(drives->EnumerateValue(i, &value)); ++i) {
            auto directory = TextOf(value);
            if (value.name.size() != 1 || !directory) continue;
            char16_t letter = value.name[0];
            if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - u'a' + u'A');
            if (letter >= u'A' && letter <= u'Z') table.letters[letter] = *directory;
        }
    }
    if (NT_SUCCESS(registry::Key::OpenAbsolute(db, kKorinKey, KEY_READ, &korin))) {
        registry::ValueEntry value;
        if (NT_SUCCESS(korin->QueryValue(u"UncRoot", &value))) {
            auto text = TextOf(value);
            if (text && !text->empty()) table.uncRoot = *text;
        }
        if (NT_SUCCESS(korin->QueryValue(u"MountRoot", &value))) {
            auto text = TextOf(value);
            if (text && !text->empty()) table.mountRoot = *text;
        }
    }
    return table;
}

NTSTATUS StoreHostDriveTable(const HostDriveTable& table) {
    auto db = registry::CurrentDatabase();
    if (!db) return STATUS_IO_DEVICE_ERROR;
    std::shared_ptr<registry::Key> drives, korin;
    ULONG disposition;
    NTSTATUS status = registry::Key::CreateAbsolute(db, kDrivesKey, KEY_ALL_ACCESS, registry::CreateMode::kWholePath,
                                                    &drives, &disposition);
    if (!NT_SUCCESS(status)) return status;
    status = registry::Key::OpenAbsolute(db, kKorinKey, KEY_ALL_ACCESS, &korin);
    if (!NT_SUCCESS(status)) return status;

    // Letters of an earlier configuration go first.
    std::vector<std::u16string> stale;
    registry::ValueEntry value;
    for (ULONG i = 0; NT_SUCCESS(drives->EnumerateValue(i, &value)); ++i) {
        bool keep = value.name.size() == 1 && table.letters.count(value.name[0]);
        if (!keep) stale.push_back(value.name);
    }
    for (const auto& name : stale)
        if (NTSTATUS s = drives->DeleteValue(name); !NT_SUCCESS(s)) return s;
    for (const auto& [letter, directory] : table.letters)
        if (NTSTATUS s = SetText(*drives, std::u16string(1, letter), directory); !NT_SUCCESS(s)) return s;
    if (NTSTATUS s = SetOptionalText(*korin, u"UncRoot", table.uncRoot); !NT_SUCCESS(s)) return s;
    return SetOptionalText(*korin, u"MountRoot", table.mountRoot);
}

}  // namespace korin::win32
