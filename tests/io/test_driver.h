// A tiny driver for I/O manager tests: started as a built-in driver, it
// records every request it receives and answers each major function with a
// handler the test chooses (by default: success, FILE_OPENED for a create).
#pragma once

#include "platform/nt/io.h"
#include "platform/nt/ob.h"
#include "platform/nt/syscalls.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace korin::test {

// What the driver saw of one request, copied when it arrived.
struct Request {
    UCHAR major = 0;
    PDEVICE_OBJECT device = nullptr;
    PFILE_OBJECT fileObject = nullptr;
    PFILE_OBJECT related = nullptr;
    std::u16string fileName;  // the file object's name
    UCHAR stackFlags = 0;
    ULONG createOptions = 0;  // Parameters.Create.Options (disposition << 24 | options)
    ULONG shareAccess = 0;
    ACCESS_MASK desiredAccess = 0;
    KPROCESSOR_MODE requestorMode = KernelMode;
    BOOLEAN synchronous = FALSE;  // IoIsOperationSynchronous
};

class TestDriver {
public:
    using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

    explicit TestDriver(const std::u16string& service = u"IoTest");
    ~TestDriver();  // unloads the driver, deleting its devices
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    // A device of this driver named name ("\Device\X"), ready for opens.
    PDEVICE_OBJECT AddDevice(const std::u16string& name);
    // Serves major with handler (installing the driver's dispatch routine for it).
    void On(UCHAR major, Handler handler);
    // Leaves major to the I/O manager's default routine.
    void Unset(UCHAR major);

    std::vector<Request> Requests() const;
    std::vector<UCHAR> Majors() const;  // of Requests(), in order
    void ClearRequests();

    // Completes irp with status and information; returns status.
    static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

private:
    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static void Unload(PDRIVER_OBJECT driver);

    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_DISPATCH defaultDispatch_ = nullptr;
    mutable std::mutex mutex_;
    std::map<UCHAR, Handler> handlers_;
    std::vector<Request> requests_;
};

// An absolute path to name as a counted string for object attributes.
struct NtName {
    explicit NtName(std::u16string name);
    std::u16string text;
    UNICODE_STRING string;
    OBJECT_ATTRIBUTES attributes;
};

// NtCreateFile with the usual arguments: the status, the handle in *handle.
NTSTATUS Open(const std::u16string& name, HANDLE* handle, ACCESS_MASK access = FILE_READ_DATA | SYNCHRONIZE,
              ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE, ULONG disposition = FILE_OPEN,
              ULONG options = FILE_SYNCHRONOUS_IO_NONALERT, HANDLE root = nullptr,
              IO_STATUS_BLOCK* ioStatus = nullptr);

}  // namespace korin::test
