// Win32 paths <-> host paths through the host drive table, and the UTF-8 /
// UTF-16 conversions they need.
#include "paths.h"

#include <vector>

namespace korin::win32 {
namespace {

using Components = std::vector<std::u16string>;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
char16_t Upcase(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// Splits a Win32 path tail into components, resolving "." and ".." without
// going above the first `floor` components (the share of a UNC path).
// False for a NUL inside the path.
bool SplitWin32(std::u16string_view tail, size_t floor, Components* out) {
    size_t i = 0;
    while (i <= tail.size()) {
        size_t j = i;
        while (j < tail.size() && !IsSeparator(tail[j])) {
            if (tail[j] == 0) return false;
            ++j;
        }
        std::u16string part(tail.substr(i, j - i));
        if (part == u"..") {
            if (out->size() > floor) out->pop_back();
        } else if (!part.empty() && part != u".") {
            out->push_back(std::move(part));
        }
        i = j + 1;
    }
    return true;
}

// Splits an absolute host path into components, resolving "." and ".." lexically.
std::vector<std::string> SplitHost(std::string_view path) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string part(path.substr(i, j - i));
        if (part == "..") {
            if (!out.empty()) out.pop_back();
        } else if (!part.empty() && part != ".") {
            out.push_back(std::move(part));
        }
        i = j + 1;
    }
    return out;
}

std::optional<std::string> JoinHost(const std::string& base, const Components& parts) {
    std::string out = base;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    for (const auto& part : parts) {
        auto utf8 = Utf16ToUtf8(part);
        if (!utf8) return std::nullopt;
        if (out.empty() || out.back() != '/') out += '/';
        out += *utf8;
    }
    return out;
}

bool StartsWith(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Upcase(s[i]) != Upcase(prefix[i]) && !(IsSeparator(s[i]) && IsSeparator(prefix[i]))) return false;
    return true;
}

std::optional<std::string> DrivePath(std::u16string_view path, const HostDriveTable& table) {
    // "X:" then a separator: a drive-relative path ("X:file") has no meaning here.
    if (path.size() < 3 || !IsLetter(path[0]) || path[1] != u':' || !IsSeparator(path[2])) return std::nullopt;
    auto it = table.letters.find(Upcase(path[0]));
    if (it == table.letters.end()) return std::nullopt;
    Components parts;
    if (!SplitWin32(path.substr(3), 0, &parts)) return std::nullopt;
    return JoinHost(it->second, parts);
}

std::optional<std::string> UncPath(std::u16string_view tail, const HostDriveTable& table) {
    if (!table.uncRoot) return std::nullopt;
    Components parts;
    // Server and share are taken as they stand: "." or ".." cannot name either.
    size_t i = 0;
    for (int k = 0; k < 2; ++k) {
        if (i > tail.size()) return std::nullopt;  // "\\server" without a share
        size_t j = i;
        while (j < tail.size() && !IsSeparator(tail[j])) ++j;
        std::u16string part(tail.substr(i, j - i));
        if (part.empty() || part == u"." || part == u".." || part.find(u'\0') != std::u16string::npos)
            return std::nullopt;
        parts.push_back(std::move(part));
        i = j + 1;
    }
    if (i < tail.size() && !SplitWin32(tail.substr(i), 2, &parts)) return std::nullopt;
    return JoinHost(*table.uncRoot, parts);
}

}  // namespace

std::optional<std::string> Win32PathToHostPath(std::u16string_view path, const HostDriveTable& table) {
    for (std::u16string_view prefix : {u"\\\\?\\UNC\\", u"\\??\\UNC\\"})
        if (StartsWith(path, prefix)) return UncPath(path.substr(prefix.size()), table);
    for (std::u16string_view prefix : {u"\\\\?\\", u"\\??\\", u"\\\\.\\"})
        if (StartsWith(path, prefix)) return DrivePath(path.substr(prefix.size()), table);
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return UncPath(path.substr(2), table);
    return DrivePath(path, table);
}

std::optional<std::string> Win32PathToHostPath(std::u16string_view path) {
    return Win32PathToHostPath(path, LoadHostDriveTable());
}

std::optional<std::u16string> HostPathToWin32Path(std::string_view path, const HostDriveTable& table) {
    if (path.empty() || path[0] != '/') return std::nullopt;
    const auto parts = SplitHost(path);
    auto holds = [&](const std::string& directory, size_t* depth) {
        auto base = SplitHost(directory);
        if (directory.empty() || directory[0] != '/' || base.size() > parts.size()) return false;
        for (size_t i = 0; i < base.size(); ++i)
            if (base[i] != parts[i]) return false;
        *depth = base.size();
        return true;
    };

    std::optional<char16_t> letter;
    size_t best = 0;
    for (const auto& [l, directory] : table.letters) {
        size_t depth;
        if (holds(directory, &depth) && (!letter || depth > best)) {
            letter = l;
            best = depth;
        }
    }
    std::u16string prefix;  // "\\" before server and share, or "X:"
    size_t first;
    size_t uncDepth;
    if (table.uncRoot && holds(*table.uncRoot, &uncDepth) && parts.size() >= uncDepth + 2 &&
        (!letter || uncDepth > best)) {
        prefix.push_back(u'\\');
        first = uncDepth;
    } else if (letter) {
        prefix.push_back(*letter);
        prefix.push_back(u':');
        first = best;
    } else {
        return std::nullopt;
    }
    std::u16string rest;
    for (size_t i = first; i < parts.size(); ++i) {
        auto utf16 = Utf8ToUtf16(parts[i]);
        if (!utf16 || utf16->find(u'\\') != std::u16string::npos) return std::nullopt;
        rest.push_back(u'\\');
        rest.append(*utf16);
    }
    if (rest.empty()) rest.push_back(u'\\');  // a drive's root is "C:\"
    return prefix + rest;
}

std::optional<std::u16string> HostPathToWin32Path(std::string_view path) {
    return HostPathToWin32Path(path, LoadHostDriveTable());
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
        uint8_t b = byte(i);
        uint32_t cp;
        size_t n;
        if (b < 0x80) {
            cp = b;
            n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            n = 4;
        } else {
            return std::nullopt;
        }
        if (i + n > text.size()) return std::nullopt;
        for (size_t k = 1; k < n; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += n;
    }
    return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return std::nullopt;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return std::nullopt;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace korin::win32
