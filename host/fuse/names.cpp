// UTF-8 <-> UTF-16 for name components, with stray bytes carried as
// U+DC80..U+DCFF.
#include "names.h"

#include "platform/nt/text.h"

namespace korin::fuse {

bool WideFromLinux(std::string_view name, std::u16string* out) {
    if (name.empty() || name.find('\\') != std::string_view::npos) return false;
    *out = text::WideFromBytes(name);
    return true;
}

bool LinuxFromWide(std::u16string_view name, std::string* out) {
    if (name.empty() || name == u"." || name == u"..") return false;
    for (char16_t u : name) {
        if (u == u'/' || u == 0) return false;
    }
    // A surrogate that stands for no byte, or escaped bytes that happen to
    // spell valid UTF-8 (they would come back as different units, so the
    // name would alias another): not shown.
    std::string bytes;
    if (!text::BytesFromWide(name, &bytes)) return false;
    *out = std::move(bytes);
    return true;
}

std::string Printable(std::u16string_view units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        char16_t u = units[i];
        if (text::IsHighSurrogate(u) && i + 1 < units.size() && text::IsLowSurrogate(units[i + 1])) {
            text::AppendUtf8(text::FromSurrogates(u, units[i + 1]), &out);
            ++i;
        } else if (text::IsSurrogate(u)) {
            text::AppendUtf8(0xFFFD, &out);
        } else if (u < 0x20) {
            out.push_back('?');
        } else {
            text::AppendUtf8(u, &out);
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
