// korin-host's command line: parsing and checking the directories it names.
#include "options.h"

#include "platform/win32/host_connection.h"
#include "platform/win32/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <set>

namespace korin::host {

std::string Usage() {
    return "Usage: korin-host [options]\n"
           "Runs the Korin machine for one home: registry, object namespace, drivers and the\n"
           "syscall socket that programs connect to.\n"
           "\n"
           "  --home DIR         the home (default $KORIN_HOME, else ~/.local/share/korin)\n"
           "  --drive L=DIR      host drive letter L serves DIR (repeatable; C=/ unless given;\n"
           "                     L= removes a letter)\n"
           "  --unc-root DIR     \\\\server\\share\\... is DIR/server/share/... (default: none)\n"
           "  --mount-root DIR   where virtual drives are mounted (default <home>/mnt)\n"
           "  --foreground, -f   stay in the foreground and log to standard error\n"
           "  --log FILE         log to FILE (default in the background: <home>/korin-host.log)\n"
           "  --help, -h         show this text\n";
}

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
    std::set<char16_t> given;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i], value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            hasValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= args.size()) {
                *error = arg + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else if (arg == "--foreground" || arg == "-f") {
            options->foreground = true;
        } else if (arg == "--home" || arg == "--unc-root" || arg == "--mount-root" || arg == "--log" ||
                   arg == "--drive") {
            if (!takeValue()) return false;
            if (arg == "--home") options->home = value;
            if (arg == "--unc-root") options->uncRoot = value;
            if (arg == "--mount-root") options->mountRoot = value;
            if (arg == "--log") options->logPath = value;
            if (arg == "--drive") {
                size_t eq = value.find('=');
                char c = value.empty() ? 0 : value[0];
                if (eq != 1 || !((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
                    *error = "--drive wants LETTER=DIRECTORY, not \"" + value + "\"";
                    return false;
                }
                char16_t letter = static_cast<char16_t>(c >= 'a' ? c - 'a' + 'A' : c);
                if (!given.insert(letter).second) {
                    *error = std::string("drive letter ") + static_cast<char>(letter) + ": given twice";
                    return false;
                }
                std::string directory = value.substr(2);
                if (directory.empty()) options->drives.erase(letter);
                else options->drives[letter] = directory;
            }
            if ((arg == "--home" || arg == "--unc-root" || arg == "--mount-root" || arg == "--log") && value.empty()) {
                *error = arg + " needs a value";
                return false;
            }
        } else {
            *error = "unknown option " + args[i];
            return false;
        }
    }
    return true;
}

namespace {

// The absolute, resolved form of an existing directory.
bool ExistingDirectory(const std::string& what, const std::string& path, std::string* out, std::string* error) {
    char resolved[PATH_MAX];
    struct stat st;
    if (!realpath(path.c_str(), resolved) || stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = what + " " + path + " is not an existing directory";
        return false;
    }
    if (!win32::Utf8ToUtf16(resolved)) {
        *error = what + " " + path + " has a name that is not UTF-8";
        return false;
    }
    *out = resolved;
    return true;
}

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

}  // namespace

bool ResolveOptions(Options* options, std::string* error) {
    options->home = Absolute(win32::HostHome(options->home));
    for (auto& [letter, directory] : options->drives) {
        std::string what = std::string("drive ") + static_cast<char>(letter) + ":";
        if (!ExistingDirectory(what, directory, &directory, error)) return false;
    }
    if (options->uncRoot && !ExistingDirectory("UNC root", *options->uncRoot, &*options->uncRoot, error))
        return false;
    options->mountRoot = options->mountRoot.empty() ? options->home + "/mnt" : Absolute(options->mountRoot);
    if (!options->logPath.empty()) options->logPath = Absolute(options->logPath);
    return true;
}

}  // namespace korin::host
