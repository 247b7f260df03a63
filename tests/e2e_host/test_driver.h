// The control codes of the small driver the host tests load as a service.
//
// The driver takes its name from its service: it creates "\Device\<service>"
// and the link "\??\<service>", so "\\.\<service>" opens it.
#pragma once

#include "platform/nt/io.h"

namespace korin::test {

// Output: the input bytes in reverse order.
constexpr ULONG IOCTL_TEST_ECHO = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Pends until IOCTL_TEST_RELEASE is sent (from any handle).
constexpr ULONG IOCTL_TEST_WAIT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Completes every pending wait; output: how many were released (ULONG).
constexpr ULONG IOCTL_TEST_RELEASE = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Output: the number of file objects open on the device (creates not yet closed), ULONG.
constexpr ULONG IOCTL_TEST_OPEN_COUNT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);

}  // namespace korin::test
