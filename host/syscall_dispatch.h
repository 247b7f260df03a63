// Running one request of the syscall socket: decode, call the machine's
// system call for the connection's process, encode the reply.
#pragma once

#include "platform/nt/process.h"
#include "platform/win32/host_client_protocol.h"

#include <string>

namespace korin::host {

namespace wire = win32::wire;

struct DispatchResult {
    bool malformed = false;  // the request broke the protocol: close the connection
    wire::Op op = wire::Op::kHello;
    wire::Bytes reply;  // the whole reply frame
    std::string note;   // a line for the log ("" for ordinary calls)
};

// Runs the request payload (operation code and record) as a call of process.
// The caller's buffers are copies owned by the call and declared with
// korin::io::UserBufferScope while it runs; output buffers are allocated here
// at the length the caller gave. A raised status or an exception that escapes
// the system call becomes the call's status; nothing leaves this function.
DispatchResult Dispatch(const wire::Bytes& payload, ps::Process& process);

}  // namespace korin::host
