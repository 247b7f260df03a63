// korin host start|stop|status: the machine for the home, korin-host,
// started in the background, stopped, or asked after.

#include "cli.h"

#include "platform/win32/host_connection.h"

#include <cstdio>

namespace korin::cli {

namespace {

// Starts korin-host for the home; the arguments go to korin-host as they are
// (host drive letters, UNC root, mount root).
int Start(const Args& args) {
    std::string message;
    const bool ok = win32::StartHost(Home(), args, &message);
    if (!ok) return Fail("korin-host did not start" + (message.empty() ? std::string() : ": " + message));
    win32::HostState state = win32::QueryHost(Home());
    std::printf("korin-host running for %s (pid %d)%s\n", Home().c_str(), static_cast<int>(state.pid),
                message.empty() ? "" : (" - " + message).c_str());
    return kExitOk;
}

int Stop(const Args& args) {
    if (!args.empty()) return UsageError("host stop takes no arguments");
    std::string message;
    if (!win32::StopHost(Home(), &message)) {
        return Fail("korin-host did not stop" + (message.empty() ? std::string() : ": " + message));
    }
    std::printf("korin-host stopped for %s%s\n", Home().c_str(), message.empty() ? "" : (" - " + message).c_str());
    return kExitOk;
}

// Exit code 0 when a host runs and answers, 1 otherwise.
int Status(const Args& args) {
    if (!args.empty()) return UsageError("host status takes no arguments");
    win32::HostState state = win32::QueryHost(Home());
    if (!state.running) {
        std::printf("korin-host is not running for %s\n", Home().c_str());
        return kExitFailure;
    }
    std::printf("korin-host running for %s (pid %d), %s\n", Home().c_str(), static_cast<int>(state.pid),
                state.answering ? "answering on its socket" : "not answering on its socket");
    return state.answering ? kExitOk : kExitFailure;
}

}  // namespace

std::vector<Command> HostCommands() {
    return {
        {"host start", "start korin-host in the background for the home", "[KORIN-HOST OPTIONS]", Start},
        {"host stop", "stop the home's korin-host", "", Stop},
        {"host status", "tell whether the home's korin-host runs (exit 0) or not (exit 1)", "", Status},
    };
}

}  // namespace korin::cli
