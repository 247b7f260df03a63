// One request of the syscall socket run in-process: the reply a caller gets,
// what output reaches it, and requests that break the protocol.
#include "host/syscall_dispatch.h"

#include "platform/hostfs/hostfs.h"
#include "platform/nt/ob.h"
#include "platform/nt/process.h"
#include "platform/win32/services.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace korin::host {
namespace {

namespace fs = std::filesystem;

class DispatchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new fs::path(fs::temp_directory_path() / ("korin-dispatch-" + std::to_string(getpid())));
        fs::create_directories(*dir_);
        std::ofstream(*dir_ / "data.txt") << "0123456789";
        hostfs::Configuration configuration;
        configuration.Drives = {{u'W', dir_->string()}};
        ASSERT_EQ(hostfs::Configure(configuration), STATUS_SUCCESS);
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(io::StartBuiltinDriver(HostFsDriverEntry, hostfs::kServiceName, SERVICE_FILE_SYSTEM_DRIVER,
                                         &driver),
                  STATUS_SUCCESS);
        driver_ = driver;
    }
    static void TearDownTestSuite() {
        if (driver_ && driver_->DriverUnload) io::UnloadDriver(driver_);
        fs::remove_all(*dir_);
        delete dir_;
    }

    // Runs a request; the reply record decoded, or a failure when malformed.
    template <class Request, class Reply> Reply Run(const Request& request, ps::Process& process) {
        wire::Bytes frame = wire::EncodeRequest(request);
        DispatchResult result = Dispatch(wire::Bytes(frame.begin() + 4, frame.end()), process);
        EXPECT_FALSE(result.malformed);
        Reply reply{};
        EXPECT_TRUE(wire::DecodePayload(wire::Bytes(result.reply.begin() + 4, result.reply.end()), &reply));
        return reply;
    }

    uint64_t OpenData(ps::Process& process, uint32_t share) {
        std::u16string name = u"\\??\\W:\\data.txt";
        wire::CreateFileRequest r;
        r.desiredAccess = FILE_GENERIC_READ;
        wire::Bytes bytes(reinterpret_cast<const uint8_t*>(name.data()),
                          reinterpret_cast<const uint8_t*>(name.data() + name.size()));
        r.attributes = wire::WireObjectAttributes{sizeof(OBJECT_ATTRIBUTES), 0, bytes, OBJ_CASE_INSENSITIVE};
        r.shareAccess = share;
        r.disposition = FILE_OPEN;
        r.options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
        auto reply = Run<wire::CreateFileRequest, wire::IoReply>(r, process);
        lastStatus_ = reply.status;
        return reply.handle.value_or(0);
    }

    static fs::path* dir_;
    static PDRIVER_OBJECT driver_;
    NTSTATUS lastStatus_ = 0;
};
fs::path* DispatchTest::dir_ = nullptr;
PDRIVER_OBJECT DispatchTest::driver_ = nullptr;

TEST_F(DispatchTest, AReadReturnsExactlyWhatWasRead) {
    ps::Process process("dispatch-test");
    uint64_t handle = OpenData(process, FILE_SHARE_READ);
    ASSERT_EQ(lastStatus_, STATUS_SUCCESS);
    ASSERT_NE(handle, 0u);

    auto reply = Run<wire::ReadFileRequest, wire::IoReply>(
        wire::ReadFileRequest{handle, 0, {true, 4096}, int64_t{6}, std::nullopt}, process);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    ASSERT_TRUE(reply.ioStatus);
    EXPECT_EQ(reply.ioStatus->information, 4u);
    EXPECT_EQ(std::string(reply.data.begin(), reply.data.end()), "6789");

    // Past the end: an error, and no bytes at all.
    reply = Run<wire::ReadFileRequest, wire::IoReply>(
        wire::ReadFileRequest{handle, 0, {true, 16}, int64_t{100}, std::nullopt}, process);
    EXPECT_EQ(reply.status, STATUS_END_OF_FILE);
    EXPECT_TRUE(reply.data.empty());

    // A handle of another process is not this one's.
    ps::Process other("other");
    reply = Run<wire::ReadFileRequest, wire::IoReply>(
        wire::ReadFileRequest{handle, 0, {true, 16}, std::nullopt, std::nullopt}, other);
    EXPECT_EQ(reply.status, STATUS_INVALID_HANDLE);
    EXPECT_TRUE(reply.data.empty());
}

TEST_F(DispatchTest, ABufferTheCallerDidNotPassIsABadPointerNotACrash) {
    ps::Process process("dispatch-test");
    uint64_t handle = OpenData(process, FILE_SHARE_READ);
    ASSERT_EQ(lastStatus_, STATUS_SUCCESS);
    auto reply = Run<wire::ReadFileRequest, wire::IoReply>(
        wire::ReadFileRequest{handle, 0, {false, 10}, int64_t{0}, std::nullopt}, process);
    EXPECT_TRUE(NT_ERROR(reply.status)) << NtStatusName(reply.status);
    EXPECT_TRUE(reply.data.empty());
}

TEST_F(DispatchTest, AProcessThatGoesClosesItsHandles) {
    {
        ps::Process process("goes-away");
        OpenData(process, 0);
        ASSERT_EQ(lastStatus_, STATUS_SUCCESS);
        ps::Process other("other");
        OpenData(other, FILE_SHARE_READ);
        EXPECT_EQ(lastStatus_, STATUS_SHARING_VIOLATION);
    }
    ps::Process later("later");
    OpenData(later, 0);
    EXPECT_EQ(lastStatus_, STATUS_SUCCESS);
}

TEST_F(DispatchTest, RequestsThatBreakTheProtocolAreMalformed) {
    ps::Process process("dispatch-test");
    wire::Bytes hello = wire::EncodeRequest(wire::HelloRequest{});
    wire::Bytes close = wire::EncodeRequest(wire::CloseRequest{4});
    wire::Bytes write = wire::EncodeRequest(
        wire::WriteFileRequest{4, 0, {wire::Bytes{1, 2}, 5}, std::nullopt, std::nullopt});  // length lies
    const std::pair<const char*, wire::Bytes> cases[] = {
        {"empty", {}},
        {"half an operation", {1}},
        {"unknown operation", {0xee, 0x00}},
        {"hello after hello", wire::Bytes(hello.begin() + 4, hello.end())},
        {"truncated close", wire::Bytes(close.begin() + 4, close.end() - 1)},
        {"buffer length that lies", wire::Bytes(write.begin() + 4, write.end())},
    };
    for (const auto& [name, payload] : cases) EXPECT_TRUE(Dispatch(payload, process).malformed) << name;
    EXPECT_EQ(process.Handles().Count(), 0u);
}

TEST_F(DispatchTest, ServiceRequestsReachTheServiceManager) {
    ps::Process process("dispatch-test");
    auto reply = Run<wire::ServiceRequest, wire::ServiceReply>(
        wire::ServiceRequest{wire::Op::kStartService, u"a\\b", 0}, process);
    EXPECT_EQ(reply.error, ERROR_INVALID_NAME);
    wire::Bytes frame = wire::EncodeRequest(wire::ServiceRequest{wire::Op::kDeleteService, u"a\\b", 0});
    DispatchResult result = Dispatch(wire::Bytes(frame.begin() + 4, frame.end()), process);
    EXPECT_EQ(result.note, "DeleteService a\\b: 123 (ERROR_INVALID_NAME)");
}

}  // namespace
}  // namespace korin::host
