// A driver image for LoadDriver tests. What it does depends on the service it
// is started as (the last component of its registry path):
//   ...Fail      creates its device, then fails with STATUS_NO_SUCH_DEVICE
//   ...NoUnload  has no unload routine
//   otherwise    creates "\Device\<service>" and deletes it on unload
#include "platform/nt/ntddk.h"

#include <string>

namespace {

std::u16string LastComponent(PUNICODE_STRING path) {
    std::u16string text(path->Buffer, path->Length / sizeof(WCHAR));
    return text.substr(text.rfind(u'\\') + 1);
}

bool EndsWith(const std::u16string& text, const std::u16string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

NTSTATUS Create(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = FILE_OPENED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT driver) {
    while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    std::u16string service = LastComponent(registryPath);
    std::u16string name = u"\\Device\\" + service;
    UNICODE_STRING deviceName{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    driver->MajorFunction[IRP_MJ_CREATE] = Create;
    if (EndsWith(service, u"Fail")) return STATUS_NO_SUCH_DEVICE;
    if (!EndsWith(service, u"NoUnload")) driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
