// What the service functions share: the service keys in the registry.
#pragma once

#include "services.h"

#include "platform/nt/zw.h"
#include "platform/registry/key.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korin::win32::services {

// "\Registry\Machine\SYSTEM\CurrentControlSet\Services".
extern const std::u16string kServicesKey;

// A name the service manager accepts: not empty, no backslash or slash, not
// longer than 256 characters.
bool IsValidName(const std::u16string& name);

// The service's key. ERROR_SERVICE_DOES_NOT_EXIST when the key is missing or
// has no Type value (a key some program made, not a service);
// ERROR_INVALID_NAME for a bad name.
DWORD OpenServiceKey(const std::u16string& name, ACCESS_MASK access, std::shared_ptr<registry::Key>* key);

std::optional<DWORD> ReadDword(const registry::Key& key, std::u16string_view name);
// REG_SZ or REG_EXPAND_SZ text without its terminating NULs.
std::optional<std::u16string> ReadText(const registry::Key& key, std::u16string_view name);
NTSTATUS WriteDword(const registry::Key& key, std::u16string_view name, DWORD value);
// Written with a terminating NUL, as RegSetValueExW callers store text.
NTSTATUS WriteText(const registry::Key& key, std::u16string_view name, std::u16string_view text,
                   ULONG type = REG_SZ);

// Deletes key and everything below it.
NTSTATUS DeleteKeyTree(registry::Key& key);

// Names of the subkeys of the Services key, in the registry's order.
std::vector<std::u16string> ListServiceKeys();

// The Win32 error of a registry status.
DWORD ErrorOfStatus(NTSTATUS status);

}  // namespace korin::win32::services
