#include "test_driver.h"

#include "platform/nt/rtl.h"

#include <cstring>
#include <stdexcept>

namespace korin::test {
namespace {

// The driver being started: DriverEntry has no context argument of its own.
thread_local TestDriver* t_starting = nullptr;

TestDriver* Owner(PDEVICE_OBJECT device) { return *static_cast<TestDriver**>(device->DeviceExtension); }

}  // namespace

TestDriver::TestDriver(const std::u16string& service) {
    t_starting = this;
    NTSTATUS status = io::StartBuiltinDriver(Entry, service, 2, &driver_);
    t_starting = nullptr;
    if (!NT_SUCCESS(status)) throw std::runtime_error(std::string("test driver did not start: ") + NtStatusName(status));
}

TestDriver::~TestDriver() { io::UnloadDriver(driver_); }

NTSTATUS TestDriver::Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    t_starting->driver_ = driver;
    // Every slot starts with the I/O manager's default routine.
    t_starting->defaultDispatch_ = driver->MajorFunction[IRP_MJ_CREATE];
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) driver->MajorFunction[major] = Dispatch;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

void TestDriver::Unload(PDRIVER_OBJECT driver) {
    while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

PDEVICE_OBJECT TestDriver::AddDevice(const std::u16string& name) {
    UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                        const_cast<PWSTR>(name.data())};
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(TestDriver*), &text, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) throw std::runtime_error(std::string("test device: ") + NtStatusName(status));
    *static_cast<TestDriver**>(device->DeviceExtension) = this;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void TestDriver::On(UCHAR major, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[major] = std::move(handler);
    driver_->MajorFunction[major] = Dispatch;
}

void TestDriver::Unset(UCHAR major) { driver_->MajorFunction[major] = defaultDispatch_; }

NTSTATUS TestDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    TestDriver* self = Owner(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Request r;
    r.major = stack->MajorFunction;
    r.device = device;
    r.fileObject = stack->FileObject;
    r.stackFlags = stack->Flags;
    r.requestorMode = irp->RequestorMode;
    r.synchronous = IoIsOperationSynchronous(irp);
    if (r.fileObject) {
        r.related = r.fileObject->RelatedFileObject;
        r.fileName = std::u16string(r.fileObject->FileName.Buffer ? r.fileObject->FileName.Buffer : u"",
                                    r.fileObject->FileName.Length / sizeof(WCHAR));
    }
    if (r.major == IRP_MJ_CREATE) {
        r.createOptions = stack->Parameters.Create.Options;
        r.shareAccess = stack->Parameters.Create.ShareAccess;
        r.desiredAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
    }
    Handler handler;
    {
        std::lock_guard lock(self->mutex_);
        self->requests_.push_back(r);
        auto it = self->handlers_.find(r.major);
        if (it != self->handlers_.end()) handler = it->second;
    }
    if (handler) return handler(device, irp);
    return Complete(irp, STATUS_SUCCESS, r.major == IRP_MJ_CREATE ? FILE_OPENED : 0);
}

std::vector<Request> TestDriver::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<UCHAR> TestDriver::Majors() const {
    std::vector<UCHAR> majors;
    for (const auto& r : Requests()) majors.push_back(r.major);
    return majors;
}

void TestDriver::ClearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

NTSTATUS TestDriver::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NtName::NtName(std::u16string name) : text(std::move(name)) {
    string = {static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
    InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
}

NTSTATUS Open(const std::u16string& name, HANDLE* handle, ACCESS_MASK access, ULONG share, ULONG disposition,
              ULONG options, HANDLE root, IO_STATUS_BLOCK* ioStatus) {
    NtName n(name);
    n.attributes.RootDirectory = root;
    IO_STATUS_BLOCK local{};
    return NtCreateFile(handle, access, &n.attributes, ioStatus ? ioStatus : &local, nullptr, 0, share, disposition,
                        options, nullptr, 0);
}

}  // namespace korin::test
