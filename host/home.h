// The host's home: its directory (made private to the user) and the lock
// that allows one host per home.
#pragma once

#include <string>

namespace korin::host {

// Creates home (and its parents) when missing and makes it 0700.
bool PrepareHome(const std::string& home, std::string* error);

// Holds an flock on <home>/korin-host.pid for its life, with this process's
// id written in the file. A second host for the same home cannot take it.
class HomeLock {
public:
    HomeLock() = default;
    ~HomeLock();
    HomeLock(const HomeLock&) = delete;
    HomeLock& operator=(const HomeLock&) = delete;

    // False with a message when another process holds the lock (its pid is
    // named) or the file cannot be opened.
    bool Acquire(const std::string& home, std::string* error);
    // Rewrites the pid (after the process went to the background).
    void WritePid();
    void Release();

private:
    int fd_ = -1;
};

}  // namespace korin::host
