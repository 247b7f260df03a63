// korin-host: the machine for one home. Parses its options, goes to the
// background unless asked not to, takes the home's lock, boots, serves the
// syscall socket until SIGTERM, SIGINT or SIGHUP, and stops cleanly.
#include "boot.h"
#include "home.h"
#include "log.h"
#include "options.h"
#include "syscall_server.h"

#include "platform/win32/host_connection.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

using namespace korin::host;

// Tells the process that started us how boot went: "" for ready, else the
// reason. In the foreground there is nobody to tell but standard error.
class Starter {
public:
    void Detach(int fd) { fd_ = fd; }
    void Ready() { Send(""); }
    int Fail(const std::string& reason) {
        if (fd_ < 0) std::fprintf(stderr, "korin-host: %s\n", reason.c_str());
        Log("not started: %s", reason.c_str());
        Send(reason);
        return 1;
    }

private:
    void Send(const std::string& text) {
        if (fd_ < 0) return;
        std::string message = text.empty() ? "ok" : text;
        if (write(fd_, message.data(), message.size()) < 0) {
            // The starter went away; nothing to tell.
        }
        close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
};

// Forks: the parent waits for the child's word and exits with it; the child
// returns the pipe to report on, in a session of its own.
int GoToBackground() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t child = fork();
    if (child < 0) return -1;
    if (child > 0) {
        close(fds[1]);
        std::string message;
        char buffer[512];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0) message.append(buffer, static_cast<size_t>(n));
        if (message == "ok") _exit(0);
        std::fprintf(stderr, "korin-host: %s\n", message.empty() ? "failed to start" : message.c_str());
        _exit(1);
    }
    close(fds[0]);
    setsid();
    // Every path is absolute by now; holding no directory keeps mounts free to go.
    if (chdir("/") != 0) {
        // Nothing depends on the working directory.
    }
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    return fds[1];
}

// Sends standard error (the log, and anything the runtime reports) to path.
bool LogTo(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    dup2(fd, STDERR_FILENO);
    close(fd);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        std::fprintf(stderr, "korin-host: %s\nTry korin-host --help.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    if (!ResolveOptions(&options, &error)) {
        std::fprintf(stderr, "korin-host: %s\n", error.c_str());
        return 2;
    }
    if (!PrepareHome(options.home, &error)) {
        std::fprintf(stderr, "korin-host: %s\n", error.c_str());
        return 1;
    }

    // Threads made from here on inherit the mask; main alone takes the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stopSignals, s);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Starter starter;
    if (!options.foreground) {
        int fd = GoToBackground();
        if (fd < 0) {
            std::fprintf(stderr, "korin-host: cannot go to the background: %s\n", std::strerror(errno));
            return 1;
        }
        starter.Detach(fd);
        if (options.logPath.empty()) options.logPath = korin::win32::HostLogPath(options.home);
    }
    if (!options.logPath.empty() && !LogTo(options.logPath))
        return starter.Fail("cannot open the log " + options.logPath + ": " + std::strerror(errno));

    HomeLock lock;
    if (!lock.Acquire(options.home, &error)) return starter.Fail(error);
    Log("starting (pid %d) for %s", static_cast<int>(getpid()), options.home.c_str());

    Machine machine(options);
    if (!machine.Boot(&error)) {
        machine.Shutdown();
        return starter.Fail(error);
    }
    SyscallServer server;
    if (!server.Start(korin::win32::HostSocketPath(options.home), &error)) {
        machine.Shutdown();
        return starter.Fail(error);
    }
    Log("ready");
    starter.Ready();

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    Log("stopping on %s", strsignal(signal));
    server.Stop();
    machine.Shutdown();
    Log("stopped");
    return 0;
}
