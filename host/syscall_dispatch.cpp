// One request of the syscall socket, run as a system call of the connection's
// process with buffers of our own.
#include "syscall_dispatch.h"

#include "log.h"

#include "platform/nt/exceptions.h"
#include "platform/nt/io.h"
#include "platform/win32/services_control.h"
#include "platform/win32/syscall_table.h"

#include <algorithm>
#include <deque>

namespace korin::host {
namespace {

using namespace win32::wire;

// Values that tell whether a call wrote its handle or I/O status block.
const HANDLE kUnwrittenHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x6b6f72696e2d6866ull));
constexpr NTSTATUS kUnwrittenStatus = static_cast<NTSTATUS>(0x6b6f7269);
constexpr ULONG_PTR kUnwrittenInformation = 0x6b6f72696e2d696full;

HANDLE ToHandle(uint64_t value) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); }

// The buffers of one call. Each is declared valid caller memory for as long
// as the call runs (the frames stay on this object's life).
class CallMemory {
public:
    // A copy of a caller's input buffer (NULL when the caller passed none).
    void* Input(const InBuffer& buffer) {
        if (!buffer.data) return nullptr;
        return Declare(*buffer.data, buffer.data->size());
    }
    // A zeroed output buffer of the caller's length (NULL when none was passed).
    void* Output(const OutBuffer& buffer) {
        if (!buffer.present) return nullptr;
        return Declare(Bytes(std::max<uint32_t>(buffer.length, 1)), buffer.length);
    }
    // Any other record the call reads or writes.
    template <class T> T* Declare(T* object) {
        scopes_.emplace_back(object, sizeof(T));
        return object;
    }

private:
    void* Declare(Bytes bytes, size_t length) {
        blocks_.push_back(std::move(bytes));
        scopes_.emplace_back(blocks_.back().data(), length);
        return blocks_.back().data();
    }
    std::deque<Bytes> blocks_;  // stable addresses
    std::deque<io::UserBufferScope> scopes_;
};

// An I/O status block that remembers whether the call wrote it.
struct IoStatus {
    IO_STATUS_BLOCK block{};
    IoStatus() {
        block.Status = kUnwrittenStatus;
        block.Information = kUnwrittenInformation;
    }
    bool Written() const { return block.Status != kUnwrittenStatus || block.Information != kUnwrittenInformation; }
};

// The reply of an I/O call. Output reaches the caller as the I/O manager
// copies a buffered request's output: the first Information bytes, when the
// call did not fail.
IoReply MakeIoReply(NTSTATUS status, const IoStatus& io, const void* output, uint32_t length) {
    IoReply reply;
    reply.status = status;
    if (io.Written()) reply.ioStatus = WireIoStatus{io.block.Status, io.block.Information};
    if (output && io.Written() && !NT_ERROR(status)) {
        size_t n = std::min<uint64_t>(io.block.Information, length);
        const auto* bytes = static_cast<const uint8_t*>(output);
        reply.data.assign(bytes, bytes + n);
    }
    return reply;
}

// A counted string over the bytes of a request (kept alive by memory).
PUNICODE_STRING CountedString(CallMemory& memory, const std::optional<Bytes>& bytes, UNICODE_STRING* out) {
    if (!bytes) return nullptr;
    auto* buffer = static_cast<PWSTR>(memory.Input(InBuffer{bytes, static_cast<uint32_t>(bytes->size())}));
    auto length = static_cast<USHORT>(bytes->size());
    *out = {length, length, bytes->empty() ? nullptr : buffer};
    return memory.Declare(out);
}

const win32::SyscallTable& Kernel() { return win32::InProcessSyscalls(); }

// ----- One function per operation: decode, call, reply. False: malformed. ----

