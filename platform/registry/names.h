// Registry names: limits, case-insensitive comparison and key path parsing.
//
// Key and value names keep the case they were created with and compare
// without case, using the kernel's simple (1:1) upper-case table, exactly as
// every other case-insensitive name in the system.
#pragma once

#include "platform/nt/ntbase.h"

#include <string>
#include <string_view>
#include <vector>

namespace korin::registry {

// Longest key name component and value name, in UTF-16 code units.
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

// The name with every code unit upper-cased (RtlUpcaseUnicodeChar).
std::u16string UpcaseName(std::u16string_view name);
bool NamesEqual(std::u16string_view a, std::u16string_view b);

// Splits a key path relative to an open key ("A\B\C", an optional trailing
// backslash allowed, "" meaning the key itself) into its components.
// Returns STATUS_OBJECT_PATH_SYNTAX_BAD for a leading backslash,
// STATUS_OBJECT_NAME_INVALID for an empty component ("A\\B"),
// STATUS_INVALID_PARAMETER for a component longer than kMaxKeyNameChars.
NTSTATUS SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>* components);

// STATUS_INVALID_PARAMETER for a value name longer than kMaxValueNameChars.
NTSTATUS CheckValueName(std::u16string_view name);

// A UNICODE_STRING as a view; NULL or empty means "".
std::u16string_view ViewOf(const UNICODE_STRING* string);

}  // namespace korin::registry
