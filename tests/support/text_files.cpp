#include "tests/support/text_files.h"

#include <fstream>
#include <sstream>

namespace korin::testsupport {

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string SanitizerFindings(const std::string& text) {
    std::string found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        for (const char* mark : {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:",
                                 "terminate called", "Segmentation fault"}) {
            if (line.find(mark) != std::string::npos) {
                found += line + "\n";
                break;
            }
        }
    }
    return found;
}

}  // namespace korin::testsupport