bool RunCreateFile(Reader& in, CallMemory& memory, Bytes* out) {
    CreateFileRequest r;
    if (!Decode(in, &r)) return false;
    if (r.attributes && r.attributes->objectName && r.attributes->objectName->size() > 2 * kMaxText) return false;
    OBJECT_ATTRIBUTES attributes{};
    UNICODE_STRING name;
    POBJECT_ATTRIBUTES pattributes = nullptr;
    if (r.attributes) {
        attributes.Length = r.attributes->length;
        attributes.RootDirectory = ToHandle(r.attributes->rootDirectory);
        attributes.ObjectName = CountedString(memory, r.attributes->objectName, &name);
        attributes.Attributes = r.attributes->attributes;
        pattributes = memory.Declare(&attributes);
    }
    LARGE_INTEGER allocation;
    PLARGE_INTEGER pallocation = nullptr;
    if (r.allocationSize) {
        allocation.QuadPart = *r.allocationSize;
        pallocation = memory.Declare(&allocation);
    }
    HANDLE handle = kUnwrittenHandle;
    IoStatus io;
    NTSTATUS status = Kernel().CreateFile(memory.Declare(&handle), r.desiredAccess, pattributes,
                                          memory.Declare(&io.block), pallocation, r.fileAttributes, r.shareAccess,
                                          r.disposition, r.options, memory.Input(r.ea), r.ea.length);
    IoReply reply = MakeIoReply(status, io, nullptr, 0);
    if (handle != kUnwrittenHandle) reply.handle = reinterpret_cast<uintptr_t>(handle);
    *out = EncodeReply(reply);
    return true;
}

bool RunClose(Reader& in, CallMemory&, Bytes* out) {
    CloseRequest r;
    if (!Decode(in, &r)) return false;
    *out = EncodeReply(StatusReply{Kernel().Close(ToHandle(r.handle))});
    return true;
}

// The query calls share one shape: handle, output buffer, class.
template <class Request, class Call>
bool RunQuery(Reader& in, CallMemory& memory, Bytes* out, Call call) {
    Request r;
    if (!Decode(in, &r)) return false;
    void* buffer = memory.Output(r.information);
    IoStatus io;
    NTSTATUS status = call(r, memory.Declare(&io.block), buffer);
    *out = EncodeReply(MakeIoReply(status, io, buffer, r.information.length));
    return true;
}

// The set calls: handle, input buffer, class.
template <class Request, class Call>
bool RunSet(Reader& in, CallMemory& memory, Bytes* out, Call call) {
    Request r;
    if (!Decode(in, &r)) return false;
    if (r.information.data && r.information.data->size() != r.information.length) return false;
    IoStatus io;
    NTSTATUS status = call(r, memory.Declare(&io.block), memory.Input(r.information));
    *out = EncodeReply(MakeIoReply(status, io, nullptr, 0));
    return true;
}

bool RunQueryDirectory(Reader& in, CallMemory& memory, Bytes* out) {
    QueryDirectoryFileRequest r;
    if (!Decode(in, &r)) return false;
    if (r.fileName && r.fileName->size() > 2 * kMaxText) return false;
    UNICODE_STRING name;
    PUNICODE_STRING pname = CountedString(memory, r.fileName, &name);
    void* buffer = memory.Output(r.information);
    IoStatus io;
    NTSTATUS status = Kernel().QueryDirectoryFile(ToHandle(r.handle), memory.Declare(&io.block), buffer,
                                                  r.information.length,
                                                  static_cast<FILE_INFORMATION_CLASS>(r.informationClass), r.flags,
                                                  pname, r.fileIndex);
    *out = EncodeReply(MakeIoReply(status, io, buffer, r.information.length));
    return true;
}

bool RunDeviceIoControl(Reader& in, CallMemory& memory, Bytes* out) {
    DeviceIoControlFileRequest r;
    if (!Decode(in, &r)) return false;
    if (r.input.data && r.input.data->size() != r.input.length) return false;
    void* input = memory.Input(r.input);
    void* output = memory.Output(r.output);
    IoStatus io;
    NTSTATUS status = Kernel().DeviceIoControlFile(ToHandle(r.handle), ToHandle(r.event), nullptr, nullptr,
                                                   memory.Declare(&io.block), r.ioControlCode, input, r.input.length,
                                                   output, r.output.length);
    *out = EncodeReply(MakeIoReply(status, io, output, r.output.length));
    return true;
}

