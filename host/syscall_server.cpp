// The syscall socket: accepting, one thread per connection, shutting down.
#include "syscall_server.h"

#include "log.h"
#include "syscall_dispatch.h"

#include "platform/nt/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace korin::host {
namespace {

namespace wire = win32::wire;

// The peer's process id, for the log.
pid_t PeerPid(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 ? credentials.pid : 0;
}

const char* FrameProblem(wire::FrameStatus status) {
    switch (status) {
    case wire::FrameStatus::kMalformed: return "malformed frame";
    case wire::FrameStatus::kError: return "socket error";
    default: return "closed";
    }
}

}  // namespace

SyscallServer::~SyscallServer() { Stop(); }

bool SyscallServer::Start(const std::string& path, std::string* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *error = "socket path too long (" + std::to_string(path.size()) + " bytes, at most " +
                 std::to_string(sizeof address.sun_path - 1) + "): " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || pipe2(wakeFds_, O_CLOEXEC) != 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (unlink(path.c_str()) == 0) Log("replaced the stale socket %s", path.c_str());
    // Only the user may connect: the socket is made 0600 from the start.
    mode_t previous = umask(0177);
    int bound = bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int bindErrno = errno;
    umask(previous);
    if (bound != 0 || chmod(path.c_str(), 0600) != 0 || listen(listenFd_, 64) != 0) {
        *error = "cannot listen on " + path + ": " + std::strerror(bound != 0 ? bindErrno : errno);
        return false;
    }
    path_ = path;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    Log("listening on %s", path.c_str());
    return true;
}

void SyscallServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            Log("accept loop: poll failed: %s", std::strerror(errno));
            return;
        }
        if (fds[1].revents) return;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
                Log("accept failed: %s", std::strerror(errno));
            continue;
        }
        std::lock_guard lock(mutex_);
        ReapFinished();
        if (stopping_) {
            close(fd);
            return;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        Connection* raw = connection.get();
        connections_.push_back(std::move(connection));
        raw->thread = std::thread([this, raw] { Serve(raw); });
    }
}

// Joins the threads of connections that ended. Caller holds mutex_.
void SyscallServer::ReapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void SyscallServer::Serve(Connection* connection) {
    int fd = connection->fd;
    pid_t peer = PeerPid(fd);
    wire::Bytes payload;
    wire::HelloRequest hello;
    wire::FrameStatus frame = wire::ReadFrame(fd, &payload);
    bool greeted = false;
    if (frame == wire::FrameStatus::kOk) {
        wire::Reader in(payload);
        greeted = in.Int<uint16_t>() == static_cast<uint16_t>(wire::Op::kHello) && wire::Decode(in, &hello);
    }
    if (!greeted) {
        if (frame != wire::FrameStatus::kClosed)
            Log("connection from pid %d closed: no hello (%s)", static_cast<int>(peer),
                frame == wire::FrameStatus::kOk ? "malformed hello" : FrameProblem(frame));
    } else if (!wire::WriteFrame(fd, wire::EncodeReply(wire::HelloReply{})) ||
               hello.version != wire::kProtocolVersion) {
        Log("connection from %s closed: protocol %u, this host speaks %u", hello.name.c_str(), hello.version,
            wire::kProtocolVersion);
    } else {
        std::string name = hello.name.empty() ? "pid " + std::to_string(peer) : hello.name;
        Log("%s connected", name.c_str());
        // The connection's process: its handles close when it goes, at the end of this block.
        ps::Process process(name);
        for (;;) {
            frame = wire::ReadFrame(fd, &payload);
            if (frame != wire::FrameStatus::kOk) {
                if (frame != wire::FrameStatus::kClosed) Log("%s: %s; closing", name.c_str(), FrameProblem(frame));
                break;
            }
            DispatchResult result = Dispatch(payload, process);
            if (result.malformed) {
                Log("%s: malformed %s request; closing", name.c_str(),
                    result.op == wire::Op::kHello ? "" : wire::OpName(result.op));
                break;
            }
            if (!result.note.empty()) Log("%s: %s", name.c_str(), result.note.c_str());
            if (!wire::WriteFrame(fd, result.reply)) break;
        }
        size_t open = process.Handles().Count();
        if (open) Log("%s disconnected; closing its %zu open handles", name.c_str(), open);
    }
    // Under the lock: Stop must never shut down a descriptor number that was reused.
    std::lock_guard lock(mutex_);
    close(fd);
    connection->fd = -1;
    connection->done = true;
}

void SyscallServer::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || listenFd_ < 0) return;
        stopping_ = true;
        // Ends every connection's wait for its next request; running requests finish first.
        for (auto& c : connections_)
            if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
    }
    if (wakeFds_[1] >= 0 && write(wakeFds_[1], "x", 1) < 0) {
        // The accept loop also ends at its next wake-up.
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    if (!connections.empty()) Log("closing %zu connections", connections.size());
    // A request a driver never completes would hold the stop for good: say so
    // now and then, so that whoever waits knows what for.
    for (int waited = 0;; ++waited) {
        size_t running = 0;
        for (auto& c : connections) running += !c->done;
        if (running == 0) break;
        if (waited > 0 && waited % 100 == 0)
            Log("still waiting for %zu requests running in drivers (%d s)", running, waited / 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& c : connections) c->thread.join();
    close(listenFd_);
    listenFd_ = -1;
    for (int& fd : wakeFds_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    if (!path_.empty() && unlink(path_.c_str()) == 0) Log("removed %s", path_.c_str());
}

size_t SyscallServer::ConnectionCount() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& c : connections_) n += !c->done;
    return n;
}

}  // namespace korin::host
