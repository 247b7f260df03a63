// Starting, stopping and asking after korin-host: the lock file tells whether
// a host runs (it holds an flock on it for its whole life) and its process
// id; the socket tells whether it answers.
#include "host_client_internal.h"
#include "host_connection.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace korin::win32 {
namespace {

using Clock = std::chrono::steady_clock;

// Whether a process holds the lock of home, and the pid it wrote.
HostState LockState(const std::string& home) {
    HostState state;
    int fd = open(HostLockPath(home).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return state;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        state.running = true;
        char text[32] = {};
        ssize_t n = pread(fd, text, sizeof text - 1, 0);
        if (n > 0) state.pid = static_cast<pid_t>(std::atol(text));
    }
    close(fd);
    return state;
}

bool Answers(const std::string& home) {
    std::string why;
    int fd = client::OpenConnection(HostSocketPath(home), &why);
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::string ExecutableBesideUs() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "korin-host";
    std::string self(path, static_cast<size_t>(n));
    std::string candidate = self.substr(0, self.find_last_of('/') + 1) + "korin-host";
    return access(candidate.c_str(), X_OK) == 0 ? candidate : "korin-host";
}

}  // namespace

HostState QueryHost(const std::string& home) {
    HostState state = LockState(home);
    state.answering = state.running && Answers(home);
    return state;
}

bool WaitForHost(const std::string& home, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (Answers(home)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool StartHost(const std::string& home, const std::vector<std::string>& arguments, std::string* message,
               int timeoutMs) {
    std::string dir = HostHome(home);
    HostState state = QueryHost(dir);
    if (state.running) {
        *message = "already running (pid " + std::to_string(state.pid) + ")";
        return state.answering || WaitForHost(dir, timeoutMs);
    }
    std::string executable = ExecutableBesideUs();
    std::vector<std::string> argv = {executable, "--home", dir};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);

    // korin-host puts itself in the background and exits once its socket
    // answers (0) or boot failed (not 0).
    pid_t child = fork();
    if (child < 0) {
        *message = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        execvp(raw[0], raw.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        *message = code == 127 ? "cannot run " + executable
                               : "korin-host failed to start (exit " + std::to_string(code) + "); see " +
                                     HostLogPath(dir);
        return false;
    }
    if (!WaitForHost(dir, timeoutMs)) {
        *message = "korin-host started but its socket does not answer; see " + HostLogPath(dir);
        return false;
    }
    message->clear();
    return true;
}

bool StopHost(const std::string& home, std::string* message, int timeoutMs) {
    std::string dir = HostHome(home);
    HostState state = LockState(dir);
    if (!state.running) {
        *message = "not running";
        return true;
    }
    if (state.pid <= 0 || kill(state.pid, SIGTERM) != 0) {
        *message = "cannot signal korin-host (pid " + std::to_string(state.pid) + ")";
        return false;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (LockState(dir).running) {
        if (Clock::now() >= deadline) {
            *message = "korin-host (pid " + std::to_string(state.pid) + ") did not stop in time";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    message->clear();
    return true;
}

}  // namespace korin::win32
