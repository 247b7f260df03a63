// Running the real korin-host for end-to-end tests.
#include "host_fixture.h"

#include "platform/nt/syscalls.h"
#include "platform/registry/process_database.h"
#include "platform/win32/host_connection.h"
#include "platform/win32/syscall_table.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace korin::test {

TempDir::TempDir() {
    // Under /tmp: a socket path must stay short.
    path_ = testsupport::MakeTempDir("korin-e2e", "/tmp");
    if (path_.empty()) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

namespace {

pid_t Spawn(const std::vector<std::string>& args, const std::string& stderrPath) {
    std::vector<std::string> argv = {KORIN_HOST_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) dup2(fd, STDERR_FILENO);
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        execv(raw[0], raw.data());
        _exit(127);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

HostProcess::~HostProcess() {
    if (pid_ > 0) Stop(SIGKILL);
}

bool HostProcess::Start(const std::string& home, const std::vector<std::string>& args) {
    home_ = home;
    std::vector<std::string> all = {"--foreground", "--home", home};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = Spawn(all, home + "/host.err");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (win32::WaitForHost(home, 50)) return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
    }
    return false;
}

int HostProcess::Stop(int signal) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int code = Wait(pid_);
    pid_ = -1;
    return code;
}

std::string HostProcess::Stderr() const { return ReadWholeFile(home_ + "/host.err"); }

int RunHost(const std::vector<std::string>& args, std::string* stderrText) {
    TempDir scratch;
    std::string path = scratch.path() + "/stderr";
    int code = Wait(Spawn(args, path));
    *stderrText = ReadWholeFile(path);
    return code;
}

void HostTest::SetUp() {
    ASSERT_TRUE(host_.Start(home_.path(), {"--drive", "T=" + data_.path()})) << host_.Stderr();
    ASSERT_TRUE(win32::ConnectToHost(home_.path()));
}

void HostTest::StopHost() {
    win32::DisconnectFromHost();
    if (!stopped_) exitCode_ = host_.Stop(SIGTERM);
    stopped_ = true;
}

void HostTest::TearDown() {
    StopHost();
    std::string err = host_.Stderr();
    EXPECT_EQ(exitCode_, 0) << err;
    EXPECT_EQ(SanitizerFindings(err), "") << err;
    EXPECT_FALSE(Exists(home_.path() + "/korin-host.sock"));
}

NTSTATUS HostTest::Open(const std::u16string& path, ACCESS_MASK access, ULONG share, ULONG options, HANDLE* handle,
                        ULONG disposition) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                        const_cast<PWSTR>(path.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    return win32::Syscalls().CreateFile(handle, access, &attributes, &io, nullptr, 0, share, disposition,
                                        options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

NTSTATUS HostTest::Ioctl(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* returned) {
    IO_STATUS_BLOCK io{};
    NTSTATUS status = win32::Syscalls().DeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, code,
                                                            const_cast<void*>(in), inLength, out, outLength);
    if (returned) *returned = io.Information;
    return status;
}

}  // namespace korin::test
