// The Win32 file calls over an in-memory file system: path names,
// CreateFileW's dispositions and flags, data, names, listings, volumes,
// device control and DOS device names.
#include "mem_fs.h"
#include "platform/nt/iomgr.h"
#include "platform/win32/files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <set>

namespace korin::test {
namespace {

TEST(Win32PathTest, Win32NamesBecomeNtNames) {
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"C:\\dir\\file.txt", u"\\??\\C:\\dir\\file.txt"},
        {u"c:/dir//sub/", u"\\??\\c:\\dir\\sub\\"},
        {u"C:\\", u"\\??\\C:\\"},
        {u"C:", u"\\??\\C:\\"},
        {u"C:file", u"\\??\\C:\\file"},
        {u"C:\\a\\.\\b\\..\\c", u"\\??\\C:\\a\\c"},
        {u"C:\\..\\..\\x", u"\\??\\C:\\x"},
        {u"C:\\dir\\name. . ", u"\\??\\C:\\dir\\name"},
        {u"\\\\server\\share\\a\\b", u"\\??\\UNC\\server\\share\\a\\b"},
        {u"\\\\server\\share", u"\\??\\UNC\\server\\share"},
        {u"\\\\server\\share\\..\\..\\x", u"\\??\\UNC\\server\\share\\x"},
        {u"\\\\.\\KRDriver", u"\\??\\KRDriver"},
        {u"\\\\.\\C:\\x\\..\\y", u"\\??\\C:\\y"},
        {u"\\\\?\\C:\\a\\..\\b", u"\\??\\C:\\a\\..\\b"},
        {u"\\\\?\\UNC\\s\\p", u"\\??\\UNC\\s\\p"},
        {u"\\??\\X:\\raw", u"\\??\\X:\\raw"},
    };
    for (const auto& [win32, nt] : cases) {
        auto converted = win32::Win32PathToNtPath(win32);
        ASSERT_TRUE(converted.has_value()) << std::string(win32, win32 + std::char_traits<char16_t>::length(win32));
        EXPECT_EQ(*converted, nt);
    }
    for (const char16_t* bad : {u"", u"relative\\x", u"\\rooted", u"\\\\server", u"\\\\server\\"})
        EXPECT_FALSE(win32::Win32PathToNtPath(bad).has_value());
}

class Win32FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ob::ResetNamespace();
        xDriver_.emplace(u"MemX");
        yDriver_.emplace(u"MemY");
        x_.emplace(*xDriver_, u"\\Device\\MemX", u"X:");
        y_.emplace(*yDriver_, u"\\Device\\MemY", u"Y:");
    }
    void TearDown() override {
        x_.reset();
        y_.reset();
        EXPECT_EQ(io::LiveFileObjects(), 0u);
        xDriver_.reset();
        yDriver_.reset();
        ob::ResetNamespace();
    }

    std::optional<TestDriver> xDriver_, yDriver_;
    std::optional<MemFs> x_, y_;
};

struct DispositionCase {
    DWORD disposition;
    bool exists;
    bool opened;
    DWORD lastError;
};

