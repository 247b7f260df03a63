// Names: UTF-16 names of the NT side against UTF-8 names of the host, case
// folding, splitting of paths into components.
#include "hostfs_internal.h"
#include "platform/nt/text.h"

namespace korin::hostfs {

void ToWideName(std::string_view name, std::u16string* out) { *out = text::WideFromBytes(name); }

bool ToHostName(std::u16string_view name, std::string* out) {
    for (char16_t c : name) {
        if (c == 0 || c == u'/') return false;
    }
    // Escapes that together form valid UTF-8 would name the same host file
    // as the decoded characters; BytesFromWide accepts only the form the
    // host listing shows.
    return text::BytesFromWide(name, out);
}

void UpcaseName(std::u16string* name) {
    const WCHAR* up = korin::rtl::UpcaseTable();
    for (auto& c : *name) c = up[c];
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    const WCHAR* up = korin::rtl::UpcaseTable();
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && up[a[i]] != up[b[i]]) return false;
    }
    return true;
}

NTSTATUS SplitName(std::u16string_view name, std::vector<std::string>* components, bool* trailingSlash) {
    components->clear();
    *trailingSlash = false;
    if (!name.empty() && name.front() == u'\\') name.remove_prefix(1);
    if (!name.empty() && name.back() == u'\\') {
        name.remove_suffix(1);
        *trailingSlash = true;
        if (name.empty()) return STATUS_OBJECT_NAME_INVALID;  // "\\" or "\" after a relative base
    }
    while (!name.empty()) {
        size_t end = name.find(u'\\');
        std::u16string_view part = name.substr(0, end);
        if (part.empty() || part == u"." || part == u"..") return STATUS_OBJECT_NAME_INVALID;
        std::string host;
        if (!ToHostName(part, &host)) return STATUS_OBJECT_NAME_INVALID;
        components->push_back(std::move(host));
        if (end == std::u16string_view::npos) break;
        name.remove_prefix(end + 1);
        if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

std::string_view LastComponent(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view ParentOf(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string_view();
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string JoinPath(std::string_view directory, std::string_view name) {
    std::string out;
    out.reserve(directory.size() + 1 + name.size());
    out.append(directory);
    if (directory.empty() || directory.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

}  // namespace korin::hostfs
