// Service keys: opening, typed values, deleting a whole tree.
#include "services_internal.h"

#include "platform/nt/zw.h"
#include "platform/registry/process_database.h"

namespace korin::win32::services {

const std::u16string kServicesKey = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";

bool IsValidName(const std::u16string& name) {
    if (name.empty() || name.size() > 256) return false;
    for (char16_t c : name)
        if (c == u'\\' || c == u'/' || c == u'\0') return false;
    return true;
}

DWORD OpenServiceKey(const std::u16string& name, ACCESS_MASK access, std::shared_ptr<registry::Key>* key) {
    if (!IsValidName(name)) return ERROR_INVALID_NAME;
    auto db = registry::CurrentDatabase();
    if (!db) return ERROR_INTERNAL_ERROR;
    NTSTATUS status = registry::Key::OpenAbsolute(db, kServicesKey + u"\\" + name, access | KEY_QUERY_VALUE, key);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (!NT_SUCCESS(status)) return ErrorOfStatus(status);
    if (!ReadDword(**key, u"Type")) return ERROR_SERVICE_DOES_NOT_EXIST;
    return ERROR_SUCCESS;
}

std::optional<DWORD> ReadDword(const registry::Key& key, std::u16string_view name) {
    registry::ValueEntry value;
    if (!NT_SUCCESS(key.QueryValue(name, &value)) || value.type != REG_DWORD || value.data.size() != 4)
        return std::nullopt;
    return static_cast<DWORD>(value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                              (static_cast<DWORD>(value.data[3]) << 24));
}

std::optional<std::u16string> ReadText(const registry::Key& key, std::u16string_view name) {
    registry::ValueEntry value;
    if (!NT_SUCCESS(key.QueryValue(name, &value)) || (value.type != REG_SZ && value.type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string text(value.data.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(value.data[2 * i] | (value.data[2 * i + 1] << 8));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

NTSTATUS WriteDword(const registry::Key& key, std::u16string_view name, DWORD value) {
    uint8_t data[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                       static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return key.SetValue(name, REG_DWORD, data, sizeof data);
}

NTSTATUS WriteText(const registry::Key& key, std::u16string_view name, std::u16string_view text, ULONG type) {
    std::vector<uint8_t> data;
    data.reserve(2 * text.size() + 2);
    for (char16_t c : text) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return key.SetValue(name, type, data.data(), data.size());
}

NTSTATUS DeleteKeyTree(registry::Key& key) {
    registry::SubkeyList subkeys;
    NTSTATUS status = key.Subkeys(&subkeys);
    if (!NT_SUCCESS(status)) return status;
    for (const auto& entry : *subkeys) {
        std::shared_ptr<registry::Key> child;
        status = key.Open(entry.name, KEY_ALL_ACCESS, &child);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) continue;  // gone meanwhile
        if (!NT_SUCCESS(status)) return status;
        status = DeleteKeyTree(*child);
        if (!NT_SUCCESS(status)) return status;
    }
    return key.Delete();
}

std::vector<std::u16string> ListServiceKeys() {
    std::vector<std::u16string> names;
    auto db = registry::CurrentDatabase();
    std::shared_ptr<registry::Key> services;
    if (!db || !NT_SUCCESS(registry::Key::OpenAbsolute(db, kServicesKey, KEY_READ, &services))) return names;
    registry::SubkeyList subkeys;
    if (!NT_SUCCESS(services->Subkeys(&subkeys))) return names;
    for (const auto& entry : *subkeys) names.push_back(entry.name);
    return names;
}

DWORD ErrorOfStatus(NTSTATUS status) {
    DWORD error = RtlNtStatusToDosError(status);
    return error ? error : ERROR_INTERNAL_ERROR;
}

}  // namespace korin::win32::services
