// System calls over the socket of a real korin-host: host files, handles of a
// client that goes away, malformed clients, and a slow request beside others.
#include "host_fixture.h"
#include "test_driver.h"

#include "platform/nt/syscalls.h"
#include "platform/win32/host_client_protocol.h"
#include "platform/win32/host_connection.h"
#include "platform/win32/paths.h"
#include "platform/win32/services.h"
#include "platform/win32/syscall_table.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace korin::test {
namespace {

using win32::Syscalls;
namespace wire = win32::wire;

using SocketTest = HostTest;

TEST_F(SocketTest, ReadsAHostFileThroughTheDriveLetter) {
    WriteFile(data_.path() + "/hello.txt", "hello, machine");
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\??\\T:\\hello.txt", FILE_GENERIC_READ, FILE_SHARE_READ, FILE_NON_DIRECTORY_FILE, &file),
              STATUS_SUCCESS);

    char buffer[64] = {};
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(Syscalls().ReadFile(file, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 14u);
    EXPECT_EQ(std::string(buffer), "hello, machine");
    // Nothing past what the read produced reaches the caller's buffer.
    EXPECT_EQ(buffer[14], 0);

    FILE_STANDARD_INFORMATION standard{};
    ASSERT_EQ(Syscalls().QueryInformationFile(file, &io, &standard, sizeof standard, FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 14);

    // At the end of the file the read fails and the buffer stays as it was.
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Syscalls().ReadFile(file, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr),
              STATUS_END_OF_FILE);
    EXPECT_EQ(buffer[0], 'x');

    EXPECT_EQ(Syscalls().Close(file), STATUS_SUCCESS);
    EXPECT_EQ(Syscalls().Close(file), STATUS_INVALID_HANDLE);
}

TEST_F(SocketTest, WritesAHostFileAndMissingFilesFailAsOnWindows) {
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\??\\T:\\new.txt", FILE_GENERIC_WRITE, 0, FILE_NON_DIRECTORY_FILE, &file, FILE_CREATE),
              STATUS_SUCCESS);
    char text[] = "written through the socket";
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(Syscalls().WriteFile(file, nullptr, nullptr, nullptr, &io, text, sizeof text - 1, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, sizeof text - 1);
    EXPECT_EQ(Syscalls().Close(file), STATUS_SUCCESS);
    EXPECT_EQ(ReadWholeFile(data_.path() + "/new.txt"), "written through the socket");

    HANDLE missing = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(Open(u"\\??\\T:\\absent.txt", FILE_GENERIC_READ, 0, 0, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(missing, reinterpret_cast<HANDLE>(0x1234)) << "a failed open must not write the handle";
}

// Transfers longer than one frame carries are split by the client and still
// read and write every byte, in order, with one call each.
TEST_F(SocketTest, TransfersLongerThanAFrameArriveWhole) {
    const size_t size = wire::kMaxBuffer + wire::kMaxBuffer / 4 + 3;
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + (i * 7) % 26);

    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\??\\T:\\big.bin", FILE_GENERIC_READ | FILE_GENERIC_WRITE, 0, FILE_NON_DIRECTORY_FILE, &file,
                   FILE_CREATE),
              STATUS_SUCCESS);
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER offset{};
    ASSERT_EQ(Syscalls().WriteFile(file, nullptr, nullptr, nullptr, &io, content.data(), static_cast<ULONG>(size),
                                   &offset, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, size);
    EXPECT_TRUE(ReadWholeFile(data_.path() + "/big.bin") == content);

    std::string back(size + 100, '#');
    io = {};
    ASSERT_EQ(Syscalls().ReadFile(file, nullptr, nullptr, nullptr, &io, back.data(), static_cast<ULONG>(back.size()),
                                  &offset, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, size);
    EXPECT_TRUE(back.compare(0, size, content) == 0);
    EXPECT_EQ(back.substr(size), std::string(100, '#'));
    EXPECT_EQ(Syscalls().Close(file), STATUS_SUCCESS);
}

TEST_F(SocketTest, DosDeviceDefinitionsGoToTheMachine) {
    EXPECT_EQ(Syscalls().DefineDosDevice(u"Q:", u"\\Device\\HostVolumeT"), STATUS_SUCCESS);
    auto targets = Syscalls().QueryDosDevice(u"Q:");
    ASSERT_FALSE(targets.empty());
    EXPECT_EQ(targets.front(), u"\\Device\\HostVolumeT");
    auto names = Syscalls().ListDosDevices();
    EXPECT_NE(std::find(names.begin(), names.end(), u"Q:"), names.end());

    WriteFile(data_.path() + "/via-q.txt", "q");
    HANDLE file = nullptr;
    EXPECT_EQ(Open(u"\\??\\Q:\\via-q.txt", FILE_GENERIC_READ, 0, 0, &file), STATUS_SUCCESS);
    EXPECT_EQ(Syscalls().Close(file), STATUS_SUCCESS);

    std::u16string target = u"\\Device\\HostVolumeT";
    EXPECT_EQ(Syscalls().RemoveDosDevice(u"Q:", &target, true), STATUS_SUCCESS);
    EXPECT_TRUE(Syscalls().QueryDosDevice(u"Q:").empty());
}

// A child opens the file without sharing and ends without closing: the host
// must close the handle when the connection drops, so the file opens again.
TEST_F(SocketTest, HandlesOfAClientThatExitsAreClosed) {
    WriteFile(data_.path() + "/locked.txt", "x");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        // The inherited connection is the parent's: the child makes its own.
        HANDLE h = nullptr;
        bool ok = win32::ConnectToHost(home_.path()) &&
                  Open(u"\\??\\T:\\locked.txt", FILE_GENERIC_READ, 0, 0, &h) == STATUS_SUCCESS;
        char c = ok ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1) _exit(2);
        pause();  // until killed: no close, no exit handlers
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    ASSERT_EQ(c, 'y');

    HANDLE h = nullptr;
    EXPECT_EQ(Open(u"\\??\\T:\\locked.txt", FILE_GENERIC_READ, FILE_SHARE_READ, 0, &h), STATUS_SHARING_VIOLATION);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    // The host notices the dropped connection on its own thread: wait for it.
    NTSTATUS status = STATUS_SHARING_VIOLATION;
    for (int i = 0; i < 500 && status == STATUS_SHARING_VIOLATION; ++i) {
        status = Open(u"\\??\\T:\\locked.txt", FILE_GENERIC_READ, 0, 0, &h);
        if (status == STATUS_SHARING_VIOLATION) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Syscalls().Close(h), STATUS_SUCCESS);
}

// A raw connection to the host's socket.
int RawConnect(const std::string& home) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = win32::HostSocketPath(home);
    std::strcpy(address.sun_path, path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendRaw(int fd, const wire::Bytes& bytes) { return wire::WriteFrame(fd, bytes); }

wire::Bytes Frame(const wire::Bytes& payload) {
    wire::Bytes frame(4);
    uint32_t n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(n >> (8 * i));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

// True when the host closes the connection (reads reach the end).
bool HostCloses(int fd) {
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char buffer[256];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
    }
}

struct MalformedCase {
    const char* name;
    bool greet;  // say hello first
    wire::Bytes bytes;
};

TEST_F(SocketTest, AMalformedClientLosesOnlyItsOwnConnection) {
    wire::Bytes hugeLength = {0xff, 0xff, 0xff, 0x7f, 1, 2, 3};
    wire::Bytes unknownOp = Frame({0x63, 0x00});
    wire::Bytes truncatedClose = Frame({static_cast<uint8_t>(wire::Op::kClose), 0, 1, 2});
    wire::Bytes trailing = wire::EncodeRequest(wire::CloseRequest{4});
    trailing.push_back(0);
    trailing[0] += 1;
    wire::Bytes badBool = wire::EncodeRequest(wire::RemoveDosDeviceRequest{u"Q:", std::nullopt, false});
    badBool.back() = 2;
    wire::Bytes hugeCount = Frame({static_cast<uint8_t>(wire::Op::kQueryDosDevice), 0, 0xff, 0xff, 0xff, 0xff});
    wire::Bytes midFrameEnd = {20, 0, 0, 0, 1, 0};
    wire::Bytes secondHello = wire::EncodeRequest(wire::HelloRequest{});

    const MalformedCase cases[] = {
        {"length over the limit", true, hugeLength},
        {"unknown operation", true, unknownOp},
        {"truncated record", true, truncatedClose},
        {"bytes after the record", true, trailing},
        {"bool that is neither 0 nor 1", true, badBool},
        {"count past the frame", true, hugeCount},
        {"stream ends inside a frame", true, midFrameEnd},
        {"hello twice", true, secondHello},
        {"request before hello", false, wire::EncodeRequest(wire::CloseRequest{4})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fd = RawConnect(home_.path());
        ASSERT_GE(fd, 0);
        if (c.greet) {
            ASSERT_TRUE(SendRaw(fd, wire::EncodeRequest(wire::HelloRequest{})));
            wire::Bytes reply;
            ASSERT_EQ(wire::ReadFrame(fd, &reply), wire::FrameStatus::kOk);
        }
        SendRaw(fd, c.bytes);
        if (std::string(c.name) == "stream ends inside a frame") shutdown(fd, SHUT_WR);
        EXPECT_TRUE(HostCloses(fd));
        close(fd);
        // This test's own connection still works.
        EXPECT_FALSE(Syscalls().QueryDosDevice(u"T:").empty());
    }
    EXPECT_TRUE(win32::QueryHost(home_.path()).answering);
}

// Installs and starts the test driver as a service, through the socket.
void StartTestDriver(const std::u16string& name) {
    auto image = win32::HostPathToWin32Path(KORIN_TEST_DRIVER);
    ASSERT_TRUE(image);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       image->c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// One connection pends a request in the driver; another must still be served
// and can release it.
TEST_F(SocketTest, APendingRequestDoesNotHoldUpOtherConnections) {
    StartTestDriver(u"KorinTestWait");
    pid_t child = fork();
    if (child == 0) {
        HANDLE h = nullptr;
        if (!win32::ConnectToHost(home_.path()) || Open(u"\\??\\KorinTestWait", FILE_GENERIC_READ, 0, 0, &h))
            _exit(2);
        _exit(Ioctl(h, IOCTL_TEST_WAIT, nullptr, 0, nullptr, 0) == STATUS_SUCCESS ? 0 : 3);
    }
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"\\??\\KorinTestWait", FILE_GENERIC_READ, 0, 0, &h), STATUS_SUCCESS);
    ULONG released = 0;
    int status = -1;
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(Ioctl(h, IOCTL_TEST_RELEASE, nullptr, 0, &released, sizeof released), STATUS_SUCCESS);
        if (waitpid(child, &status, WNOHANG) == child) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!WIFEXITED(status)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the pending request was never released";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // The echo shows output travels back through the socket, reversed by the driver.
    char in[] = "abc", out[8] = {};
    ULONG_PTR returned = 0;
    EXPECT_EQ(Ioctl(h, IOCTL_TEST_ECHO, in, 3, out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(std::string(out), "cba");
    EXPECT_EQ(Syscalls().Close(h), STATUS_SUCCESS);
}

}  // namespace
}  // namespace korin::test
