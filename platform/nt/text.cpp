// UTF-8 <-> UTF-16, strict and with escaped bytes.
#include "platform/nt/text.h"

#include <cstdint>

namespace korin::text {
namespace {

constexpr char16_t kByteEscape = 0xDC00;  // U+DC80..U+DCFF stand for bytes 0x80..0xFF

}  // namespace

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
    if (value < minimum || value > 0x10FFFF || IsSurrogate(value)) return 0;
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

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        size_t length = DecodeUtf8(text, i, &cp);
        if (length == 0) return std::nullopt;
        AppendUtf16(cp, &out);
        i += length;
    }
    return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            AppendUtf8(FromSurrogates(u, text[i + 1]), &out);
            ++i;
        } else if (IsSurrogate(u)) {
            return std::nullopt;
        } else {
            AppendUtf8(u, &out);
        }
    }
    return out;
}

std::u16string WideFromBytes(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        char32_t cp;
        size_t length = DecodeUtf8(bytes, i, &cp);
        if (length == 0) {
            out.push_back(static_cast<char16_t>(kByteEscape + static_cast<uint8_t>(bytes[i])));
            ++i;
        } else {
            AppendUtf16(cp, &out);
            i += length;
        }
    }
    return out;
}

bool BytesFromWide(std::u16string_view wide, std::string* out) {
    out->clear();
    out->reserve(wide.size());
    bool escaped = false;
    for (size_t i = 0; i < wide.size(); ++i) {
        char16_t u = wide[i];
        if (IsHighSurrogate(u) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) {
            AppendUtf8(FromSurrogates(u, wide[i + 1]), out);
            ++i;
        } else if (u >= kByteEscape + 0x80 && u <= kByteEscape + 0xFF) {
            out->push_back(static_cast<char>(u - kByteEscape));
            escaped = true;
        } else if (IsSurrogate(u)) {
            return false;
        } else {
            AppendUtf8(u, out);
        }
    }
    // Without escapes well-formed UTF-16 always comes back as itself; escapes
    // that together form valid UTF-8 would come back decoded instead.
    return !escaped || WideFromBytes(*out) == wide;
}

}  // namespace korin::text
