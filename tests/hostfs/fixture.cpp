#include "fixture.h"

#include "platform/nt/pool.h"
#include "tests/support/dir_records.h"
#include "tests/support/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace korin::hostfs::test {

namespace {

using korin::testsupport::NameOffsetOf;

constexpr ULONG kFileSystemDriver = 2;

// FileNameLength sits right before FileName except where EaSize (and the
// short name) follow it.
ULONG NameLengthOffsetOf(FILE_INFORMATION_CLASS type) {
    return type == FileNamesInformation ? offsetof(FILE_NAMES_INFORMATION, FileNameLength)
                                        : offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength);
}

}  // namespace

NTSTATUS Handle::Close() {
    if (!handle_) return STATUS_SUCCESS;
    NTSTATUS status = NtClose(handle_);
    handle_ = nullptr;
    return status;
}

std::string Narrow(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof(buffer), "\\u%04X", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

Configuration HostFsTest::MakeConfiguration() {
    Configuration configuration;
    configuration.Drives = {{u'C', "/"}, {u'T', root_}};
    return configuration;
}

void HostFsTest::SetUp() {
    root_ = korin::testsupport::MakeTempDir("korin-hostfs", "/tmp");
    ASSERT_FALSE(root_.empty());
    PrepareHost();
    ASSERT_EQ(Configure(MakeConfiguration()), STATUS_SUCCESS);
    ASSERT_EQ(korin::io::StartBuiltinDriver(HostFsDriverEntry, kServiceName, kFileSystemDriver, &driver_),
              STATUS_SUCCESS);
}

void HostFsTest::TearDown() {
    // Every handle of the test is closed by now: nothing of the driver's may live on.
    EXPECT_EQ(korin::pool::LiveBlocks("HfOp"), 0u);
    EXPECT_EQ(korin::pool::LiveBlocks("HfFi"), 0u);
    EXPECT_EQ(korin::pool::LiveBlocks("HfDs"), 0u);
    korin::pool::ClearInjectedFailures();
    if (driver_) {
        EXPECT_EQ(korin::io::UnloadDriver(driver_), STATUS_SUCCESS);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::u16string HostFsTest::T(std::u16string_view relative) { return u"\\??\\T:\\" + std::u16string(relative); }

std::string HostFsTest::Host(const std::string& relative) const { return root_ + "/" + relative; }

void HostFsTest::WriteHostFile(const std::string& relative, const std::string& content) {
    std::ofstream out(Host(relative), std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out) << relative;
    out << content;
}

std::string HostFsTest::ReadHostFile(const std::string& relative) {
    std::ifstream in(Host(relative), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void HostFsTest::MakeHostDirectory(const std::string& relative) {
    ASSERT_EQ(mkdir(Host(relative).c_str(), 0777), 0) << relative;
}

bool HostFsTest::HostExists(const std::string& relative) {
    struct stat st;
    return lstat(Host(relative).c_str(), &st) == 0;
}

NTSTATUS HostFsTest::Open(const std::u16string& name, HANDLE* handle, const OpenArgs& args,
                          ULONG_PTR* information) {
    std::u16string text = name;
    UNICODE_STRING string{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(text.size() * sizeof(WCHAR)), text.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    iosb.Information = 0xDEAD;
    NTSTATUS status = NtCreateFile(handle, args.Access, &attributes, &iosb, nullptr, args.Attributes, args.Share,
                                   args.Disposition, args.Options, nullptr, 0);
    if (information) *information = iosb.Information;
    return status;
}

std::string HostFsTest::ReadAll(HANDLE handle) {
    std::string content;
    char buffer[4096];
    for (LONGLONG offset = 0;;) {
        IO_STATUS_BLOCK iosb{};
        LARGE_INTEGER at;
        at.QuadPart = offset;
        NTSTATUS status = NtReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), &at, nullptr);
        if (status == STATUS_END_OF_FILE) break;
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (status != STATUS_SUCCESS) break;
        content.append(buffer, iosb.Information);
        offset += static_cast<LONGLONG>(iosb.Information);
    }
    return content;
}

NTSTATUS HostFsTest::Write(HANDLE handle, const std::string& data, LONGLONG offset) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS status = NtWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<char*>(data.data()),
                                  static_cast<ULONG>(data.size()), &at, nullptr);
    if (NT_SUCCESS(status)) {
        EXPECT_EQ(iosb.Information, data.size());
    }
    return status;
}

std::u16string HostFsTest::QueryName(HANDLE handle) {
    alignas(8) char buffer[4096];
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtQueryInformationFile(handle, &iosb, buffer, sizeof(buffer), FileNameInformation);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (status != STATUS_SUCCESS) return u"";
    auto* info = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer);
    return std::u16string(info->FileName, info->FileNameLength / sizeof(WCHAR));
}

NTSTATUS HostFsTest::Rename(HANDLE handle, const std::u16string& target, bool replace) {
    std::vector<char> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + target.size() * sizeof(WCHAR) + 8);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->ReplaceIfExists = replace;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, target.data(), info->FileNameLength);
    IO_STATUS_BLOCK iosb{};
    return NtSetInformationFile(handle, &iosb, info, static_cast<ULONG>(buffer.size()), FileRenameInformation);
}

NTSTATUS HostFsTest::SetDelete(HANDLE handle, bool deleteFile) {
    FILE_DISPOSITION_INFORMATION info{deleteFile};
    IO_STATUS_BLOCK iosb{};
    return NtSetInformationFile(handle, &iosb, &info, sizeof(info), FileDispositionInformation);
}

std::vector<std::u16string> HostFsTest::List(HANDLE handle, FILE_INFORMATION_CLASS type, const char16_t* pattern) {
    std::vector<std::u16string> names;
    std::vector<char> buffer(16384);
    UNICODE_STRING patternString;
    if (pattern) RtlInitUnicodeString(&patternString, pattern);
    for (int query = 0;; ++query) {
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                               static_cast<ULONG>(buffer.size()), type, FALSE,
                                               pattern ? &patternString : nullptr, FALSE);
        if (status == STATUS_NO_MORE_FILES || (query == 0 && status == STATUS_NO_SUCH_FILE)) break;
        EXPECT_EQ(status, STATUS_SUCCESS) << NtStatusName(status);
        if (status != STATUS_SUCCESS) break;
        for (ULONG at = 0;;) {
            ULONG next, length;
            std::memcpy(&next, buffer.data() + at, sizeof(next));
            std::memcpy(&length, buffer.data() + at + NameLengthOffsetOf(type), sizeof(length));
            std::u16string name(length / sizeof(WCHAR), u'\0');
            std::memcpy(name.data(), buffer.data() + at + NameOffsetOf(type), length);
            names.push_back(std::move(name));
            if (next == 0) break;
            at += next;
        }
    }
    return names;
}

}  // namespace korin::hostfs::test