// Read and write: the optional byte offset and key become pointers.
template <class Request>
void OffsetAndKey(const Request& r, CallMemory& memory, LARGE_INTEGER* offset, ULONG* key, PLARGE_INTEGER* poffset,
                  PULONG* pkey) {
    *poffset = nullptr;
    *pkey = nullptr;
    if (r.byteOffset) {
        offset->QuadPart = *r.byteOffset;
        *poffset = memory.Declare(offset);
    }
    if (r.key) {
        *key = *r.key;
        *pkey = memory.Declare(key);
    }
}

bool RunRead(Reader& in, CallMemory& memory, Bytes* out) {
    ReadFileRequest r;
    if (!Decode(in, &r)) return false;
    LARGE_INTEGER offset;
    ULONG key;
    PLARGE_INTEGER poffset;
    PULONG pkey;
    OffsetAndKey(r, memory, &offset, &key, &poffset, &pkey);
    void* buffer = memory.Output(r.buffer);
    IoStatus io;
    NTSTATUS status = Kernel().ReadFile(ToHandle(r.handle), ToHandle(r.event), nullptr, nullptr,
                                        memory.Declare(&io.block), buffer, r.buffer.length, poffset, pkey);
    *out = EncodeReply(MakeIoReply(status, io, buffer, r.buffer.length));
    return true;
}

bool RunWrite(Reader& in, CallMemory& memory, Bytes* out) {
    WriteFileRequest r;
    if (!Decode(in, &r)) return false;
    if (r.buffer.data && r.buffer.data->size() != r.buffer.length) return false;
    LARGE_INTEGER offset;
    ULONG key;
    PLARGE_INTEGER poffset;
    PULONG pkey;
    OffsetAndKey(r, memory, &offset, &key, &poffset, &pkey);
    IoStatus io;
    NTSTATUS status = Kernel().WriteFile(ToHandle(r.handle), ToHandle(r.event), nullptr, nullptr,
                                         memory.Declare(&io.block), memory.Input(r.buffer), r.buffer.length, poffset,
                                         pkey);
    *out = EncodeReply(MakeIoReply(status, io, nullptr, 0));
    return true;
}

bool RunDosDevice(Op op, Reader& in, Bytes* out) {
    switch (op) {
    case Op::kDefineDosDevice: {
        DefineDosDeviceRequest r;
        if (!Decode(in, &r)) return false;
        *out = EncodeReply(StatusReply{Kernel().DefineDosDevice(r.name, r.target)});
        return true;
    }
    case Op::kRemoveDosDevice: {
        RemoveDosDeviceRequest r;
        if (!Decode(in, &r)) return false;
        *out = EncodeReply(StatusReply{Kernel().RemoveDosDevice(r.name, r.target ? &*r.target : nullptr, r.exactMatch)});
        return true;
    }
    case Op::kQueryDosDevice: {
        QueryDosDeviceRequest r;
        if (!Decode(in, &r)) return false;
        *out = EncodeReply(NamesReply{Kernel().QueryDosDevice(r.name)});
        return true;
    }
    default: {
        ListDosDevicesRequest r;
        if (!Decode(in, &r)) return false;
        *out = EncodeReply(NamesReply{Kernel().ListDosDevices()});
        return true;
    }
    }
}

bool RunService(Op op, Reader& in, Bytes* out, std::string* note) {
    ServiceRequest r;
    r.op = op;
    if (!Decode(in, &r)) return false;
    const auto& scm = win32::InProcessServiceControl();
    SERVICE_STATUS status{};
    DWORD error;
    switch (op) {
    case Op::kStartService: error = scm.Start(r.name, &status); break;
    case Op::kControlService: error = scm.Control(r.name, r.control, &status); break;
    case Op::kDeleteService: error = scm.Delete(r.name); break;
    default: error = scm.Query(r.name, &status); break;
    }
    if (op != Op::kQueryServiceStatus)
        *note = std::string(OpName(op)) + " " + Narrow(r.name) + ": " + std::to_string(error) + " (" +
                Win32ErrorName(error) + ")";
    *out = EncodeReply(ServiceReply{error, ToWire(status)});
    return true;
}

