// Device control: buffers by transfer method, what is copied back for each
// kind of completion status, access required by the code, and a driver that
// probes beyond what the caller handed in.
#include "platform/nt/exceptions.h"
#include "platform/nt/iomgr.h"
#include "test_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace korin::test {
namespace {

constexpr ULONG kBuffered = CTL_CODE(0xCD4B, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kNeedsWrite = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);

class DeviceControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ob::ResetNamespace();
        driver_.emplace(u"IoctlTest");
        driver_->AddDevice(u"\\FileSystem\\IoctlCdo");
        ob::CreateSymbolicLink(u"\\DosDevices\\IoctlTest", u"\\FileSystem\\IoctlCdo");
        ASSERT_EQ(Open(u"\\??\\IoctlTest", &handle_, FILE_GENERIC_READ | FILE_GENERIC_WRITE, 0, FILE_OPEN,
                       FILE_SYNCHRONOUS_IO_NONALERT),
                  STATUS_SUCCESS);
    }
    void TearDown() override {
        NtClose(handle_);
        EXPECT_EQ(io::LiveFileObjects(), 0u);
        driver_.reset();
        ob::ResetNamespace();
    }

    std::optional<TestDriver> driver_;
    HANDLE handle_ = nullptr;
};

struct CopyCase {
    const char* what;
    NTSTATUS status;
    ULONG_PTR information;
    size_t copied;
};

TEST_F(DeviceControlTest, BufferedOutputIsCopiedBackOnlyWithoutAnError) {
    const CopyCase cases[] = {
        {"success", STATUS_SUCCESS, 4, 4},
        {"success, more output", STATUS_SUCCESS, 12, 12},
        {"warning", STATUS_BUFFER_OVERFLOW, 6, 6},
        {"error", STATUS_OBJECT_NAME_NOT_FOUND, 4, 0},
        {"information beyond the output", STATUS_SUCCESS, 100, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const char input[] = "input!";
        unsigned char output[16];
        std::memset(output, 0xAA, sizeof output);
        driver_->On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
            auto& p = irp->Stack.Parameters.DeviceIoControl;
            EXPECT_EQ(p.IoControlCode, kBuffered);
            EXPECT_EQ(p.InputBufferLength, sizeof input);
            EXPECT_EQ(p.OutputBufferLength, sizeof output);
            auto* system = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(std::memcmp(system, input, sizeof input), 0);
            std::memset(system, 0x55, sizeof output);  // the one buffer holds max(input, output)
            return TestDriver::Complete(irp, c.status, c.information);
        });
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, &io, kBuffered, const_cast<char*>(input),
                                        sizeof input, output, sizeof output),
                  c.status);
        EXPECT_EQ(io.Status, c.status);
        for (size_t i = 0; i < sizeof output; ++i) ASSERT_EQ(output[i], i < c.copied ? 0x55 : 0xAA) << i;
    }
}

TEST_F(DeviceControlTest, NeitherMethodPassesTheCallersPointers) {
    char input[8] = "in";
    char output[8] = {};
    driver_->On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        auto& p = irp->Stack.Parameters.DeviceIoControl;
        EXPECT_EQ(p.Type3InputBuffer, static_cast<void*>(input));
        EXPECT_EQ(irp->UserBuffer, static_cast<void*>(output));
        ProbeForRead(p.Type3InputBuffer, p.InputBufferLength, 1);
        ProbeForWrite(irp->UserBuffer, p.OutputBufferLength, 1);
        std::memcpy(irp->UserBuffer, "out", 4);
        return TestDriver::Complete(irp, STATUS_SUCCESS, 4);
    });
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, &io, kNeither, input, sizeof input, output,
                                    sizeof output),
              STATUS_SUCCESS);
    EXPECT_STREQ(output, "out");
}

TEST_F(DeviceControlTest, ADriverProbingBeyondTheCallersBufferFailsTheCallOnly) {
    char input[8] = {};
    driver_->On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        // A length taken from the input's contents rather than from the caller.
        ProbeForRead(irp->Stack.Parameters.DeviceIoControl.Type3InputBuffer, 4096, 1);
        ADD_FAILURE() << "the probe should have raised";
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, &io, kNeither, input, sizeof input, nullptr, 0),
              STATUS_ACCESS_VIOLATION);
}

TEST_F(DeviceControlTest, DirectOutputComesLockedInAnMdl) {
    char output[32] = {};
    driver_->On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_NE(irp->MdlAddress, nullptr);
        auto* mapped = static_cast<char*>(MmMapLockedPagesSpecifyCache(irp->MdlAddress, KernelMode, MmCached,
                                                                        nullptr, FALSE, NormalPagePriority));
        EXPECT_EQ(mapped, output);
        std::memcpy(mapped, "direct", 7);
        return TestDriver::Complete(irp, STATUS_SUCCESS, 7);
    });
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, &io, kOutDirect, nullptr, 0, output,
                                    sizeof output),
              STATUS_SUCCESS);
    EXPECT_STREQ(output, "direct");
}

TEST_F(DeviceControlTest, TheCodesRequiredAccessIsChecked) {
    HANDLE readOnly;
    ASSERT_EQ(Open(u"\\??\\IoctlTest", &readOnly, FILE_READ_DATA, FILE_SHARE_READ, FILE_OPEN, 0), STATUS_SUCCESS);
    driver_->On(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) { return TestDriver::Complete(irp, STATUS_SUCCESS); });
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtDeviceIoControlFile(readOnly, nullptr, nullptr, nullptr, &io, kNeedsWrite, nullptr, 0, nullptr, 0),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, &io, kNeedsWrite, nullptr, 0, nullptr, 0),
              STATUS_SUCCESS);
    NtClose(readOnly);
}

TEST_F(DeviceControlTest, WithoutADeviceControlRoutineTheRequestIsInvalid) {
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, &io, kBuffered, nullptr, 0, nullptr, 0),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(NtDeviceIoControlFile(reinterpret_cast<HANDLE>(0x1234), nullptr, nullptr, nullptr, &io, kBuffered,
                                    nullptr, 0, nullptr, 0),
              STATUS_INVALID_HANDLE);
}

}  // namespace
}  // namespace korin::test
