// korin-host's command line.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korin::host {

struct Options {
    std::string home;  // empty: $KORIN_HOME, else ~/.local/share/korin
    // Host drive letters (upper case) and their directories. C: is "/" unless
    // given; "--drive C=" removes it.
    std::map<char16_t, std::string> drives{{u'C', "/"}};
    std::optional<std::string> uncRoot;
    std::string mountRoot;  // empty: <home>/mnt
    bool foreground = false;
    std::string logPath;    // empty: standard error in the foreground, <home>/korin-host.log in the background
    bool help = false;
};

// Parses the arguments after the program name. False with a message for an
// unknown option, a missing value, a bad letter or a letter given twice.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// Makes the directories absolute and checks them: every drive directory and
// the UNC root must exist; names must be UTF-8. Fills in the home and the
// mount root defaults.
bool ResolveOptions(Options* options, std::string* error);

std::string Usage();

}  // namespace korin::host
