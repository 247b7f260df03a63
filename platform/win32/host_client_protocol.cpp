// The syscall socket's wire format: field encoding, bounds checks and frames.
#include "host_client_protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korin::win32::wire {

const char* OpName(Op op) {
    switch (op) {
    case Op::kHello: return "Hello";
    case Op::kCreateFile: return "CreateFile";
    case Op::kClose: return "Close";
    case Op::kQueryInformationFile: return "QueryInformationFile";
    case Op::kSetInformationFile: return "SetInformationFile";
    case Op::kQueryDirectoryFile: return "QueryDirectoryFile";
    case Op::kQueryVolumeInformationFile: return "QueryVolumeInformationFile";
    case Op::kSetVolumeInformationFile: return "SetVolumeInformationFile";
    case Op::kDeviceIoControlFile: return "DeviceIoControlFile";
    case Op::kReadFile: return "ReadFile";
    case Op::kWriteFile: return "WriteFile";
    case Op::kDefineDosDevice: return "DefineDosDevice";
    case Op::kRemoveDosDevice: return "RemoveDosDevice";
    case Op::kQueryDosDevice: return "QueryDosDevice";
    case Op::kListDosDevices: return "ListDosDevices";
    case Op::kStartService: return "StartService";
    case Op::kControlService: return "ControlService";
    case Op::kQueryServiceStatus: return "QueryServiceStatus";
    case Op::kDeleteService: return "DeleteService";
    }
    return "unknown";
}

WireServiceStatus ToWire(const SERVICE_STATUS& s) {
    return {s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
            s.dwCheckPoint, s.dwWaitHint};
}

SERVICE_STATUS FromWire(const WireServiceStatus& s) {
    return {s.serviceType, s.currentState, s.controlsAccepted, s.win32ExitCode, s.serviceSpecificExitCode,
            s.checkPoint, s.waitHint};
}

void Writer::Raw(const void* data, size_t size) {
    if (size) payload_.insert(payload_.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
}

bool Reader::Raw(void* out, size_t size) {
    if (!ok_ || size > left_) {
        ok_ = false;
        if (size) std::memset(out, 0, size);
        return false;
    }
    if (size) std::memcpy(out, data_, size);
    data_ += size;
    left_ -= size;
    return true;
}

bool Reader::Count(uint32_t max, size_t unit, uint32_t* count) {
    *count = Int<uint32_t>();
    if (!ok_ || *count > max || static_cast<uint64_t>(*count) * unit > left_) {
        ok_ = false;
        *count = 0;
        return false;
    }
    return true;
}

namespace {

// Reads exactly size bytes. 0: done; 1: the stream ended before the first
// byte; 2: it ended later; -1: error.
int ReadExactly(int fd, uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, out + got, size - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            return got == 0 ? 1 : 2;
        } else if (errno != EINTR) {
            return errno == ECONNRESET ? (got == 0 ? 1 : 2) : -1;
        }
    }
    return 0;
}

}  // namespace

FrameStatus ReadFrame(int fd, Bytes* payload) {
    uint8_t prefix[4];
    switch (ReadExactly(fd, prefix, sizeof prefix)) {
    case 0: break;
    case 1: return FrameStatus::kClosed;
    case 2: return FrameStatus::kMalformed;
    default: return FrameStatus::kError;
    }
    uint32_t size = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (static_cast<uint32_t>(prefix[3]) << 24);
    if (size > kMaxFrame) return FrameStatus::kMalformed;
    payload->resize(size);
    switch (ReadExactly(fd, payload->data(), size)) {
    case 0: return FrameStatus::kOk;
    case -1: return FrameStatus::kError;
    default: return FrameStatus::kMalformed;
    }
}

bool WriteFrame(int fd, const Bytes& frame) {
    size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n = send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace korin::win32::wire
