// Win32 path names to NT names, as the Win32 file calls hand them to the
// system: drive paths and UNC paths below "\??", normalised the way Win32
// normalises full path names.
#include "files.h"

#include <vector>

namespace korin::win32 {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// The components of rest with "." and ".." resolved (never above where rest
// starts) and empty components dropped; trailing dots and spaces leave the
// last one.
std::vector<std::u16string> Components(std::u16string_view rest) {
    std::vector<std::u16string> parts;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t end = pos;
        while (end < rest.size() && !IsSeparator(rest[end])) ++end;
        std::u16string part(rest.substr(pos, end - pos));
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(std::move(part));
        }
        pos = end + 1;
    }
    if (!parts.empty()) {
        std::u16string& last = parts.back();
        while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.pop_back();
        if (last.empty()) parts.pop_back();
    }
    return parts;
}

// root followed by the normalised rest; a separator that ended the path stays.
std::u16string Join(std::u16string root, std::u16string_view rest) {
    std::vector<std::u16string> parts = Components(rest);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) root += u'\\';
        root += parts[i];
    }
    if (!parts.empty() && !rest.empty() && IsSeparator(rest.back())) root += u'\\';
    return root;
}

// Skips n components (a UNC server and share), giving their text in *head.
bool SplitLeading(std::u16string_view path, int n, std::u16string* head, std::u16string_view* rest) {
    size_t pos = 0;
    for (int i = 0; i < n; ++i) {
        size_t end = pos;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        if (end == pos) return false;
        if (i) *head += u'\\';
        *head += path.substr(pos, end - pos);
        pos = end < path.size() ? end + 1 : end;
    }
    *rest = path.substr(pos);
    return true;
}

}  // namespace

std::optional<std::u16string> Win32PathToNtPath(std::u16string_view path) {
    // Names already in NT form ("\??\...", "\\?\...") are taken verbatim.
    if (StartsWith(path, u"\\??\\")) return std::u16string(path);
    if (StartsWith(path, u"\\\\?\\")) return u"\\??\\" + std::u16string(path.substr(4));
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == u'.' && IsSeparator(path[3])) {
        std::u16string head;
        std::u16string_view rest;
        if (!SplitLeading(path.substr(4), 1, &head, &rest)) return std::nullopt;
        std::u16string root = u"\\??\\" + head;
        return rest.empty() && !IsSeparator(path.back()) ? root : Join(root + u'\\', rest);
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        std::u16string share;
        std::u16string_view rest;
        if (!SplitLeading(path.substr(2), 2, &share, &rest)) return std::nullopt;
        std::u16string root = u"\\??\\UNC\\" + share;
        return rest.empty() && !IsSeparator(path.back()) ? root : Join(root + u'\\', rest);
    }
    if (path.size() >= 2 && IsLetter(path[0]) && path[1] == u':') {
        std::u16string root = u"\\??\\";
        root += path.substr(0, 2);
        root += u'\\';
        return Join(root, path.substr(2));
    }
    return std::nullopt;
}

}  // namespace korin::win32
