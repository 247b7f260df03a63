// Names: UTF-16 names of the NT side against UTF-8 names of the host, case
// folding, splitting of paths into components.
#include "hostfs_internal.h"

namespace korin::hostfs {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // U+DC80..U+DCFF stand for bytes 0x80..0xFF

void AppendUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one well-formed UTF-8 sequence at s[i]; 0 when the bytes there are
// not one (overlong forms, surrogates and values above U+10FFFF included).
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t* cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t n;
    uint32_t v, min;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        n = 2, v = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, v = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, v = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        v = (v << 6) | (b(i + k) & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return n;
}

}  // namespace

void ToWideName(std::string_view name, std::u16string* out) {
    out->clear();
    out->reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        uint32_t cp;
        size_t n = DecodeUtf8(name, i, &cp);
        if (n == 0) {
            out->push_back(static_cast<char16_t>(kEscapeBase | static_cast<unsigned char>(name[i])));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
}

bool ToHostName(std::u16string_view name, std::string* out) {
    out->clear();
    out->reserve(name.size());
    bool escaped = false;
    for (size_t i = 0; i < name.size(); ++i) {
        char16_t c = name[i];
        if (c == 0 || c == u'/') return false;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            AppendUtf8(0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (name[i + 1] - 0xDC00), out);
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            out->push_back(static_cast<char>(c & 0xFF));
            escaped = true;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        } else {
            AppendUtf8(c, out);
        }
    }
    if (escaped) {
        // Escapes that together form valid UTF-8 would name the same host
        // file as the decoded characters; only the form the host listing
        // shows is accepted.
        std::u16string back;
        ToWideName(*out, &back);
        if (back != name) return false;
    }
    return true;
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
