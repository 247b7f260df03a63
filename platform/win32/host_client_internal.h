// What the socket client's files share: the process's connection to
// korin-host and the tables that route calls through it.
#pragma once

#include "host_client_protocol.h"
#include "services_control.h"
#include "syscall_table.h"

#include <string>

namespace korin::win32::client {

// What a call answers when there is no usable connection.
constexpr NTSTATUS kLostStatus = STATUS_IO_DEVICE_ERROR;
constexpr DWORD kLostError = ERROR_NOT_READY;

// Sends one request frame and receives the reply's payload. False when the
// connection is missing, belongs to the parent of a forked child, or failed
// (it is then closed for good).
bool RoundTrip(const wire::Bytes& request, wire::Bytes* reply);

// Closes the connection after a reply that broke the protocol.
void DropMalformed();

// One call: encodes request, decodes the reply record. False as RoundTrip,
// or when the reply is malformed (the connection is then dropped).
template <class Request, class Reply> bool Call(const Request& request, Reply* reply) {
    wire::Bytes payload;
    if (!RoundTrip(wire::EncodeRequest(request), &payload)) return false;
    if (wire::DecodePayload(payload, reply)) return true;
    DropMalformed();
    return false;
}

// Connects to the socket at path and says hello; returns the descriptor or -1
// with the reason in *why.
int OpenConnection(const std::string& socketPath, std::string* why);

const SyscallTable& SocketSyscalls();
const ServiceControlCalls& SocketServiceControl();

}  // namespace korin::win32::client
