// The syscall socket's wire format, shared by korin-host's server and the
// Win32 layer's client.
//
// A frame is a 32-bit little-endian length followed by that many bytes of
// payload. The client sends one request frame and waits for its reply frame;
// a connection carries one call at a time. A request payload starts with the
// operation code (16 bits); a reply payload is the reply record alone.
//
// Records list their fields once, in Visit(); Encode and Decode walk that
// list. Field encodings (all little-endian):
//   integers        fixed width
//   bool            one byte, 0 or 1 (anything else is malformed)
//   std::string     u32 byte count, then UTF-8 bytes
//   std::u16string  u32 unit count, then UTF-16 units
//   Bytes           u32 byte count, then the bytes
//   std::optional   one presence byte, then the value when present
//   std::vector<std::u16string>  u32 count, then each string
//
// Everything a peer sends is checked: counts are bounded by what is left of
// the frame and by the limits below, and a record must use its frame exactly.
// A frame that breaks any rule is malformed; the server closes the
// connection that sent it.
#pragma once

#include "services.h"

#include "platform/nt/ntbase.h"

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace korin::win32::wire {

constexpr uint32_t kProtocolVersion = 1;
// Largest data buffer one call carries; the client splits longer reads and
// writes and refuses longer buffers of other calls.
constexpr uint32_t kMaxBuffer = 16u << 20;
// Largest frame either side accepts: one buffer and its call's other fields.
constexpr uint32_t kMaxFrame = kMaxBuffer + (64u << 10);
// Longest string (UTF-16 units) and longest list of strings.
constexpr uint32_t kMaxText = 32767;  // a counted string holds at most 65534 bytes
constexpr uint32_t kMaxNames = 65536;

enum class Op : uint16_t {
    kHello = 1,
    kCreateFile,
    kClose,
    kQueryInformationFile,
    kSetInformationFile,
    kQueryDirectoryFile,
    kQueryVolumeInformationFile,
    kSetVolumeInformationFile,
    kDeviceIoControlFile,
    kReadFile,
    kWriteFile,
    kDefineDosDevice,
    kRemoveDosDevice,
    kQueryDosDevice,
    kListDosDevices,
    kStartService,
    kControlService,
    kQueryServiceStatus,
    kDeleteService,
};
const char* OpName(Op op);

using Bytes = std::vector<uint8_t>;

// ----- Pieces of records ---------------------------------------------------

// A caller's input buffer: its bytes, or absent for a NULL pointer (length
// still tells what the caller claimed).
struct InBuffer {
    std::optional<Bytes> data;
    uint32_t length = 0;
    template <class V> void Visit(V& v) { v(data, length); }
};

// A caller's output buffer: whether the pointer was given, and its length.
struct OutBuffer {
    bool present = false;
    uint32_t length = 0;
    template <class V> void Visit(V& v) { v(present, length); }
};

struct WireIoStatus {
    int32_t status = 0;
    uint64_t information = 0;
    template <class V> void Visit(V& v) { v(status, information); }
};

// OBJECT_ATTRIBUTES less its security fields, which stay with the caller.
struct WireObjectAttributes {
    uint32_t length = 0;
    uint64_t rootDirectory = 0;
    std::optional<Bytes> objectName;  // the counted string's bytes
    uint32_t attributes = 0;
    template <class V> void Visit(V& v) { v(length, rootDirectory, objectName, attributes); }
};

struct WireServiceStatus {
    uint32_t serviceType = 0, currentState = 0, controlsAccepted = 0, win32ExitCode = 0,
             serviceSpecificExitCode = 0, checkPoint = 0, waitHint = 0;
    template <class V> void Visit(V& v) {
        v(serviceType, currentState, controlsAccepted, win32ExitCode, serviceSpecificExitCode, checkPoint,
          waitHint);
    }
};
WireServiceStatus ToWire(const SERVICE_STATUS& status);
SERVICE_STATUS FromWire(const WireServiceStatus& status);

// ----- Requests ------------------------------------------------------------

struct HelloRequest {
    static constexpr Op kOp = Op::kHello;
    uint32_t version = kProtocolVersion;
    std::string name;  // the client program, for the host's log
    template <class V> void Visit(V& v) { v(version, name); }
};

struct CreateFileRequest {
    static constexpr Op kOp = Op::kCreateFile;
    uint32_t desiredAccess = 0;
    std::optional<WireObjectAttributes> attributes;
    std::optional<int64_t> allocationSize;
    uint32_t fileAttributes = 0, shareAccess = 0, disposition = 0, options = 0;
    InBuffer ea;
    template <class V> void Visit(V& v) {
        v(desiredAccess, attributes, allocationSize, fileAttributes, shareAccess, disposition, options, ea);
    }
};

struct CloseRequest {
    static constexpr Op kOp = Op::kClose;
    uint64_t handle = 0;
    template <class V> void Visit(V& v) { v(handle); }
};

struct QueryInformationFileRequest {
    static constexpr Op kOp = Op::kQueryInformationFile;
    uint64_t handle = 0;
    OutBuffer information;
    uint32_t informationClass = 0;
    template <class V> void Visit(V& v) { v(handle, information, informationClass); }
};

struct SetInformationFileRequest {
    static constexpr Op kOp = Op::kSetInformationFile;
    uint64_t handle = 0;
    InBuffer information;
    uint32_t informationClass = 0;
    template <class V> void Visit(V& v) { v(handle, information, informationClass); }
};

struct QueryDirectoryFileRequest {
    static constexpr Op kOp = Op::kQueryDirectoryFile;
    uint64_t handle = 0;
    OutBuffer information;
    uint32_t informationClass = 0;
    uint8_t flags = 0;
    std::optional<Bytes> fileName;
    uint32_t fileIndex = 0;
    template <class V> void Visit(V& v) { v(handle, information, informationClass, flags, fileName, fileIndex); }
};

struct QueryVolumeInformationFileRequest {
    static constexpr Op kOp = Op::kQueryVolumeInformationFile;
    uint64_t handle = 0;
    OutBuffer information;
    uint32_t informationClass = 0;
    template <class V> void Visit(V& v) { v(handle, information, informationClass); }
};

struct SetVolumeInformationFileRequest {
    static constexpr Op kOp = Op::kSetVolumeInformationFile;
    uint64_t handle = 0;
    InBuffer information;
    uint32_t informationClass = 0;
    template <class V> void Visit(V& v) { v(handle, information, informationClass); }
};

struct DeviceIoControlFileRequest {
    static constexpr Op kOp = Op::kDeviceIoControlFile;
    uint64_t handle = 0;
    uint64_t event = 0;
    uint32_t ioControlCode = 0;
    InBuffer input;
    OutBuffer output;
    template <class V> void Visit(V& v) { v(handle, event, ioControlCode, input, output); }
};

struct ReadFileRequest {
    static constexpr Op kOp = Op::kReadFile;
    uint64_t handle = 0;
    uint64_t event = 0;
    OutBuffer buffer;
    std::optional<int64_t> byteOffset;
    std::optional<uint32_t> key;
    template <class V> void Visit(V& v) { v(handle, event, buffer, byteOffset, key); }
};

struct WriteFileRequest {
    static constexpr Op kOp = Op::kWriteFile;
    uint64_t handle = 0;
    uint64_t event = 0;
    InBuffer buffer;
    std::optional<int64_t> byteOffset;
    std::optional<uint32_t> key;
    template <class V> void Visit(V& v) { v(handle, event, buffer, byteOffset, key); }
};

struct DefineDosDeviceRequest {
    static constexpr Op kOp = Op::kDefineDosDevice;
    std::u16string name, target;
    template <class V> void Visit(V& v) { v(name, target); }
};

struct RemoveDosDeviceRequest {
    static constexpr Op kOp = Op::kRemoveDosDevice;
    std::u16string name;
    std::optional<std::u16string> target;
    bool exactMatch = false;
    template <class V> void Visit(V& v) { v(name, target, exactMatch); }
};

struct QueryDosDeviceRequest {
    static constexpr Op kOp = Op::kQueryDosDevice;
    std::u16string name;
    template <class V> void Visit(V& v) { v(name); }
};

struct ListDosDevicesRequest {
    static constexpr Op kOp = Op::kListDosDevices;
    template <class V> void Visit(V&) {}
};

// Service requests name the service; control is only used by kControlService.
struct ServiceRequest {
    Op op = Op::kQueryServiceStatus;
    std::u16string name;
    uint32_t control = 0;
    template <class V> void Visit(V& v) { v(name, control); }
};

// ----- Replies -------------------------------------------------------------

struct HelloReply {
    uint32_t version = kProtocolVersion;
    template <class V> void Visit(V& v) { v(version); }
};

struct StatusReply {
    int32_t status = 0;
    template <class V> void Visit(V& v) { v(status); }
};

// What an I/O call returns: its status, the I/O status block when the call
// wrote it, the handle it opened (creates), and the output bytes the caller's
// buffer receives (the first Information bytes, for calls that did not fail).
struct IoReply {
    int32_t status = 0;
    std::optional<WireIoStatus> ioStatus;
    std::optional<uint64_t> handle;
    Bytes data;
    template <class V> void Visit(V& v) { v(status, ioStatus, handle, data); }
};

struct NamesReply {
    std::vector<std::u16string> names;
    template <class V> void Visit(V& v) { v(names); }
};

struct ServiceReply {
    uint32_t error = 0;
    WireServiceStatus status;
    template <class V> void Visit(V& v) { v(error, status); }
};

// ----- Encoding --------------------------------------------------------------

// Appends fields to a payload.
class Writer {
public:
    void Raw(const void* data, size_t size);
    template <class T> void Int(T value) {
        static_assert(std::is_integral_v<T>);
        uint8_t bytes[sizeof(T)];
        for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
        Raw(bytes, sizeof(T));
    }
    template <class... F> void operator()(F&... fields) { (Field(fields), ...); }
    Bytes& Payload() { return payload_; }

private:
    template <class T> void Field(const T& field);
    Bytes payload_;
};

// Reads fields from a payload; the first fault makes Ok() false for good and
// every later read yields zeroes.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), left_(size) {}
    explicit Reader(const Bytes& payload) : Reader(payload.data(), payload.size()) {}
    bool Raw(void* out, size_t size);
    template <class T> T Int() {
        static_assert(std::is_integral_v<T>);
        uint8_t bytes[sizeof(T)] = {};
        Raw(bytes, sizeof(T));
        uint64_t value = 0;
        for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
        return static_cast<T>(value);
    }
    template <class... F> void operator()(F&... fields) { (Field(fields), ...); }
    bool Ok() const { return ok_; }
    // The whole payload was read without a fault.
    bool Done() const { return ok_ && left_ == 0; }
    void Fail() { ok_ = false; }

private:
    template <class T> void Field(T& field);
    // Reads a u32 count of units of size unit, bounded by max and by what is left.
    bool Count(uint32_t max, size_t unit, uint32_t* count);
    const uint8_t* data_;
    size_t left_;
    bool ok_ = true;
};

