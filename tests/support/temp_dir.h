// A fresh, empty directory for a test.
#pragma once

#include <string>

namespace korin::testsupport {

// Makes <parent>/<prefix>-XXXXXX (parent: the system's temporary directory
// when empty) and returns its path; empty when it cannot be made.
std::string MakeTempDir(const std::string& prefix, const std::string& parent = std::string());

}  // namespace korin::testsupport