TEST_F(Win32FilesTest, CreateFileDispositionsActAsOnWindows) {
    const DispositionCase cases[] = {
        {CREATE_NEW, false, true, ERROR_SUCCESS},        {CREATE_NEW, true, false, ERROR_FILE_EXISTS},
        {CREATE_ALWAYS, false, true, ERROR_SUCCESS},     {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND}, {OPEN_EXISTING, true, true, ERROR_SUCCESS},
        {OPEN_ALWAYS, false, true, ERROR_SUCCESS},       {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND}, {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << (c.exists ? " existing" : " new"));
        if (c.exists) x_->AddFile(u"f.txt", "old");
        SetLastError(12345);
        HANDLE h = CreateFileW(u"X:\\f.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opened);
        EXPECT_EQ(GetLastError(), c.lastError);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
        DeleteFileW(u"X:\\f.txt");
    }
    EXPECT_EQ(CreateFileW(u"X:\\f.txt", GENERIC_READ, 0, nullptr, 9, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateFileW(u"X:\\f.txt", GENERIC_READ, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Win32FilesTest, DirectoriesOpenOnlyWithBackupSemantics) {
    x_->AddDirectory(u"dir");
    EXPECT_EQ(CreateFileW(u"X:\\dir", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE h = CreateFileW(u"X:\\dir", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CreateFileW(u"relative.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Win32FilesTest, WrittenDataReadsBackAndTheEndReadsAsNothing) {
    HANDLE h = CreateFileW(u"X:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(h, "hello world", 11, &done, nullptr));
    EXPECT_EQ(done, 11u);
    OVERLAPPED at{};
    at.Offset = 6;
    char buffer[16] = {};
    EXPECT_TRUE(ReadFile(h, buffer, 5, &done, &at));
    EXPECT_EQ(std::string(buffer, done), "world");
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));  // the position is at the end
    EXPECT_EQ(done, 0u);
    at.Offset = 100;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &done, &at));
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    CloseHandle(h);
    EXPECT_EQ(x_->Data(u"data.bin"), "hello world");

    HANDLE readOnly = CreateFileW(u"X:\\data.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(WriteFile(readOnly, "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(readOnly);
}

TEST_F(Win32FilesTest, NamesAreMadeQueriedMovedAndRemoved) {
    EXPECT_TRUE(CreateDirectoryW(u"X:\\docs", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"X:\\docs", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileAttributesW(u"X:\\docs"), FILE_ATTRIBUTE_DIRECTORY);
    x_->AddFile(u"docs\\a.txt", "a");
    EXPECT_EQ(GetFileAttributesW(u"x:/DOCS/A.TXT"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesW(u"X:\\docs\\missing"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    EXPECT_FALSE(RemoveDirectoryW(u"X:\\docs"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(DeleteFileW(u"X:\\docs"));  // a directory is not a file
    EXPECT_TRUE(MoveFileW(u"X:\\docs\\a.txt", u"X:\\b.txt"));
    EXPECT_FALSE(x_->Exists(u"docs\\a.txt"));
    EXPECT_EQ(x_->Data(u"b.txt"), "a");
    x_->AddFile(u"c.txt");
    EXPECT_FALSE(MoveFileW(u"X:\\b.txt", u"X:\\c.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileExW(u"X:\\b.txt", u"X:\\c.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(MoveFileW(u"X:\\c.txt", u"Y:\\c.txt"));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);

    EXPECT_TRUE(DeleteFileW(u"X:\\c.txt"));
    EXPECT_FALSE(x_->Exists(u"c.txt"));
    EXPECT_TRUE(RemoveDirectoryW(u"X:\\docs\\"));
    EXPECT_FALSE(x_->Exists(u"docs"));
}

std::set<std::u16string> List(const std::u16string& pattern, DWORD* error = nullptr) {
    std::set<std::u16string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        if (error) *error = GetLastError();
        return names;
    }
    do names.insert(data.cFileName);
    while (FindNextFileW(find, &data));
    if (error) *error = GetLastError();
    EXPECT_TRUE(FindClose(find));
    return names;
}

TEST_F(Win32FilesTest, ListingsFollowWin32Patterns) {
    x_->AddDirectory(u"d");
    for (const char16_t* name : {u"d\\abc.txt", u"d\\abd.txt", u"d\\readme", u"d\\x.tx", u"d\\ab.txt.bak"})
        x_->AddFile(name, "12345");
    using Names = std::set<std::u16string>;
    DWORD error = 0;
    EXPECT_EQ(List(u"X:\\d\\*", &error), (Names{u"abc.txt", u"abd.txt", u"readme", u"x.tx", u"ab.txt.bak"}));
    EXPECT_EQ(error, ERROR_NO_MORE_FILES);
    EXPECT_EQ(List(u"X:\\d\\*.*"), (Names{u"abc.txt", u"abd.txt", u"readme", u"x.tx", u"ab.txt.bak"}));
    EXPECT_EQ(List(u"X:\\d\\*.txt"), (Names{u"abc.txt", u"abd.txt"}));
    EXPECT_EQ(List(u"X:\\d\\ab?.TXT"), (Names{u"abc.txt", u"abd.txt"}));
    EXPECT_EQ(List(u"X:\\d\\readme.*"), (Names{u"readme"}));
    EXPECT_EQ(List(u"X:\\*"), (Names{u"d"}));
    EXPECT_TRUE(List(u"X:\\d\\*.doc", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(List(u"X:\\nowhere\\*", &error).empty());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);

    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(u"X:\\d\\readme", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, 0x01D00000u);
    FindClose(find);
    EXPECT_FALSE(FindClose(find));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Win32FilesTest, ListingsLongerThanOneQueryBufferAreComplete) {
    std::set<std::u16string> expected;
    for (int i = 0; i < 150; ++i) {
        std::u16string name = u"file-with-a-longish-name-" + std::u16string(1, u'A' + i % 26) + u"-" +
                              std::u16string(1, u'a' + i / 26);
        x_->AddFile(name);
        expected.insert(name);
    }
    EXPECT_EQ(List(u"X:\\*"), expected);
}

TEST_F(Win32FilesTest, VolumeInformationComesFromTheRootsVolume) {
    WCHAR label[32], fsName[32];
    DWORD serial = 0, maxComponent = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationW(u"X:\\", label, 32, &serial, &maxComponent, &flags, fsName, 32));
    EXPECT_EQ(std::u16string(label), u"MemVol");
    EXPECT_EQ(std::u16string(fsName), u"MemFS");
    EXPECT_EQ(serial, 0x1234ABCDu);
    EXPECT_EQ(maxComponent, 255u);
    EXPECT_EQ(flags, FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK);
    EXPECT_FALSE(GetVolumeInformationW(u"X:\\", label, 6, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
    EXPECT_FALSE(GetVolumeInformationW(u"X:", label, 32, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_FALSE(GetVolumeInformationW(u"Q:\\", label, 32, nullptr, nullptr, nullptr, nullptr, 0));
}

TEST_F(Win32FilesTest, DeviceControlReportsFailuresAndWarnings) {
    constexpr DWORD kCode = CTL_CODE(0xCD4B, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS);
    NTSTATUS answer = STATUS_SUCCESS;
    TestDriver control(u"MemCtl");
    control.AddDevice(u"\\Device\\MemCtl");
    control.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "\x01\x02\x03\x04", 4);
        return TestDriver::Complete(irp, answer, 4);
    });
    ob::CreateSymbolicLink(u"\\??\\MemCtl", u"\\Device\\MemCtl");
    HANDLE h = CreateFileW(u"\\\\.\\MemCtl", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const struct {
        NTSTATUS status;
        BOOL result;
        DWORD returned;
        DWORD error;
        ULONG output;
    } cases[] = {
        {STATUS_SUCCESS, TRUE, 4, 777, 0x04030201},
        {STATUS_BUFFER_OVERFLOW, FALSE, 4, ERROR_MORE_DATA, 0x04030201},
        {STATUS_OBJECT_NAME_NOT_FOUND, FALSE, 0, ERROR_FILE_NOT_FOUND, 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        answer = c.status;
        ULONG output = 0xFFFFFFFF;
        DWORD returned = 99;
        SetLastError(777);
        EXPECT_EQ(DeviceIoControl(h, kCode, nullptr, 0, &output, sizeof output, &returned, nullptr), c.result);
        EXPECT_EQ(returned, c.returned);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(output, c.output);
    }
    CloseHandle(h);
}

std::vector<std::u16string> MultiString(const WCHAR* buffer, DWORD chars) {
    std::vector<std::u16string> strings;
    for (DWORD i = 0; i + 1 < chars;) {
        std::u16string s(buffer + i);
        strings.push_back(s);
        i += static_cast<DWORD>(s.size()) + 1;
    }
    return strings;
}

TEST_F(Win32FilesTest, DosDeviceDefinitionsStackAndShowAsDrives) {
    using Strings = std::vector<std::u16string>;
    EXPECT_EQ(GetLogicalDrives(), (1u << ('X' - 'A')) | (1u << ('Y' - 'A')));
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"K:", u"\\Device\\MemX"));
    ASSERT_TRUE(DefineDosDeviceW(0, u"K:", u"X:\\sub\\dir"));
    WCHAR buffer[128];
    DWORD chars = QueryDosDeviceW(u"K:", buffer, 128);
    EXPECT_EQ(MultiString(buffer, chars), (Strings{u"\\??\\X:\\sub\\dir", u"\\Device\\MemX"}));
    EXPECT_EQ(chars, 14u + 1 + 12 + 1 + 1);
    EXPECT_EQ(QueryDosDeviceW(u"K:", buffer, 10), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(GetLogicalDrives() & (1u << ('K' - 'A')));

    chars = QueryDosDeviceW(nullptr, buffer, 128);
    Strings all = MultiString(buffer, chars);
    EXPECT_EQ(std::set<std::u16string>(all.begin(), all.end()), (std::set<std::u16string>{u"K:", u"X:", u"Y:"}));

    // An exact match removes the raw definition under the newer one.
    EXPECT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, u"K:",
                                 u"\\Device\\MemX"));
    chars = QueryDosDeviceW(u"K:", buffer, 128);
    EXPECT_EQ(MultiString(buffer, chars), (Strings{u"\\??\\X:\\sub\\dir"}));
    EXPECT_FALSE(DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, u"K:",
                                  u"\\Device\\MemX"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // Without one, a definition that starts with the target goes.
    EXPECT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION, u"K:", u"\\??\\X:\\SUB"));
    EXPECT_EQ(QueryDosDeviceW(u"K:", buffer, 128), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(GetLogicalDrives() & (1u << ('K' - 'A')));

    EXPECT_FALSE(DefineDosDeviceW(0, u"K:", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"K:", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32FilesTest, ADriveLetterDefinedByDeviceNameOpensThatVolume) {
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"M:", u"\\Device\\MemY"));
    y_->AddFile(u"on-y.txt", "y");
    EXPECT_EQ(GetFileAttributesW(u"M:\\on-y.txt"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, u"M:",
                                 u"\\Device\\MemY"));
    EXPECT_EQ(GetFileAttributesW(u"M:\\on-y.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
}  // namespace korin::test
