// The syscall socket: a Unix stream socket (mode 0600) in the host's home.
// One thread accepts; each connection gets a thread of its own and a process
// of the machine, so a slow request holds up only its own connection.
//
// A connection's life: the client's hello (protocol version and its name),
// then requests answered one at a time. A malformed frame or request closes
// that connection only. When a connection ends, its process goes: every
// handle it still held is closed (cleanup, then close), as at process exit.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace korin::host {

class SyscallServer {
public:
    SyscallServer() = default;
    ~SyscallServer();
    SyscallServer(const SyscallServer&) = delete;
    SyscallServer& operator=(const SyscallServer&) = delete;

    // Binds the socket at path, replacing a stale socket file left by a host
    // that was killed (the caller holds the home's lock, so no live host owns
    // it), and starts accepting. False with a message.
    bool Start(const std::string& path, std::string* error);
    // Stops accepting, ends every connection (waiting for requests that are
    // running to finish, then closing their processes' handles) and removes
    // the socket file.
    void Stop();

    size_t ConnectionCount() const;

private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void Serve(Connection* connection);
    void ReapFinished();

    std::string path_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};  // a pipe that wakes the accept loop for Stop
    std::thread acceptThread_;
    mutable std::mutex mutex_;  // guards connections_ and stopping_
    std::list<std::unique_ptr<Connection>> connections_;
    bool stopping_ = false;
};

}  // namespace korin::host
