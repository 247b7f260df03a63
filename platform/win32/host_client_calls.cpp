// The socket tables: each system call and service call of the Win32 layer as
// one request to korin-host. The caller's buffers are sent by value; output
// comes back as the bytes the call produced and is copied into the caller's
// buffer, with the I/O status block and the handle when the call wrote them.
#include "host_client_internal.h"

#include <algorithm>
#include <cstring>

namespace korin::win32::client {
namespace {

using wire::Bytes;

uint64_t HandleValue(HANDLE h) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h)); }

wire::InBuffer In(const void* data, ULONG length) {
    wire::InBuffer b;
    b.length = length;
    if (data) b.data = Bytes(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    return b;
}

// An output buffer; longer ones are offered as kMaxBuffer bytes, which every
// call but a read or a write (those are split) fills no further anyway.
wire::OutBuffer Out(const void* data, ULONG length) {
    return {data != nullptr, std::min<uint32_t>(length, wire::kMaxBuffer)};
}

std::optional<Bytes> CountedString(PCUNICODE_STRING s) {
    if (!s) return std::nullopt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(s->Buffer);
    return s->Buffer ? Bytes(bytes, bytes + s->Length) : Bytes();
}

// Hands the reply's results to the caller.
NTSTATUS Finish(const wire::IoReply& reply, PIO_STATUS_BLOCK ioStatus, void* buffer, ULONG length) {
    if (reply.ioStatus && ioStatus) {
        ioStatus->Status = reply.ioStatus->status;
        ioStatus->Information = reply.ioStatus->information;
    }
    if (buffer && !reply.data.empty()) std::memcpy(buffer, reply.data.data(), std::min<size_t>(reply.data.size(), length));
    return reply.status;
}

NTSTATUS SockCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                        PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                        ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                        ULONG eaLength) {
    if (eaBuffer && eaLength > wire::kMaxBuffer) return STATUS_INSUFFICIENT_RESOURCES;
    wire::CreateFileRequest r;
    r.desiredAccess = desiredAccess;
    if (attributes) {
        if (attributes->ObjectName && attributes->ObjectName->Length > 2 * wire::kMaxText)
            return STATUS_OBJECT_NAME_INVALID;
        r.attributes = wire::WireObjectAttributes{attributes->Length, HandleValue(attributes->RootDirectory),
                                                  CountedString(attributes->ObjectName), attributes->Attributes};
    }
    if (allocationSize) r.allocationSize = allocationSize->QuadPart;
    r.fileAttributes = fileAttributes;
    r.shareAccess = shareAccess;
    r.disposition = createDisposition;
    r.options = createOptions;
    r.ea = In(eaBuffer, eaLength);
    wire::IoReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    if (reply.handle && fileHandle) *fileHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(*reply.handle));
    return Finish(reply, ioStatus, nullptr, 0);
}

NTSTATUS SockClose(HANDLE handle) {
    wire::StatusReply reply;
    if (!Call(wire::CloseRequest{HandleValue(handle)}, &reply)) return kLostStatus;
    return reply.status;
}

NTSTATUS SockQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                  FILE_INFORMATION_CLASS informationClass) {
    wire::QueryInformationFileRequest r{HandleValue(fileHandle), Out(information, length),
                                        static_cast<uint32_t>(informationClass)};
    wire::IoReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    return Finish(reply, ioStatus, information, length);
}

NTSTATUS SockSetInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                FILE_INFORMATION_CLASS informationClass) {
    if (information && length > wire::kMaxBuffer) return STATUS_INSUFFICIENT_RESOURCES;
    wire::SetInformationFileRequest r{HandleValue(fileHandle), In(information, length),
                                      static_cast<uint32_t>(informationClass)};
    wire::IoReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    return Finish(reply, ioStatus, nullptr, 0);
}

NTSTATUS SockQueryDirectoryFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID fileInformation, ULONG length,
                                FILE_INFORMATION_CLASS informationClass, UCHAR flags, PUNICODE_STRING fileName,
                                ULONG fileIndex) {
    if (fileName && fileName->Length > 2 * wire::kMaxText) return STATUS_OBJECT_NAME_INVALID;
    wire::QueryDirectoryFileRequest r{HandleValue(fileHandle), Out(fileInformation, length),
                                      static_cast<uint32_t>(informationClass), flags, CountedString(fileName),
                                      fileIndex};
    wire::IoReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    return Finish(reply, ioStatus, fileInformation, length);
}

