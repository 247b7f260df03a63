#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>

namespace korin::testsupport {

std::string MakeTempDir(const std::string& prefix, const std::string& parent) {
    const std::filesystem::path base =
        parent.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(parent);
    std::string pattern = (base / (prefix + "-XXXXXX")).string();
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

}  // namespace korin::testsupport
