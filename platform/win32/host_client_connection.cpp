// The program's connection to korin-host: the home's file names, connecting
// and saying hello, one call at a time over the socket, and switching the
// Win32 layer's tables between the socket and the in-process machine.
#include "host_client_internal.h"
#include "host_connection.h"

#include "platform/registry/process_database.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace korin::win32 {

std::string HostHome(const std::string& home) {
    if (!home.empty()) return home;
    if (const char* env = std::getenv("KORIN_HOME"); env && *env) return env;
    const char* user = std::getenv("HOME");
    return std::string(user && *user ? user : ".") + "/.local/share/korin";
}
std::string HostSocketPath(const std::string& home) { return HostHome(home) + "/korin-host.sock"; }
std::string HostLockPath(const std::string& home) { return HostHome(home) + "/korin-host.pid"; }
std::string HostLogPath(const std::string& home) { return HostHome(home) + "/korin-host.log"; }

namespace client {
namespace {

// The process's one connection. Calls are serialised: the socket carries one
// call at a time.
struct Connection {
    std::mutex mutex;
    int fd = -1;
    pid_t owner = 0;  // the process that connected; a forked child is not it
    bool warned = false;
};

Connection& TheConnection() {
    static auto* connection = new Connection;  // lives as long as the process
    return *connection;
}

// Closes the descriptor; in a forked child only our copy goes, so the
// parent's connection stays intact. Caller holds the mutex.
void CloseLocked(Connection& c) {
    if (c.fd < 0) return;
    if (c.owner == getpid()) shutdown(c.fd, SHUT_RDWR);
    close(c.fd);
    c.fd = -1;
}

std::string ProgramName() {
    char path[256];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string name = n > 0 ? std::string(path, static_cast<size_t>(n)) : "program";
    name = name.substr(name.find_last_of('/') + 1);
    return name + "[" + std::to_string(getpid()) + "]";
}

}  // namespace

int OpenConnection(const std::string& socketPath, std::string* why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        *why = "socket path too long: " + socketPath;
        return -1;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *why = "cannot connect to " + socketPath + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    wire::HelloRequest hello;
    hello.name = ProgramName();
    wire::Bytes payload;
    wire::HelloReply reply;
    if (!wire::WriteFrame(fd, wire::EncodeRequest(hello)) || wire::ReadFrame(fd, &payload) != wire::FrameStatus::kOk ||
        !wire::DecodePayload(payload, &reply)) {
        *why = "korin-host at " + socketPath + " did not answer";
        close(fd);
        return -1;
    }
    if (reply.version != wire::kProtocolVersion) {
        *why = "korin-host at " + socketPath + " speaks protocol " + std::to_string(reply.version) + ", not " +
               std::to_string(wire::kProtocolVersion);
        close(fd);
        return -1;
    }
    return fd;
}

bool RoundTrip(const wire::Bytes& request, wire::Bytes* reply) {
    Connection& c = TheConnection();
    std::lock_guard lock(c.mutex);
    if (c.fd < 0 || c.owner != getpid()) {
        if (!c.warned) {
            std::fprintf(stderr, "korin: not connected to korin-host\n");
            c.warned = true;
        }
        return false;
    }
    if (wire::WriteFrame(c.fd, request) && wire::ReadFrame(c.fd, reply) == wire::FrameStatus::kOk) return true;
    std::fprintf(stderr, "korin: lost the connection to korin-host\n");
    c.warned = true;
    CloseLocked(c);
    return false;
}

void DropMalformed() {
    Connection& c = TheConnection();
    std::lock_guard lock(c.mutex);
    std::fprintf(stderr, "korin: korin-host sent a malformed reply; disconnected\n");
    CloseLocked(c);
}

}  // namespace client

bool ConnectToHost(const std::string& home) {
    std::string why;
    int fd = client::OpenConnection(HostSocketPath(home), &why);
    if (fd < 0) {
        std::fprintf(stderr, "korin: %s\n", why.c_str());
        return false;
    }
    // The registry functions read and write the host's database directly.
    std::string database = HostHome(home) + "/registry.db";
    {
        // Opened once per home: a forked child keeps the database its parent opened.
        static std::mutex mutex;
        static std::string opened;
        std::lock_guard lock(mutex);
        if (opened != database && !NT_SUCCESS(registry::OpenDatabase(database))) {
            std::fprintf(stderr, "korin: cannot open the registry %s\n", database.c_str());
            close(fd);
            return false;
        }
        opened = database;
    }
    {
        client::Connection& c = client::TheConnection();
        std::lock_guard lock(c.mutex);
        client::CloseLocked(c);
        c.fd = fd;
        c.owner = getpid();
        c.warned = false;
    }
    if (Syscalls().CreateFile != client::SocketSyscalls().CreateFile) {
        UseSyscalls(client::SocketSyscalls());
        // UseSyscalls keeps a copy that lives for good; holding on to it here
        // keeps it reachable once a later switch replaces it.
        static std::mutex mutex;
        static auto* installed = new std::vector<const SyscallTable*>;
        std::lock_guard lock(mutex);
        installed->push_back(&Syscalls());
    }
    UseServiceControl(client::SocketServiceControl());
    return true;
}

void DisconnectFromHost() {
    UseSyscalls(InProcessSyscalls());
    UseServiceControl(InProcessServiceControl());
    client::Connection& c = client::TheConnection();
    std::lock_guard lock(c.mutex);
    client::CloseLocked(c);
}

bool IsConnectedToHost() {
    client::Connection& c = client::TheConnection();
    std::lock_guard lock(c.mutex);
    return c.fd >= 0 && c.owner == getpid();
}

}  // namespace korin::win32
