// Win32 paths <-> host paths through the host drive table, and the UTF-8 /
// UTF-16 conversions they need.
#include "paths.h"

#include <vector>

#include "platform/nt/text.h"

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

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) { return text::Utf8ToUtf16(text); }

std::optional<std::string> Utf16ToUtf8(std::u16string_view text) { return text::Utf16ToUtf8(text); }

}  // namespace korin::win32
