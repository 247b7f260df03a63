// Running the real korin-host in a temporary home for end-to-end tests.
#pragma once

#include "platform/nt/ntbase.h"
#include "tests/support/text_files.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace korin::test {

// A directory made for the test and removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

using testsupport::ReadWholeFile;
using testsupport::WriteFile;
bool Exists(const std::string& path);

using testsupport::SanitizerFindings;

// korin-host in the foreground, its standard error in <home>/host.err.
class HostProcess {
public:
    ~HostProcess();
    // Starts korin-host --foreground --home home args... and waits until its
    // socket answers (false when it exits or does not answer in time).
    bool Start(const std::string& home, const std::vector<std::string>& args);
    // Sends signal and waits for the exit; the exit code, or 128 + signal
    // when a signal ended it.
    int Stop(int signal = SIGTERM);
    std::string Stderr() const;
    pid_t pid() const { return pid_; }

private:
    std::string home_;
    pid_t pid_ = -1;
};

// Runs korin-host with args to its end; exit code and standard error.
int RunHost(const std::vector<std::string>& args, std::string* stderrText);

// A host for a temporary home with a temporary directory as host drive T:,
// this test process connected to it. Tear-down stops the host with SIGTERM
// and fails the test unless it stopped cleanly with no sanitizer findings.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Stops the host (tear-down then only checks what this returned).
    void StopHost();

    // Opens a path of the machine ("\??\T:\x") through the Win32 layer's syscalls.
    NTSTATUS Open(const std::u16string& path, ACCESS_MASK access, ULONG share, ULONG options, HANDLE* handle,
                  ULONG disposition = 1 /* FILE_OPEN */);
    NTSTATUS Ioctl(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                   ULONG_PTR* returned = nullptr);

    TempDir home_;
    TempDir data_;
    HostProcess host_;
    bool stopped_ = false;
    int exitCode_ = 0;
};

}  // namespace korin::test
