#include "names.h"

#include "platform/nt/rtl.h"

namespace korin::registry {

std::u16string UpcaseName(std::u16string_view name) {
    std::u16string upper(name);
    for (char16_t& c : upper) c = RtlUpcaseUnicodeChar(c);
    return upper;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    }
    return true;
}

NTSTATUS SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>* components) {
    components->clear();
    if (path.empty()) return STATUS_SUCCESS;
    if (path.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    // One trailing separator is tolerated: callers build paths as "%s%s\".
    if (path.back() == u'\\') path.remove_suffix(1);
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
        if (part.empty()) return STATUS_OBJECT_NAME_INVALID;
        if (part.size() > kMaxKeyNameChars) return STATUS_INVALID_PARAMETER;
        components->push_back(part);
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CheckValueName(std::u16string_view name) {
    return name.size() > kMaxValueNameChars ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

std::u16string_view ViewOf(const UNICODE_STRING* string) {
    if (string == nullptr || string->Buffer == nullptr) return {};
    return {string->Buffer, static_cast<size_t>(string->Length / sizeof(WCHAR))};
}

}  // namespace korin::registry
