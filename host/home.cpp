// The host's home directory and its lock file.
#include "home.h"

#include "platform/win32/host_connection.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace korin::host {

bool PrepareHome(const std::string& home, std::string* error) {
    // Every missing directory along the way, then the home itself private.
    for (size_t i = 1; i <= home.size(); ++i) {
        if (i != home.size() && home[i] != '/') continue;
        std::string part = home.substr(0, i);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = home + " is not a directory";
        return false;
    }
    if ((st.st_mode & 0077) && chmod(home.c_str(), 0700) != 0) {
        *error = "cannot make " + home + " private: " + std::strerror(errno);
        return false;
    }
    return true;
}

HomeLock::~HomeLock() { Release(); }

bool HomeLock::Acquire(const std::string& home, std::string* error) {
    std::string path = win32::HostLockPath(home);
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    // Someone asking whether a host runs holds a shared lock for a moment:
    // try a little while before deciding that another host has it.
    for (int attempt = 0;; ++attempt) {
        if (flock(fd_, LOCK_EX | LOCK_NB) == 0) break;
        if (errno != EWOULDBLOCK || attempt == 25) {
            char text[32] = {};
            ssize_t n = pread(fd_, text, sizeof text - 1, 0);
            *error = "another korin-host is running for " + home +
                     (n > 0 ? " (pid " + std::string(text, strcspn(text, "\n")) + ")" : std::string());
            close(fd_);
            fd_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    WritePid();
    return true;
}

void HomeLock::WritePid() {
    if (fd_ < 0) return;
    std::string text = std::to_string(getpid()) + "\n";
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        // The lock itself still holds; only the pid others read is missing.
    }
}

void HomeLock::Release() {
    if (fd_ < 0) return;
    // The file stays: removing it would let a new host lock a fresh file while
    // a slow client still looks at the old one.
    flock(fd_, LOCK_UN);
    close(fd_);
    fd_ = -1;
}

}  // namespace korin::host
