// The recording stand-in for KRDriver's control device.

#include "fake_control_device.h"

#include "platform/nt/io.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korin::common_test {

namespace {

struct FakeState {
    std::mutex mutex;
    std::vector<RecordedRequest> requests;
    FakeAnswer answer;
    PDEVICE_OBJECT device = nullptr;
};

FakeState& State() {
    static FakeState state;
    return state;
}

UNICODE_STRING DeviceName = RTL_CONSTANT_STRING(u"\\FileSystem\\KRDriverCDO");
UNICODE_STRING LinkName = RTL_CONSTANT_STRING(u"\\DosDevices\\KRDriver");

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS, 0);
    FakeState& state = State();
    std::lock_guard lock(state.mutex);
    RecordedRequest request;
    request.code = stack->Parameters.DeviceIoControl.IoControlCode;
    request.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (inputLength) request.input.assign(buffer, buffer + inputLength);
    state.requests.push_back(request);
    const size_t written = std::min<size_t>(state.answer.output.size(), request.outputLength);
    if (written) std::memcpy(buffer, state.answer.output.data(), written);
    return Complete(irp, state.answer.status, written);
}

void Unload(PDRIVER_OBJECT) {
    IoDeleteSymbolicLink(&LinkName);
    if (State().device) IoDeleteDevice(State().device);
    State().device = nullptr;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL}) {
        driver->MajorFunction[major] = Dispatch;
    }
    driver->DriverUnload = Unload;
    NTSTATUS status =
        IoCreateDevice(driver, 0, &DeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &State().device);
    if (!NT_SUCCESS(status)) return status;
    State().device->Flags |= DO_BUFFERED_IO;
    State().device->Flags &= ~DO_DEVICE_INITIALIZING;
    return IoCreateSymbolicLink(&LinkName, &DeviceName);
}

}  // namespace

FakeControlDevice::FakeControlDevice() {
    {
        std::lock_guard lock(State().mutex);
        State().requests.clear();
        State().answer = FakeAnswer{};
    }
    EXPECT_EQ(io::StartBuiltinDriver(Entry, u"KRDriver", 2, &driver_), STATUS_SUCCESS);
}

FakeControlDevice::~FakeControlDevice() {
    if (driver_) io::UnloadDriver(driver_);
}

void FakeControlDevice::Answer(FakeAnswer answer) {
    std::lock_guard lock(State().mutex);
    State().answer = std::move(answer);
}

std::vector<RecordedRequest> FakeControlDevice::Requests() {
    std::lock_guard lock(State().mutex);
    return State().requests;
}

RecordedRequest FakeControlDevice::Last() {
    std::lock_guard lock(State().mutex);
    return State().requests.empty() ? RecordedRequest{} : State().requests.back();
}

std::vector<UCHAR> Word(ULONG word) {
    std::vector<UCHAR> bytes(4);
    std::memcpy(bytes.data(), &word, 4);
    return bytes;
}

}  // namespace korin::common_test
