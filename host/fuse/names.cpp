// UTF-8 <-> UTF-16 for name components, with stray bytes carried as
// U+DC80..U+DCFF.
#include "names.h"

#include <cstdint>

namespace korin::fuse {
namespace {

constexpr char16_t kByteEscape = 0xDC00;  // U+DC80..U+DCFF stand for bytes 0x80..0xFF

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when the
// bytes there are not valid UTF-8 (overlong, surrogate, beyond U+10FFFF,
// truncated).
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* cp) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    size_t length;
    char32_t value, minimum;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, value = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, value = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, value = b0 & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        value = (value << 6) | (b & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return length;
}

void AppendUtf8(char32_t cp, std::string* out) {
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

void AppendUtf16(char32_t cp, std::u16string* out) {
    if (cp < 0x10000) {
        out->push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
}

// UTF-16 to bytes. unshowable receives whether a unit stood for nothing
// Linux can hold (a surrogate that is neither paired nor an escaped byte);
// such units become U+FFFD.
std::string ToBytes(std::u16string_view name, bool* unshowable) {
    std::string out;
    out.reserve(name.size());
    *unshowable = false;
    for (size_t i = 0; i < name.size(); ++i) {
        char16_t u = name[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            AppendUtf8(0x10000 + ((char32_t(u) - 0xD800) << 10) + (name[i + 1] - 0xDC00), &out);
            ++i;
        } else if (u >= kByteEscape + 0x80 && u <= kByteEscape + 0xFF) {
            out.push_back(static_cast<char>(u - kByteEscape));
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            *unshowable = true;
            AppendUtf8(0xFFFD, &out);
        } else {
            AppendUtf8(u, &out);
        }
    }
    return out;
}

std::u16string ToWide(std::string_view name) {
    std::u16string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        char32_t cp;
        size_t length = DecodeUtf8(name, i, &cp);
        if (length == 0) {
            out.push_back(static_cast<char16_t>(kByteEscape + static_cast<uint8_t>(name[i])));
            ++i;
        } else {
            AppendUtf16(cp, &out);
            i += length;
        }
    }
    return out;
}

}  // namespace

bool WideFromLinux(std::string_view name, std::u16string* out) {
    if (name.empty() || name.find('\\') != std::string_view::npos) return false;
    *out = ToWide(name);
    return true;
}

bool LinuxFromWide(std::u16string_view name, std::string* out) {
    if (name.empty() || name == u"." || name == u"..") return false;
    for (char16_t u : name) {
        if (u == u'/' || u == 0) return false;
    }
    bool unshowable;
    std::string bytes = ToBytes(name, &unshowable);
    // Escaped bytes that happen to spell valid UTF-8 would come back as
    // different units: that name would alias another, so it is not shown.
    if (unshowable || ToWide(bytes) != name) return false;
    *out = std::move(bytes);
    return true;
}

std::string Printable(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            AppendUtf8(0x10000 + ((char32_t(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00), &out);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(0xFFFD, &out);
        } else if (u < 0x20) {
            out.push_back('?');
        } else {
            AppendUtf8(u, &out);
        }
    }
    return out;
}

std::u16string_view DrivePath(std::u16string_view path) {
    constexpr std::u16string_view kPrefix = u"\\??\\";
    if (path.substr(0, kPrefix.size()) == kPrefix) path.remove_prefix(kPrefix.size());
    return path;
}

}  // namespace korin::fuse