bool Run(Op op, Reader& in, CallMemory& memory, Bytes* out, std::string* note) {
    switch (op) {
    case Op::kCreateFile: return RunCreateFile(in, memory, out);
    case Op::kClose: return RunClose(in, memory, out);
    case Op::kQueryInformationFile:
        return RunQuery<QueryInformationFileRequest>(in, memory, out, [](auto& r, auto io, void* buffer) {
            return Kernel().QueryInformationFile(ToHandle(r.handle), io, buffer, r.information.length,
                                                 static_cast<FILE_INFORMATION_CLASS>(r.informationClass));
        });
    case Op::kQueryVolumeInformationFile:
        return RunQuery<QueryVolumeInformationFileRequest>(in, memory, out, [](auto& r, auto io, void* buffer) {
            return Kernel().QueryVolumeInformationFile(ToHandle(r.handle), io, buffer, r.information.length,
                                                       static_cast<FS_INFORMATION_CLASS>(r.informationClass));
        });
    case Op::kSetInformationFile:
        return RunSet<SetInformationFileRequest>(in, memory, out, [](auto& r, auto io, void* buffer) {
            return Kernel().SetInformationFile(ToHandle(r.handle), io, buffer, r.information.length,
                                               static_cast<FILE_INFORMATION_CLASS>(r.informationClass));
        });
    case Op::kSetVolumeInformationFile:
        return RunSet<SetVolumeInformationFileRequest>(in, memory, out, [](auto& r, auto io, void* buffer) {
            return Kernel().SetVolumeInformationFile(ToHandle(r.handle), io, buffer, r.information.length,
                                                     static_cast<FS_INFORMATION_CLASS>(r.informationClass));
        });
    case Op::kQueryDirectoryFile: return RunQueryDirectory(in, memory, out);
    case Op::kDeviceIoControlFile: return RunDeviceIoControl(in, memory, out);
    case Op::kReadFile: return RunRead(in, memory, out);
    case Op::kWriteFile: return RunWrite(in, memory, out);
    case Op::kDefineDosDevice:
    case Op::kRemoveDosDevice:
    case Op::kQueryDosDevice:
    case Op::kListDosDevices: return RunDosDevice(op, in, out);
    case Op::kStartService:
    case Op::kControlService:
    case Op::kQueryServiceStatus:
    case Op::kDeleteService: return RunService(op, in, out, note);
    case Op::kHello: return false;  // only as the first frame
    }
    return false;
}

// The reply a call gets when the machine failed under it.
Bytes FailureReply(Op op, NTSTATUS status) {
    switch (op) {
    case Op::kClose:
    case Op::kDefineDosDevice:
    case Op::kRemoveDosDevice: return EncodeReply(StatusReply{status});
    case Op::kQueryDosDevice:
    case Op::kListDosDevices: return EncodeReply(NamesReply{});
    case Op::kStartService:
    case Op::kControlService:
    case Op::kQueryServiceStatus:
    case Op::kDeleteService: return EncodeReply(ServiceReply{ERROR_INTERNAL_ERROR, {}});
    default: return EncodeReply(IoReply{status, std::nullopt, std::nullopt, {}});
    }
}

}  // namespace

DispatchResult Dispatch(const Bytes& payload, ps::Process& process) {
    DispatchResult result;
    Reader in(payload);
    auto code = in.Int<uint16_t>();
    if (!in.Ok() || code < static_cast<uint16_t>(Op::kCreateFile) ||
        code > static_cast<uint16_t>(Op::kDeleteService)) {
        result.malformed = true;
        return result;
    }
    result.op = static_cast<Op>(code);
    ps::ProcessScope scope(process);
    NTSTATUS failure = STATUS_SUCCESS;
    try {
        CallMemory memory;
        result.malformed = !Run(result.op, in, memory, &result.reply, &result.note);
        return result;
    } catch (const NtStatusException& e) {
        failure = e.status();
    } catch (const std::bad_alloc&) {
        failure = STATUS_INSUFFICIENT_RESOURCES;
    } catch (const std::exception& e) {
        Log("%s: %s", OpName(result.op), e.what());
        failure = STATUS_DRIVER_INTERNAL_ERROR;
    }
    result.note = std::string(OpName(result.op)) + " failed inside the machine: " + NtStatusName(failure);
    result.reply = FailureReply(result.op, failure);
    return result;
}

}  // namespace korin::host
