// Counted strings over std::u16string and back.
#pragma once

#include "platform/nt/ntbase.h"

#include <string>

namespace korin::testsupport {

// A counted string over text (which must outlive it).
inline UNICODE_STRING Counted(const std::u16string& text) {
    return UNICODE_STRING{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(text.size() * sizeof(WCHAR)), const_cast<PWSTR>(text.data())};
}

inline std::u16string Text(const UNICODE_STRING& s) {
    return s.Buffer ? std::u16string(s.Buffer, s.Length / sizeof(WCHAR)) : std::u16string();
}

}  // namespace korin::testsupport
