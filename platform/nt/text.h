// UTF-8 <-> UTF-16 for the platform and the programs on it.
//
// Two families: the strict one refuses anything that is not well-formed
// text; the escaped one carries host name bytes that are not valid UTF-8 as
// U+DC80..U+DCFF, so every host name reaches the UTF-16 side and comes back
// as the same bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korin::text {

// Decodes one well-formed UTF-8 sequence at text[i] into *cp and returns its
// length; 0 when the bytes there are not one (overlong forms, surrogates,
// values above U+10FFFF, truncated sequences).
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* cp);

// Appends the UTF-8 / UTF-16 form of one code point.
void AppendUtf8(char32_t cp, std::string* out);
void AppendUtf16(char32_t cp, std::u16string* out);

inline bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
inline bool IsSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDFFF; }
// The code point of the pair high, low.
inline char32_t FromSurrogates(char16_t high, char16_t low) {
    return 0x10000 + ((char32_t(high) - 0xD800) << 10) + (char32_t(low) - 0xDC00);
}

// Strict: nullopt for bytes that are not UTF-8, or units with a lone
// surrogate.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);

// Escaped: bytes that are not part of valid UTF-8 become U+DC80..U+DCFF.
// Never fails.
std::u16string WideFromBytes(std::string_view bytes);

// The reverse of WideFromBytes into *out. FALSE when the units stand for no
// bytes (a surrogate that is neither paired nor an escaped byte), or when
// escaped bytes happen to spell valid UTF-8: those bytes would come back as
// other units, so the name would alias another. *out is unspecified then.
bool BytesFromWide(std::u16string_view wide, std::string* out);

}  // namespace korin::text
