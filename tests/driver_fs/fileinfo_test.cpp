// File information of virtual folders and drive roots: the query classes and
// their minimum lengths, names, renames within a folder and deletion.
#include "drive_fixture.h"

#include <cstring>

namespace korin::drivertest {
namespace {

struct QueryResult {
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<uint8_t> Buffer;
};

QueryResult QueryInformation(HANDLE handle, FILE_INFORMATION_CLASS infoClass, ULONG length) {
    QueryResult result;
    result.Buffer.assign(length, 0xEE);
    IO_STATUS_BLOCK ioStatus{};
    ioStatus.Information = 0xBADBAD;
    result.Status = NtQueryInformationFile(handle, &ioStatus, result.Buffer.data(), length, infoClass);
    result.Information = ioStatus.Information;
    return result;
}

template <typename T>
T At(const QueryResult& result, size_t offset) {
    T value{};
    std::memcpy(&value, result.Buffer.data() + offset, sizeof value);
    return value;
}

std::u16string NameAt(const QueryResult& result, size_t lengthOffset) {
    const auto length = At<ULONG>(result, lengthOffset);
    std::u16string name(length / 2, u'\0');
    std::memcpy(name.data(), result.Buffer.data() + lengthOffset + 4, length);
    return name;
}

NTSTATUS SetInformation(HANDLE handle, const void* data, ULONG length, FILE_INFORMATION_CLASS infoClass) {
    IO_STATUS_BLOCK ioStatus{};
    return NtSetInformationFile(handle, &ioStatus, const_cast<void*>(data), length, infoClass);
}

NTSTATUS SetDeleteDisposition(HANDLE handle, bool deleteFile) {
    FILE_DISPOSITION_INFORMATION info{static_cast<BOOLEAN>(deleteFile)};
    return SetInformation(handle, &info, sizeof info, FileDispositionInformation);
}

// Renames the file behind handle to the Win32 path newPath ("X:\a\new").
NTSTATUS Rename(HANDLE handle, const std::u16string& newPath) {
    const std::u16string ntPath = u"\\??\\" + newPath;
    std::vector<uint8_t> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + ntPath.size() * 2);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<ULONG>(ntPath.size() * 2);
    std::memcpy(info->FileName, ntPath.data(), ntPath.size() * 2);
    return SetInformation(handle, buffer.data(), static_cast<ULONG>(buffer.size()), FileRenameInformation);
}

class FileInfoTest : public DriveTest {
protected:
    void SetUp() override {
        DriveTest::SetUp();
        if (HasFatalFailure()) return;
        AddFolder(u"Docs\\Sub");
        ASSERT_EQ(Open(u"X:\\Docs", docs_).Status, STATUS_SUCCESS);
    }
    Handle docs_;
};

struct ClassCase {
    FILE_INFORMATION_CLASS Class;
    ULONG Minimum;            // below it: STATUS_INFO_LENGTH_MISMATCH
    ULONG_PTR Information;    // what a buffer of that many bytes gets, with STATUS_SUCCESS
};

class QueryClassTest : public FileInfoTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(QueryClassTest, MinimumLengthAndInformation) {
    const ClassCase& c = GetParam();
    QueryResult tooSmall = QueryInformation(docs_.get(), c.Class, c.Minimum - 1);
    EXPECT_EQ(tooSmall.Status, STATUS_INFO_LENGTH_MISMATCH);
    QueryResult exact = QueryInformation(docs_.get(), c.Class, static_cast<ULONG>(c.Information));
    EXPECT_EQ(exact.Status, STATUS_SUCCESS);
    EXPECT_EQ(exact.Information, c.Information);
}

// "Docs" is 8 bytes long: FileNameInformation needs 14 bytes, FileAllInformation
// 104 for its fixed part and 110 for the name.
INSTANTIATE_TEST_SUITE_P(Classes, QueryClassTest,
                         ::testing::Values(ClassCase{FileBasicInformation, 40, 40},
                                           ClassCase{FileStandardInformation, 24, 24},
                                           ClassCase{FileInternalInformation, 8, 8},
                                           ClassCase{FileEaInformation, 4, 4},
                                           ClassCase{FileNameInformation, 14, 14},
                                           ClassCase{FilePositionInformation, 8, 8},
                                           ClassCase{FileAllInformation, 104, 110},
                                           ClassCase{FileNetworkOpenInformation, 56, 56},
                                           ClassCase{FileAttributeTagInformation, 8, 8}));

TEST_F(FileInfoTest, FolderHasNoTimesNoSizeAndDirectoryAttributes) {
    QueryResult all = QueryInformation(docs_.get(), FileAllInformation, 256);
    ASSERT_EQ(all.Status, STATUS_SUCCESS);
    for (size_t offset = 0; offset < 32; offset += 8) EXPECT_EQ(At<LONGLONG>(all, offset), 0) << offset;
    EXPECT_EQ(At<ULONG>(all, offsetof(FILE_ALL_INFORMATION, BasicInformation.FileAttributes)), 0x90u);
    const size_t standard = offsetof(FILE_ALL_INFORMATION, StandardInformation);
    EXPECT_EQ(At<LONGLONG>(all, standard + offsetof(FILE_STANDARD_INFORMATION, AllocationSize)), 0);
    EXPECT_EQ(At<LONGLONG>(all, standard + offsetof(FILE_STANDARD_INFORMATION, EndOfFile)), 0);
    EXPECT_EQ(At<ULONG>(all, standard + offsetof(FILE_STANDARD_INFORMATION, NumberOfLinks)), 1u);
    EXPECT_EQ(At<BOOLEAN>(all, standard + offsetof(FILE_STANDARD_INFORMATION, DeletePending)), FALSE);
    EXPECT_EQ(At<BOOLEAN>(all, standard + offsetof(FILE_STANDARD_INFORMATION, Directory)), TRUE);
    EXPECT_EQ(NameAt(all, offsetof(FILE_ALL_INFORMATION, NameInformation)), u"Docs");

    QueryResult tag = QueryInformation(docs_.get(), FileAttributeTagInformation, 8);
    EXPECT_EQ(At<ULONG>(tag, 0), 0x90u);
    EXPECT_EQ(At<ULONG>(tag, 4), 0u);
}

TEST_F(FileInfoTest, IndexNumberIsStableAcrossOpensAndDiffersBetweenFolders) {
    const auto docsIndex = At<LONGLONG>(QueryInformation(docs_.get(), FileInternalInformation, 8), 0);
    Handle again, sub;
    ASSERT_EQ(Open(u"X:\\Docs", again).Status, STATUS_SUCCESS);
    ASSERT_EQ(Open(u"X:\\Docs\\Sub", sub).Status, STATUS_SUCCESS);
    docs_.Close();
    EXPECT_EQ(At<LONGLONG>(QueryInformation(again.get(), FileInternalInformation, 8), 0), docsIndex);
    EXPECT_NE(At<LONGLONG>(QueryInformation(sub.get(), FileInternalInformation, 8), 0), docsIndex);
}

TEST_F(FileInfoTest, NameIsTheNodesOwnNameAndBackslashForTheRoot) {
    Handle root, sub;
    ASSERT_EQ(Open(u"X:\\", root).Status, STATUS_SUCCESS);
    ASSERT_EQ(Open(u"X:\\Docs\\Sub", sub).Status, STATUS_SUCCESS);
    QueryResult rootName = QueryInformation(root.get(), FileNameInformation, 64);
    ASSERT_EQ(rootName.Status, STATUS_SUCCESS);
    EXPECT_EQ(NameAt(rootName, 0), u"\\");
    EXPECT_EQ(rootName.Information, 8u);
    QueryResult subName = QueryInformation(sub.get(), FileNameInformation, 64);
    EXPECT_EQ(NameAt(subName, 0), u"Sub");
    EXPECT_EQ(subName.Information, 12u);
}

TEST_F(FileInfoTest, AllInformationWithoutRoomForTheNameOverflows) {
    AddFolder(u"LongFolderName");
    Handle folder;
    ASSERT_EQ(Open(u"X:\\LongFolderName", folder).Status, STATUS_SUCCESS);
    QueryResult all = QueryInformation(folder.get(), FileAllInformation, 104);
    EXPECT_EQ(all.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(all.Information, 104u);
    EXPECT_EQ(At<ULONG>(all, offsetof(FILE_ALL_INFORMATION, NameInformation.FileNameLength)), 0u);
    EXPECT_EQ(At<ULONG>(all, offsetof(FILE_ALL_INFORMATION, BasicInformation.FileAttributes)), 0x90u);
}

TEST_F(FileInfoTest, RequestsOnTheVolumeOpenAreRefused) {
    Handle volume;
    ASSERT_EQ(Open(u"X:", volume, FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN, FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(QueryInformation(volume.get(), FileBasicInformation, 40).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetDeleteDisposition(volume.get(), true), STATUS_INVALID_PARAMETER);
}

TEST_F(FileInfoTest, UnlistedClassesAreRefused) {
    EXPECT_EQ(QueryInformation(docs_.get(), FileModeInformation, 64).Status, STATUS_INVALID_INFO_CLASS);
    Handle writable;
    ASSERT_EQ(Open(u"X:\\Docs", writable, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN,
                   FILE_WRITE_DATA | SYNCHRONIZE)
                  .Status,
              STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION endOfFile{};
    EXPECT_EQ(SetInformation(writable.get(), &endOfFile, sizeof endOfFile, FileEndOfFileInformation),
              STATUS_INVALID_INFO_CLASS);
}

class RenameTest : public DriveTest {
protected:
    void SetUp() override {
        DriveTest::SetUp();
        if (HasFatalFailure()) return;
        AddFolder(u"a\\old\\inner");
        AddMapping(u"a\\old\\m", u"H:\\m.txt");
        AddFolder(u"a\\other");
        AddFolder(u"b");
        ASSERT_EQ(Open(u"X:\\a\\old", old_, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN,
                       DELETE | SYNCHRONIZE)
                      .Status,
                  STATUS_SUCCESS);
    }
    Handle old_;
};

TEST_F(RenameTest, NewNameInTheSameFolderMovesTheNodeAndItsKey) {
    ASSERT_EQ(Rename(old_.get(), u"X:\\a\\new"), STATUS_SUCCESS);
    EXPECT_EQ(Find(u"a\\old"), nullptr);
    ASSERT_NE(Find(u"a\\new"), nullptr);
    EXPECT_NE(Find(u"a\\new\\inner"), nullptr);
    EXPECT_EQ(Children(u"a"), (std::vector<std::u16string>{u"other", u"new"}));
    EXPECT_FALSE(StoreKeyExists(u"a\\old"));
    EXPECT_TRUE(StoreKeyExists(u"a\\new\\inner"));
    EXPECT_TRUE(StoreValueExists(u"a\\new", u"m"));
}

struct RefusedRename {
    const char16_t* NewPath;
    NTSTATUS Status;
};

class RefusedRenameTest : public RenameTest, public ::testing::WithParamInterface<RefusedRename> {};

TEST_P(RefusedRenameTest, NothingChanges) {
    EXPECT_EQ(Rename(old_.get(), GetParam().NewPath), GetParam().Status);
    EXPECT_NE(Find(u"a\\old\\inner"), nullptr);
    EXPECT_TRUE(StoreKeyExists(u"a\\old\\inner"));
    EXPECT_EQ(Children(u"a"), (std::vector<std::u16string>{u"old", u"other"}));
}

INSTANTIATE_TEST_SUITE_P(
    Collisions, RefusedRenameTest,
    ::testing::Values(RefusedRename{u"X:\\b\\old", STATUS_ACCESS_DENIED},        // another folder
                      RefusedRename{u"X:\\old", STATUS_ACCESS_DENIED},           // the root
                      RefusedRename{u"X:\\a\\OLD", STATUS_OBJECT_NAME_COLLISION},  // only the case differs
                      RefusedRename{u"X:\\a\\Other", STATUS_OBJECT_NAME_COLLISION},
                      RefusedRename{u"X:\\a\\bad:name", STATUS_OBJECT_NAME_INVALID},
                      RefusedRename{u"X:\\a\\lone\xD800", STATUS_OBJECT_NAME_INVALID}));

TEST_F(RenameTest, RootCannotBeRenamed) {
    Handle root;
    ASSERT_EQ(Open(u"X:\\", root, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN, DELETE | SYNCHRONIZE)
                  .Status,
              STATUS_SUCCESS);
    // The root is its own target directory: the open of that conflicts with
    // the handle asking for the rename before the driver can refuse it.
    EXPECT_FALSE(NT_SUCCESS(Rename(root.get(), u"X:\\c")));
    EXPECT_EQ(Find(u"c"), nullptr);
    EXPECT_EQ(Text(Root()->Name), u"\\");
}

class DeleteTest : public DriveTest {
protected:
    NTSTATUS RemoveDirectory(const std::u16string& path) {
        Handle folder;
        OpenResult open = Open(path, folder, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN,
                               DELETE | SYNCHRONIZE);
        if (!NT_SUCCESS(open.Status)) return open.Status;
        return SetDeleteDisposition(folder.get(), true);
    }
};

TEST_F(DeleteTest, RootAndFoldersWithChildrenCannotBeDeleted) {
    AddMapping(u"holder\\m", u"H:\\m.txt");
    AddFolder(u"parent\\child");
    EXPECT_EQ(RemoveDirectory(u"X:\\"), STATUS_CANNOT_DELETE);
    EXPECT_EQ(RemoveDirectory(u"X:\\holder"), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(RemoveDirectory(u"X:\\parent"), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_NE(Find(u"holder\\m"), nullptr);
    EXPECT_NE(Find(u"parent\\child"), nullptr);
}

TEST_F(DeleteTest, EmptyFolderGoesAtItsLastCleanup) {
    AddFolder(u"old");
    EXPECT_EQ(RemoveDirectory(u"X:\\old"), STATUS_SUCCESS);
    EXPECT_EQ(Find(u"old"), nullptr);
    EXPECT_FALSE(StoreKeyExists(u"old"));
    Handle gone;
    EXPECT_EQ(Open(u"X:\\old", gone).Status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeleteTest, ClearedDispositionKeepsTheFolder) {
    AddFolder(u"keep");
    Handle folder;
    ASSERT_EQ(Open(u"X:\\keep", folder, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN,
                   DELETE | SYNCHRONIZE)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(SetDeleteDisposition(folder.get(), true), STATUS_SUCCESS);
    EXPECT_EQ(SetDeleteDisposition(folder.get(), false), STATUS_SUCCESS);
    folder.Close();
    EXPECT_NE(Find(u"keep"), nullptr);
    EXPECT_TRUE(StoreKeyExists(u"keep"));
}

}  // namespace
}  // namespace korin::drivertest