NTSTATUS SockQueryVolumeInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                                        ULONG length, FS_INFORMATION_CLASS informationClass) {
    wire::QueryVolumeInformationFileRequest r{HandleValue(fileHandle), Out(information, length),
                                              static_cast<uint32_t>(informationClass)};
    wire::IoReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    return Finish(reply, ioStatus, information, length);
}

NTSTATUS SockSetVolumeInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                      FS_INFORMATION_CLASS informationClass) {
    if (information && length > wire::kMaxBuffer) return STATUS_INSUFFICIENT_RESOURCES;
    wire::SetVolumeInformationFileRequest r{HandleValue(fileHandle), In(information, length),
                                            static_cast<uint32_t>(informationClass)};
    wire::IoReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    return Finish(reply, ioStatus, nullptr, 0);
}

NTSTATUS SockDeviceIoControlFile(HANDLE fileHandle, HANDLE event, PVOID, PVOID, PIO_STATUS_BLOCK ioStatus,
                                 ULONG ioControlCode, PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                 ULONG outputBufferLength) {
    if (inputBuffer && inputBufferLength > wire::kMaxBuffer) return STATUS_INSUFFICIENT_RESOURCES;
    wire::DeviceIoControlFileRequest r{HandleValue(fileHandle), HandleValue(event), ioControlCode,
                                       In(inputBuffer, inputBufferLength), Out(outputBuffer, outputBufferLength)};
    wire::IoReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    return Finish(reply, ioStatus, outputBuffer, outputBufferLength);
}

// Offsets below zero are the special positions (current position, end of
// file): every piece of a split transfer uses them unchanged.
std::optional<int64_t> Advance(std::optional<int64_t> offset, ULONG_PTR done) {
    if (offset && *offset >= 0) *offset += static_cast<int64_t>(done);
    return offset;
}

NTSTATUS ReadOnce(HANDLE fileHandle, HANDLE event, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                  std::optional<int64_t> byteOffset, PULONG key) {
    wire::ReadFileRequest r{HandleValue(fileHandle), HandleValue(event), Out(buffer, length), byteOffset,
                            key ? std::optional<uint32_t>(*key) : std::nullopt};
    wire::IoReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    return Finish(reply, ioStatus, buffer, length);
}

// Reads longer than one frame carries go in pieces until one comes back short.
NTSTATUS SockReadFile(HANDLE fileHandle, HANDLE event, PVOID, PVOID, PIO_STATUS_BLOCK ioStatus, PVOID buffer,
                      ULONG length, PLARGE_INTEGER byteOffset, PULONG key) {
    std::optional<int64_t> offset;
    if (byteOffset) offset = byteOffset->QuadPart;
    if (!buffer || length <= wire::kMaxBuffer) return ReadOnce(fileHandle, event, ioStatus, buffer, length, offset, key);
    ULONG_PTR done = 0;
    NTSTATUS status = STATUS_SUCCESS;
    while (done < length) {
        ULONG piece = std::min<ULONG>(length - static_cast<ULONG>(done), wire::kMaxBuffer);
        IO_STATUS_BLOCK io{};
        status = ReadOnce(fileHandle, event, &io, static_cast<uint8_t*>(buffer) + done, piece, offset, key);
        if (!NT_SUCCESS(status)) break;
        done += io.Information;
        offset = Advance(offset, io.Information);
        if (io.Information < piece) break;
    }
    // The end of the file after some bytes is a short read, not a failure.
    if (done > 0 && (NT_SUCCESS(status) || status == STATUS_END_OF_FILE)) status = STATUS_SUCCESS;
    if (ioStatus && (done > 0 || status != kLostStatus)) {
        ioStatus->Status = status;
        ioStatus->Information = done;
    }
    return status;
}

NTSTATUS WriteOnce(HANDLE fileHandle, HANDLE event, PIO_STATUS_BLOCK ioStatus, const void* buffer, ULONG length,
                   std::optional<int64_t> byteOffset, PULONG key) {
    wire::WriteFileRequest r{HandleValue(fileHandle), HandleValue(event), In(buffer, length), byteOffset,
                             key ? std::optional<uint32_t>(*key) : std::nullopt};
    wire::IoReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    return Finish(reply, ioStatus, nullptr, 0);
}

