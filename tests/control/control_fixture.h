// The control tests' fixture: KRDriver started in this process on a registry
// database of its own, the control device open, requests sent with
// NtDeviceIoControlFile, and text dumps of the driver's store and namespace
// to prove that a refused request changed nothing.
#pragma once

#include "common/korin_ioctl.h"
#include "driver/namespace.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace korin::control_test {

using Bytes = std::vector<UCHAR>;

// Input buffers as the control interface wants them.
Bytes PathBytes(std::u16string_view path);  // the characters, no NUL
Bytes PairBytes(std::u16string_view first, std::u16string_view second);  // both with their NULs
Bytes LetterBytes(WCHAR letter);
Bytes LetterPairBytes(WCHAR current, WCHAR next);
Bytes RecordBytes(WCHAR letter, std::u16string_view name);  // a DriveRecord
Bytes LetterAndNameBytes(WCHAR letter, std::u16string_view name);  // letter, name, NUL

// ASCII text of a UTF-16 string (other units as \uXXXX), for messages and dumps.
std::string Narrow(std::u16string_view text);

// What came back from one request.
struct Reply {
    NTSTATUS status = 0;        // the completion status NtDeviceIoControlFile returned
    ULONG_PTR information = 0;  // IoStatus.Information (a sentinel when not written)
    Bytes output;               // the caller's output buffer afterwards (0xAB before the call)
    // The first four bytes of the output.
    ULONG Word() const;
    bool OutputUntouched() const;
};

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts KRDriver and opens "\\.\KRDriver" (SetUp does this once).
    void StartDriver();
    // A further handle to "\\.\KRDriver" (requests on one synchronous handle
    // are serialised; concurrent callers need their own). Close with NtClose.
    HANDLE OpenControl();
    // Closes the control handle and unloads the driver.
    void StopDriver();
    // Stop and start, as a restart of the machine would: the driver rebuilds
    // its namespace from the store.
    void RestartDriver();

    // Sends code with input on handle (the control device by default) with an
    // output buffer of outputLength bytes.
    Reply Send(ULONG code, const Bytes& input, ULONG outputLength = 4, HANDLE handle = nullptr);
    // The status word of a request that must succeed as a request.
    NTSTATUS Verdict(ULONG code, const Bytes& input);

    // Shortcuts that expect success.
    void MakeDrive(WCHAR letter, std::u16string_view name);
    void MakeFolder(std::u16string_view path);
    void MakeMapping(std::u16string_view path, std::u16string_view target);
    ItemType TypeOf(std::u16string_view path);

    // Sets "NextInstance" of the Drive key.
    void SetNextInstance(ULONG next);
    // Data of a value below the Drive key (relative key path, "" for the Drive key).
    bool ReadValue(std::u16string_view keyPath, std::u16string_view name, ULONG* type, Bytes* data);
    bool KeyExists(std::u16string_view keyPath);

    // The Drive key with everything below it, one line per key and value.
    std::string RegistryDump();
    // Every drive in DriveTable with its tree (children in enumeration
    // order, mapping targets in NT form) and every link in "\??".
    std::string NamespaceDump();
    std::string StateDump() { return RegistryDump() + NamespaceDump(); }

    std::string dir_;
    HANDLE control_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace korin::control_test
