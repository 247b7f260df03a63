// A host file system on a fresh temporary directory, served as drive T:
// (and C: as "/"), and the system calls tests make against it.
#pragma once

#include "platform/hostfs/hostfs.h"
#include "platform/nt/ntddk.h"
#include "platform/nt/syscalls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korin::hostfs::test {

// A handle closed when it goes out of scope.
class Handle {
public:
    Handle() = default;
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE* operator&() { return &handle_; }
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    NTSTATUS Close();

private:
    HANDLE handle_ = nullptr;
};

struct OpenArgs {
    ACCESS_MASK Access = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    ULONG Disposition = FILE_OPEN;
    ULONG Options = FILE_SYNCHRONOUS_IO_NONALERT;
    ULONG Share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ULONG Attributes = 0;
};

class HostFsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs before the configuration is applied, with root_ made.
    virtual void PrepareHost() {}
    // The configuration SetUp applies: C: is "/", T: the temporary directory.
    virtual Configuration MakeConfiguration();

    // "\??\T:\<relative>" (relative with backslashes).
    static std::u16string T(std::u16string_view relative);
    // The host path of a relative name ("a/b").
    std::string Host(const std::string& relative) const;

    // Host-side helpers, bypassing the driver.
    void WriteHostFile(const std::string& relative, const std::string& content);
    std::string ReadHostFile(const std::string& relative);
    void MakeHostDirectory(const std::string& relative);
    bool HostExists(const std::string& relative);

    // NtCreateFile; *information receives the IO_STATUS_BLOCK's Information.
    NTSTATUS Open(const std::u16string& name, HANDLE* handle, const OpenArgs& args = {},
                  ULONG_PTR* information = nullptr);

    // The file's contents read through the handle from offset 0.
    std::string ReadAll(HANDLE handle);
    NTSTATUS Write(HANDLE handle, const std::string& data, LONGLONG offset);

    template <typename T>
    NTSTATUS Query(HANDLE handle, FILE_INFORMATION_CLASS type, T* out) {
        IO_STATUS_BLOCK iosb{};
        return NtQueryInformationFile(handle, &iosb, out, sizeof(T), type);
    }
    // The name FileNameInformation reports.
    std::u16string QueryName(HANDLE handle);

    // Renames through FileRenameInformation to an absolute name.
    NTSTATUS Rename(HANDLE handle, const std::u16string& target, bool replace);
    NTSTATUS SetDelete(HANDLE handle, bool deleteFile);

    // The names of a listing, all queries until the end, with a class and pattern.
    std::vector<std::u16string> List(HANDLE handle, FILE_INFORMATION_CLASS type = FileNamesInformation,
                                     const char16_t* pattern = nullptr);

    std::string root_;
    PDRIVER_OBJECT driver_ = nullptr;
};

// A UTF-16 literal as a readable string for failure messages.
std::string Narrow(std::u16string_view s);

}  // namespace korin::hostfs::test