NTSTATUS SockWriteFile(HANDLE fileHandle, HANDLE event, PVOID, PVOID, PIO_STATUS_BLOCK ioStatus, PVOID buffer,
                       ULONG length, PLARGE_INTEGER byteOffset, PULONG key) {
    std::optional<int64_t> offset;
    if (byteOffset) offset = byteOffset->QuadPart;
    if (!buffer || length <= wire::kMaxBuffer)
        return WriteOnce(fileHandle, event, ioStatus, buffer, length, offset, key);
    ULONG_PTR done = 0;
    NTSTATUS status = STATUS_SUCCESS;
    while (done < length) {
        ULONG piece = std::min<ULONG>(length - static_cast<ULONG>(done), wire::kMaxBuffer);
        IO_STATUS_BLOCK io{};
        status = WriteOnce(fileHandle, event, &io, static_cast<uint8_t*>(buffer) + done, piece, offset, key);
        if (!NT_SUCCESS(status)) break;
        done += io.Information;
        offset = Advance(offset, io.Information);
        if (io.Information < piece) break;
    }
    if (ioStatus) {
        ioStatus->Status = status;
        ioStatus->Information = done;
    }
    return status;
}

NTSTATUS SockDefineDosDevice(const std::u16string& name, const std::u16string& target) {
    if (name.size() > wire::kMaxText || target.size() > wire::kMaxText) return STATUS_OBJECT_NAME_INVALID;
    wire::StatusReply reply;
    if (!Call(wire::DefineDosDeviceRequest{name, target}, &reply)) return kLostStatus;
    return reply.status;
}

NTSTATUS SockRemoveDosDevice(const std::u16string& name, const std::u16string* target, bool exactMatch) {
    if (name.size() > wire::kMaxText || (target && target->size() > wire::kMaxText)) return STATUS_OBJECT_NAME_INVALID;
    wire::RemoveDosDeviceRequest r{name, target ? std::optional(*target) : std::nullopt, exactMatch};
    wire::StatusReply reply;
    if (!Call(r, &reply)) return kLostStatus;
    return reply.status;
}

std::vector<std::u16string> SockQueryDosDevice(const std::u16string& name) {
    wire::NamesReply reply;
    if (name.size() > wire::kMaxText || !Call(wire::QueryDosDeviceRequest{name}, &reply)) return {};
    return reply.names;
}

std::vector<std::u16string> SockListDosDevices() {
    wire::NamesReply reply;
    if (!Call(wire::ListDosDevicesRequest{}, &reply)) return {};
    return reply.names;
}

DWORD ServiceCall(wire::Op op, const std::u16string& name, DWORD control, SERVICE_STATUS* status) {
    if (name.size() > wire::kMaxText) return ERROR_INVALID_NAME;
    wire::ServiceReply reply;
    if (!Call(wire::ServiceRequest{op, name, control}, &reply)) return kLostError;
    if (status) *status = wire::FromWire(reply.status);
    return reply.error;
}

DWORD SockStartService(const std::u16string& name, SERVICE_STATUS* status) {
    return ServiceCall(wire::Op::kStartService, name, 0, status);
}
DWORD SockControlService(const std::u16string& name, DWORD control, SERVICE_STATUS* status) {
    return ServiceCall(wire::Op::kControlService, name, control, status);
}
DWORD SockQueryService(const std::u16string& name, SERVICE_STATUS* status) {
    return ServiceCall(wire::Op::kQueryServiceStatus, name, 0, status);
}
DWORD SockDeleteService(const std::u16string& name) {
    return ServiceCall(wire::Op::kDeleteService, name, 0, nullptr);
}

}  // namespace

const SyscallTable& SocketSyscalls() {
    static const SyscallTable table = {
        SockCreateFile,         SockClose,           SockQueryInformationFile, SockSetInformationFile,
        SockQueryDirectoryFile, SockQueryVolumeInformationFile, SockSetVolumeInformationFile,
        SockDeviceIoControlFile, SockReadFile,        SockWriteFile,            SockDefineDosDevice,
        SockRemoveDosDevice,    SockQueryDosDevice,  SockListDosDevices,
    };
    return table;
}

const ServiceControlCalls& SocketServiceControl() {
    static const ServiceControlCalls calls = {SockStartService, SockControlService, SockQueryService,
                                              SockDeleteService};
    return calls;
}

}  // namespace korin::win32::client
