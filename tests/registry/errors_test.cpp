// Status-to-error conversion and the last-error slot.
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

namespace {

TEST(StatusToError, EveryKernelStatusHasItsDocumentedError) {
    const std::map<ULONG, DWORD> expected = {
        {STATUS_SUCCESS, 0},
        {STATUS_TIMEOUT, 1460},
        {STATUS_PENDING, 997},
        {STATUS_REPARSE, 741},
        {STATUS_OBJECT_NAME_EXISTS, 183},
        {STATUS_DATATYPE_MISALIGNMENT, 998},
        {STATUS_BREAKPOINT, 317},
        {STATUS_BUFFER_OVERFLOW, 234},
        {STATUS_NO_MORE_FILES, 18},
        {STATUS_NO_MORE_ENTRIES, 259},
        {STATUS_UNSUCCESSFUL, 31},
        {STATUS_NOT_IMPLEMENTED, 1},
        {STATUS_INVALID_INFO_CLASS, 87},
        {STATUS_INFO_LENGTH_MISMATCH, 24},
        {STATUS_ACCESS_VIOLATION, 998},
        {STATUS_INVALID_HANDLE, 6},
        {STATUS_INVALID_PARAMETER, 87},
        {STATUS_NO_SUCH_DEVICE, 2},
        {STATUS_NO_SUCH_FILE, 2},
        {STATUS_INVALID_DEVICE_REQUEST, 1},
        {STATUS_END_OF_FILE, 38},
        {STATUS_NO_MEMORY, 8},
        {STATUS_ILLEGAL_INSTRUCTION, 317},
        {STATUS_ACCESS_DENIED, 5},
        {STATUS_BUFFER_TOO_SMALL, 122},
        {STATUS_OBJECT_TYPE_MISMATCH, 6},
        {STATUS_OBJECT_NAME_INVALID, 123},
        {STATUS_OBJECT_NAME_NOT_FOUND, 2},
        {STATUS_OBJECT_NAME_COLLISION, 183},
        {STATUS_OBJECT_PATH_INVALID, 161},
        {STATUS_OBJECT_PATH_NOT_FOUND, 3},
        {STATUS_OBJECT_PATH_SYNTAX_BAD, 161},
        {STATUS_SHARING_VIOLATION, 32},
        {STATUS_DELETE_PENDING, 5},
        {STATUS_DISK_FULL, 112},
        {STATUS_INSUFFICIENT_RESOURCES, 1450},
        {STATUS_MEDIA_WRITE_PROTECTED, 19},
        {STATUS_INSTRUCTION_MISALIGNMENT, 998},
        {STATUS_FILE_IS_A_DIRECTORY, 5},
        {STATUS_NOT_SUPPORTED, 50},
        {STATUS_BAD_NETWORK_PATH, 53},
        {STATUS_BAD_NETWORK_NAME, 67},
        {STATUS_NOT_SAME_DEVICE, 17},
        {STATUS_INVALID_USER_BUFFER, 1784},
        {STATUS_STACK_OVERFLOW, 1001},
        {STATUS_DIRECTORY_NOT_EMPTY, 145},
        {STATUS_NOT_A_DIRECTORY, 267},
        {STATUS_NAME_TOO_LONG, 206},
        {STATUS_IMAGE_ALREADY_LOADED, 1056},
        {STATUS_TOO_MANY_OPENED_FILES, 4},
        {STATUS_CANNOT_DELETE, 5},
        {STATUS_FILE_DELETED, 5},
        {STATUS_FILE_CLOSED, 6},
        {STATUS_KEY_DELETED, 1018},
        {STATUS_DRIVER_INTERNAL_ERROR, 1117},
        {STATUS_IO_DEVICE_ERROR, 1117},
        {STATUS_INVALID_VARIANT, 604},
        {STATUS_NETWORK_UNREACHABLE, 1231},
        {STATUS_REPARSE_POINT_NOT_RESOLVED, 1921},
        {STATUS_NOT_FOUND, 1168},
        {STATUS_DLL_NOT_FOUND, 126},
        {STATUS_PROCEDURE_NOT_FOUND, 127},
    };
    // Every status of the kernel's list must be in the table above: a new
    // status needs its error decided, not a silent ERROR_MR_MID_NOT_FOUND.
#define KORIN_CHECK_STATUS(name, value)                                                      \
    {                                                                                        \
        auto it = expected.find(static_cast<ULONG>(value));                                  \
        if (it == expected.end()) {                                                          \
            ADD_FAILURE() << #name " has no expected error in this test";                    \
        } else {                                                                             \
            EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(value)), it->second) << #name; \
        }                                                                                    \
    }
    KORIN_NTSTATUS_LIST(KORIN_CHECK_STATUS)
#undef KORIN_CHECK_STATUS
}

TEST(StatusToError, UnknownAndWin32CarryingStatuses) {
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0DE0001)), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0070020)), ERROR_SHARING_VIOLATION);
}

TEST(Win32Errors, NamesAndLastErrorPerThread) {
    EXPECT_STREQ(Win32ErrorName(ERROR_KEY_DELETED), "ERROR_KEY_DELETED");
    EXPECT_STREQ(Win32ErrorName(ERROR_BAD_LENGTH), "ERROR_BAD_LENGTH");
    EXPECT_STREQ(Win32ErrorName(99999), "99999");
    SetLastError(ERROR_MORE_DATA);
    DWORD seenByOther = 1;
    std::thread([&] { seenByOther = GetLastError(); }).join();
    EXPECT_EQ(seenByOther, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
}

}  // namespace
