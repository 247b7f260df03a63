// korin: the command-line front end of the virtual drives.
//
//   korin [--home DIR] COMMAND [ARGUMENTS]
//
// Every command talks to the running korin-host through the Win32 layer: the
// driver client for changes, the drive list and the registry functions for
// reading, the file functions for listings.

#include "cli.h"

#include "platform/win32/host_connection.h"

#include <cstdio>
#include <cstring>

namespace {

using korin::cli::Args;
using korin::cli::Command;

std::vector<Command> AllCommands() {
    std::vector<Command> all;
    for (auto group : {korin::cli::SetupCommands, korin::cli::HostCommands, korin::cli::DriveCommands,
                       korin::cli::ItemCommands, korin::cli::ListCommands, korin::cli::RegistryCommands}) {
        for (const Command& command : group()) all.push_back(command);
    }
    return all;
}

void PrintOverview(FILE* out) {
    std::fprintf(out, "usage: korin [--home DIR] COMMAND [ARGUMENTS]\n\ncommands:\n");
    for (const Command& command : AllCommands()) {
        const std::string summary = command.summary;
        std::fprintf(out, "  %-14s %s\n", command.name, summary.substr(0, summary.find('\n')).c_str());
    }
    std::fprintf(out,
                 "\n--home DIR chooses the host's home (default $KORIN_HOME, else ~/.local/share/korin).\n"
                 "'korin COMMAND --help' describes a command.\n");
}

// The commands whose name starts with group followed by a blank.
std::vector<Command> GroupOf(const std::string& group) {
    std::vector<Command> members;
    for (const Command& command : AllCommands()) {
        if (std::strncmp(command.name, (group + " ").c_str(), group.size() + 1) == 0) members.push_back(command);
    }
    return members;
}

}  // namespace

int main(int argc, char** argv) {
    Args args(argv + 1, argv + argc);
    size_t at = 0;
    // Global options come before the command.
    while (at < args.size() && args[at].rfind("-", 0) == 0) {
        const std::string& option = args[at];
        if (option == "--help" || option == "-h") {
            PrintOverview(stdout);
            return korin::cli::kExitOk;
        }
        if (option == "--home" && at + 1 < args.size()) {
            korin::cli::SetHome(args[at + 1]);
            at += 2;
        } else if (option.rfind("--home=", 0) == 0) {
            korin::cli::SetHome(option.substr(7));
            ++at;
        } else {
            std::fprintf(stderr, "korin: unknown option %s\n", option.c_str());
            PrintOverview(stderr);
            return korin::cli::kExitUsage;
        }
    }
    if (at == args.size()) {
        PrintOverview(stderr);
        return korin::cli::kExitUsage;
    }

    const std::string first = args[at];
    const std::string second = at + 1 < args.size() ? first + " " + args[at + 1] : std::string();
    const std::vector<Command> all = AllCommands();
    const Command* chosen = nullptr;
    size_t used = 0;
    for (const Command& command : all) {
        if (command.name == second) chosen = &command, used = 2;
    }
    for (const Command& command : all) {
        if (!chosen && command.name == first) chosen = &command, used = 1;
    }
    if (!chosen) {
        std::vector<Command> members = GroupOf(first);
        if (members.empty()) {
            std::fprintf(stderr, "korin: unknown command '%s'\n", first.c_str());
            PrintOverview(stderr);
            return korin::cli::kExitUsage;
        }
        const bool help = at + 1 < args.size() && (args[at + 1] == "--help" || args[at + 1] == "-h");
        FILE* out = help ? stdout : stderr;
        if (!help && at + 1 < args.size()) std::fprintf(out, "korin: unknown command '%s'\n", second.c_str());
        std::fprintf(out, "usage: korin %s SUBCOMMAND [ARGUMENTS]\n\n", first.c_str());
        for (const Command& command : members) std::fprintf(out, "  korin %s %s\n", command.name, command.usage);
        return help ? korin::cli::kExitOk : korin::cli::kExitUsage;
    }

    korin::cli::SetCurrent(*chosen);
    const Args rest(args.begin() + static_cast<std::ptrdiff_t>(at + used), args.end());
    if (korin::cli::WantsHelp(rest)) return korin::cli::PrintUsage();
    const int code = chosen->run(rest);
    korin::cli::CloseControlDevice();
    korin::win32::DisconnectFromHost();
    return code;
}
