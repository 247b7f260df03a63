// The I/O manager's overhead per request, with a driver that answers at once:
// what every open and control request through the system pays before any
// file system does its work.
#include "platform/nt/io.h"
#include "platform/nt/ob.h"
#include "platform/nt/syscalls.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

namespace {

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = irp->Stack.MajorFunction == IRP_MJ_CREATE ? FILE_OPENED : 0;
    if (irp->Stack.MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, irp->Stack.Parameters.DeviceIoControl.OutputBufferLength);
        irp->IoStatus.Information = irp->Stack.Parameters.DeviceIoControl.OutputBufferLength;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL})
        driver->MajorFunction[major] = Succeed;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BenchNull");
    PDEVICE_OBJECT device;
    return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

// The null driver, reached as \??\N: through a second link, as drive letters
// of virtual drives are.
void Setup() {
    static bool done = [] {
        korin::io::StartBuiltinDriver(Entry, u"BenchNull", 1, nullptr);
        korin::ob::CreateSymbolicLink(u"\\??\\BenchNull", u"\\Device\\BenchNull");
        korin::ob::DefineDosDevice(u"N:", u"\\??\\BenchNull");
        return true;
    }();
    (void)done;
}

void BM_ParsePath(benchmark::State& state) {
    Setup();
    PDEVICE_OBJECT device;
    std::u16string remainder;
    for (auto _ : state) {
        NTSTATUS status = korin::ob::ParsePath(u"\\??\\N:\\Folder\\Sub\\file.txt", &device, &remainder);
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(BM_ParsePath);

void BM_OpenClose(benchmark::State& state) {
    Setup();
    std::u16string path = u"\\??\\N:\\Folder\\file.txt";
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    for (auto _ : state) {
        HANDLE handle;
        IO_STATUS_BLOCK io;
        NtCreateFile(&handle, FILE_READ_DATA | SYNCHRONIZE, &attributes, &io, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                     FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        NtClose(handle);
    }
}
BENCHMARK(BM_OpenClose);

void BM_BufferedDeviceControl(benchmark::State& state) {
    Setup();
    std::u16string path = u"\\??\\BenchNull";
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle;
    IO_STATUS_BLOCK io;
    NtCreateFile(&handle, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, &attributes, &io, nullptr, 0, 0, FILE_OPEN,
                 FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    char input[64] = {}, output[260];
    constexpr ULONG kCode = CTL_CODE(0xCD4B, 0x909, METHOD_BUFFERED, FILE_ANY_ACCESS);
    for (auto _ : state) {
        NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, kCode, input, sizeof input, output, sizeof output);
        benchmark::DoNotOptimize(output[0]);
    }
    NtClose(handle);
}
BENCHMARK(BM_BufferedDeviceControl);

}  // namespace

BENCHMARK_MAIN();
