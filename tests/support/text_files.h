// Whole files and logs as text, for checks on what a program wrote.
#pragma once

#include <string>

namespace korin::testsupport {

void WriteFile(const std::string& path, const std::string& content);
// The file's bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Lines of text that a sanitizer or the C++ runtime printed when it found a fault.
std::string SanitizerFindings(const std::string& text);

}  // namespace korin::testsupport