template <class T> void Writer::Field(const T& field) {
    if constexpr (std::is_same_v<T, bool>) {
        Int<uint8_t>(field ? 1 : 0);
    } else if constexpr (std::is_integral_v<T>) {
        Int<T>(field);
    } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, Bytes>) {
        Int<uint32_t>(static_cast<uint32_t>(field.size()));
        Raw(field.data(), field.size());
    } else if constexpr (std::is_same_v<T, std::u16string>) {
        Int<uint32_t>(static_cast<uint32_t>(field.size()));
        for (char16_t c : field) Int<uint16_t>(c);
    } else if constexpr (std::is_same_v<T, std::vector<std::u16string>>) {
        Int<uint32_t>(static_cast<uint32_t>(field.size()));
        for (const auto& s : field) Field(s);
    } else if constexpr (requires { field.has_value(); }) {
        Int<uint8_t>(field.has_value() ? 1 : 0);
        if (field) Field(*field);
    } else {
        const_cast<T&>(field).Visit(*this);
    }
}

template <class T> void Reader::Field(T& field) {
    if constexpr (std::is_same_v<T, bool>) {
        uint8_t b = Int<uint8_t>();
        if (b > 1) Fail();
        field = b == 1;
    } else if constexpr (std::is_integral_v<T>) {
        field = Int<T>();
    } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, Bytes>) {
        uint32_t n = 0;
        field.clear();
        if (!Count(kMaxBuffer, 1, &n)) return;
        field.resize(n);
        Raw(field.data(), n);
    } else if constexpr (std::is_same_v<T, std::u16string>) {
        uint32_t n = 0;
        field.clear();
        if (!Count(kMaxText, 2, &n)) return;
        field.resize(n);
        for (auto& c : field) c = Int<uint16_t>();
    } else if constexpr (std::is_same_v<T, std::vector<std::u16string>>) {
        uint32_t n = 0;
        field.clear();
        if (!Count(kMaxNames, 4, &n)) return;  // every string takes at least its count
        field.resize(n);
        for (auto& s : field) Field(s);
    } else if constexpr (requires { field.has_value(); }) {
        uint8_t present = Int<uint8_t>();
        if (present > 1) Fail();
        field.reset();
        if (present == 1 && ok_) Field(field.emplace());
    } else {
        field.Visit(*this);
    }
}

