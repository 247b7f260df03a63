// korin-host's log: one line per event, with the time, to standard error or
// a file. Safe to call from any thread.
#pragma once

#include <cstdio>
#include <string>

namespace korin::host {

// Where lines go from now on (standard error until set). The log does not
// own the stream.
void SetLogStream(std::FILE* stream);
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// UTF-8 of a UTF-16 text for log lines ("?" for what cannot be shown).
std::string Narrow(const std::u16string& text);

}  // namespace korin::host
