// Small helpers for tests that build counted strings from literals.
#pragma once

#include "platform/nt/ntbase.h"
#include "platform/nt/rtl.h"

#include <string>

namespace korin::test {

// A counted string over a literal (or any NUL-terminated buffer that outlives it).
inline UNICODE_STRING Ustr(const char16_t* s) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

inline std::u16string Text(const UNICODE_STRING& s) {
    return s.Buffer ? std::u16string(s.Buffer, s.Length / sizeof(WCHAR)) : std::u16string();
}

}  // namespace korin::test