// A request frame (length prefix, operation, record).
template <class Request> Bytes EncodeRequest(const Request& request, Op op = Request::kOp) {
    Writer w;
    w.Int<uint32_t>(0);
    w.Int<uint16_t>(static_cast<uint16_t>(op));
    w(const_cast<Request&>(request));
    Bytes frame = std::move(w.Payload());
    uint32_t size = static_cast<uint32_t>(frame.size() - 4);
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(size >> (8 * i));
    return frame;
}
inline Bytes EncodeRequest(const ServiceRequest& request) { return EncodeRequest(request, request.op); }

// A reply frame (length prefix, record).
template <class Reply> Bytes EncodeReply(const Reply& reply) {
    Writer w;
    w.Int<uint32_t>(0);
    w(const_cast<Reply&>(reply));
    Bytes frame = std::move(w.Payload());
    uint32_t size = static_cast<uint32_t>(frame.size() - 4);
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(size >> (8 * i));
    return frame;
}

// Decodes a record that must fill the rest of reader exactly.
template <class Record> bool Decode(Reader& reader, Record* record) {
    reader(*record);
    return reader.Done();
}
template <class Record> bool DecodePayload(const Bytes& payload, Record* record) {
    Reader reader(payload);
    return Decode(reader, record);
}

// ----- Frames on a stream socket -----------------------------------------------

enum class FrameStatus {
    kOk,
    kClosed,     // the peer closed the stream before a new frame began
    kMalformed,  // a length over kMaxFrame, or the stream ended inside a frame
    kError,      // the socket failed
};
// Reads one frame's payload.
FrameStatus ReadFrame(int fd, Bytes* payload);
// Writes a whole frame (as built by EncodeRequest/EncodeReply); false when
// the socket failed or the peer went away.
bool WriteFrame(int fd, const Bytes& frame);

}  // namespace korin::win32::wire
