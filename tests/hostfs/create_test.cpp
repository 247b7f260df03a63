// Opening and creating host files: dispositions, directory options, lookup
// without case, invalid names, share access, delete on close, read-only
// files, failures that must leave nothing behind.
#include "fixture.h"

#include "platform/nt/iomgr.h"
#include "platform/nt/pool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace korin::hostfs::test {
namespace {

using CreateTest = HostFsTest;

TEST_F(CreateTest, DispositionsOnExistingAndMissingFiles) {
    const struct {
        ULONG disposition;
        bool exists;
        NTSTATUS status;
        ULONG_PTR information;
        const char* contentAfter;  // nullptr: no file afterwards
    } cases[] = {
        {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, 0, "old"},
        {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
        {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << (c.exists ? " existing" : " missing"));
        std::string name = "f" + std::to_string(n++) + ".txt";
        if (c.exists) WriteHostFile(name, "old");
        Handle h;
        ULONG_PTR information = 0;
        OpenArgs args;
        args.Access = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
        args.Disposition = c.disposition;
        EXPECT_EQ(Open(T(std::u16string(name.begin(), name.end())), &h, args, &information), c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(information, c.information);
        }
        h.Close();
        if (c.contentAfter) {
            EXPECT_TRUE(HostExists(name));
            EXPECT_EQ(ReadHostFile(name), c.contentAfter);
        } else {
            EXPECT_FALSE(HostExists(name));
        }
    }
}

TEST_F(CreateTest, DirectoryOptions) {
    MakeHostDirectory("dir");
    WriteHostFile("file.txt", "x");
    const struct {
        const char16_t* name;
        ULONG disposition;
        ULONG options;
        NTSTATUS status;
    } cases[] = {
        {u"dir", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY},
        {u"file.txt", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY},
        {u"dir", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_SUCCESS},
        {u"dir", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"dir\\", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"file.txt\\", FILE_OPEN, 0, STATUS_OBJECT_NAME_INVALID},
        {u"dir", FILE_OVERWRITE_IF, 0, STATUS_FILE_IS_A_DIRECTORY},
        {u"dir", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_OBJECT_NAME_COLLISION},
        {u"new\\", FILE_CREATE, 0, STATUS_OBJECT_NAME_INVALID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        Handle h;
        OpenArgs args;
        args.Access = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
        args.Disposition = c.disposition;
        args.Options |= c.options;
        EXPECT_EQ(Open(T(c.name), &h, args), c.status);
    }
    EXPECT_FALSE(HostExists("new"));
    EXPECT_EQ(ReadHostFile("file.txt"), "x");
}

TEST_F(CreateTest, CreatesDirectoriesAndFilesInThem) {
    Handle dir, file;
    OpenArgs args;
    args.Disposition = FILE_CREATE;
    args.Options |= FILE_DIRECTORY_FILE;
    ULONG_PTR information = 0;
    ASSERT_EQ(Open(T(u"made"), &dir, args, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, FILE_CREATED);
    struct stat st;
    ASSERT_EQ(stat(Host("made").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    args.Options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    args.Access = FILE_GENERIC_WRITE;
    ASSERT_EQ(Open(T(u"made\\inner.txt"), &file, args), STATUS_SUCCESS);
    ASSERT_EQ(Write(file.get(), "inside", 0), STATUS_SUCCESS);
    file.Close();
    EXPECT_EQ(ReadHostFile("made/inner.txt"), "inside");
}

TEST_F(CreateTest, MissingParentAgainstMissingLeaf) {
    WriteHostFile("file.txt", "x");
    MakeHostDirectory("dir");
    const struct {
        const char16_t* name;
        ULONG disposition;
        NTSTATUS status;
    } cases[] = {
        {u"absent.txt", FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"dir\\absent.txt", FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"absent\\x.txt", FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"absent\\x.txt", FILE_OPEN_IF, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"absent\\deeper\\x.txt", FILE_CREATE, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"file.txt\\x.txt", FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"file.txt\\x.txt", FILE_CREATE, STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        Handle h;
        OpenArgs args;
        args.Disposition = c.disposition;
        EXPECT_EQ(Open(T(c.name), &h, args), c.status);
    }
    EXPECT_FALSE(HostExists("absent"));
}

TEST_F(CreateTest, NamesMatchWithoutCaseAfterAnExactMatch) {
    MakeHostDirectory("Docs");
    WriteHostFile("Docs/Plan.TXT", "plan");
    WriteHostFile("Docs/\u00e9mile.txt", "accent");

    const struct {
        const char16_t* name;
        const char* content;
    } cases[] = {
        {u"docs\\plan.txt", "plan"},
        {u"DOCS\\PLAN.TXT", "plan"},
        {u"Docs\\Plan.TXT", "plan"},
        {u"docs\\\u00c9MILE.txt", "accent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        Handle h;
        ASSERT_EQ(Open(T(c.name), &h), STATUS_SUCCESS);
        EXPECT_EQ(ReadAll(h.get()), c.content);
    }

    // A create of a name that exists in another case opens or collides with it.
    Handle h;
    OpenArgs args;
    args.Disposition = FILE_CREATE;
    EXPECT_EQ(Open(T(u"docs\\PLAN.txt"), &h, args), STATUS_OBJECT_NAME_COLLISION);
    args.Disposition = FILE_OPEN_IF;
    ULONG_PTR information = 0;
    ASSERT_EQ(Open(T(u"docs\\PLAN.txt"), &h, args, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, FILE_OPENED);
    h.Close();
    EXPECT_FALSE(HostExists("Docs/PLAN.txt"));

    // Where the host holds both spellings, the exact one wins.
    WriteHostFile("Docs/plan.txt", "lower");
    ASSERT_EQ(Open(T(u"Docs\\plan.txt"), &h), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(h.get()), "lower");
    h.Close();
    ASSERT_EQ(Open(T(u"Docs\\Plan.TXT"), &h), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(h.get()), "plan");
}

TEST_F(CreateTest, NamesLinuxCannotHoldAreRefused) {
    MakeHostDirectory("dir");
    const std::u16string cases[] = {
        u"a/b.txt",
        u"dir\\x/y",
        std::u16string(u"nul\0here", 8),
        u"..\\escape.txt",
        u"dir\\..\\..\\escape.txt",
        u".\\a.txt",
        u"dir\\\\a.txt",
        u"\xD800lonely.txt",  // a high surrogate alone
        u"\xDC41.txt",        // a low one that stands for no host byte
    };
    for (const auto& name : cases) {
        SCOPED_TRACE(Narrow(name));
        Handle h;
        OpenArgs args;
        args.Disposition = FILE_OPEN_IF;
        EXPECT_EQ(Open(T(name), &h, args), STATUS_OBJECT_NAME_INVALID);
    }
    // A component longer than the host allows.
    Handle h;
    OpenArgs args;
    args.Disposition = FILE_CREATE;
    EXPECT_EQ(Open(T(std::u16string(300, u'a')), &h, args), STATUS_NAME_TOO_LONG);
    // Nothing was made anywhere, in the directory or above it.
    EXPECT_FALSE(HostExists("a"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(root_).parent_path() / "escape.txt"));
}

TEST_F(CreateTest, ShareAccessIsPerHostFile) {
    WriteHostFile("shared.txt", "x");
    ASSERT_EQ(link(Host("shared.txt").c_str(), Host("hardlink.txt").c_str()), 0);
    Handle reader;
    OpenArgs readOnly;
    readOnly.Share = FILE_SHARE_READ;
    ASSERT_EQ(Open(T(u"shared.txt"), &reader, readOnly), STATUS_SUCCESS);

    OpenArgs writer;
    writer.Access = FILE_WRITE_DATA;
    for (const char16_t* name : {u"shared.txt", u"SHARED.TXT", u"hardlink.txt"}) {
        SCOPED_TRACE(Narrow(name));
        Handle h;
        EXPECT_EQ(Open(T(name), &h, writer), STATUS_SHARING_VIOLATION);
    }
    // Refused overwrites leave the data alone.
    for (ULONG disposition : {FILE_OVERWRITE, FILE_OVERWRITE_IF, FILE_SUPERSEDE}) {
        Handle h;
        OpenArgs overwrite = writer;
        overwrite.Disposition = disposition;
        EXPECT_EQ(Open(T(u"shared.txt"), &h, overwrite), STATUS_SHARING_VIOLATION);
    }
    EXPECT_EQ(ReadHostFile("shared.txt"), "x");
    Handle second;
    EXPECT_EQ(Open(T(u"hardlink.txt"), &second, readOnly), STATUS_SUCCESS);
    second.Close();
    reader.Close();
    Handle h;
    EXPECT_EQ(Open(T(u"shared.txt"), &h, writer), STATUS_SUCCESS);
}

TEST_F(CreateTest, DeleteOnClose) {
    WriteHostFile("temp.txt", "x");
    OpenArgs args;
    args.Access = DELETE | FILE_READ_DATA;
    args.Options |= FILE_DELETE_ON_CLOSE;
    Handle h;
    ASSERT_EQ(Open(T(u"temp.txt"), &h, args), STATUS_SUCCESS);
    EXPECT_TRUE(HostExists("temp.txt"));
    h.Close();
    EXPECT_FALSE(HostExists("temp.txt"));

    // The file goes with the last handle, not with the first one.
    WriteHostFile("kept.txt", "x");
    Handle other;
    ASSERT_EQ(Open(T(u"kept.txt"), &other), STATUS_SUCCESS);
    ASSERT_EQ(Open(T(u"kept.txt"), &h, args), STATUS_SUCCESS);
    h.Close();
    EXPECT_TRUE(HostExists("kept.txt"));
    Handle again;
    EXPECT_EQ(Open(T(u"kept.txt"), &again), STATUS_DELETE_PENDING);
    other.Close();
    EXPECT_FALSE(HostExists("kept.txt"));

    // An empty directory made with delete-on-close is gone after it.
    OpenArgs directory = args;
    directory.Disposition = FILE_CREATE;
    directory.Options |= FILE_DIRECTORY_FILE;
    ASSERT_EQ(Open(T(u"scratch"), &h, directory), STATUS_SUCCESS);
    EXPECT_TRUE(HostExists("scratch"));
    h.Close();
    EXPECT_FALSE(HostExists("scratch"));
}

TEST_F(CreateTest, ReadOnlyFilesTakeNoWritesAndAreNotDeleted) {
    WriteHostFile("ro.txt", "keep");
    ASSERT_EQ(chmod(Host("ro.txt").c_str(), 0444), 0);
    const struct {
        ACCESS_MASK access;
        ULONG disposition;
        ULONG options;
        NTSTATUS status;
    } cases[] = {
        {FILE_GENERIC_READ, FILE_OPEN, 0, STATUS_SUCCESS},
        {FILE_WRITE_DATA, FILE_OPEN, 0, STATUS_ACCESS_DENIED},
        {FILE_APPEND_DATA, FILE_OPEN, 0, STATUS_ACCESS_DENIED},
        {FILE_GENERIC_READ, FILE_OVERWRITE, 0, STATUS_ACCESS_DENIED},
        {FILE_GENERIC_READ, FILE_SUPERSEDE, 0, STATUS_ACCESS_DENIED},
        {DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, STATUS_CANNOT_DELETE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.access << " " << c.disposition);
        Handle h;
        OpenArgs args;
        args.Access = c.access;
        args.Disposition = c.disposition;
        args.Options |= c.options;
        EXPECT_EQ(Open(T(u"ro.txt"), &h, args), c.status);
    }
    EXPECT_EQ(ReadHostFile("ro.txt"), "keep");

    // A file created read-only is read-only on the host, yet written by its creator.
    Handle h;
    OpenArgs args;
    args.Access = FILE_GENERIC_WRITE;
    args.Disposition = FILE_CREATE;
    args.Attributes = FILE_ATTRIBUTE_READONLY;
    ASSERT_EQ(Open(T(u"new-ro.txt"), &h, args), STATUS_SUCCESS);
    EXPECT_EQ(Write(h.get(), "first", 0), STATUS_SUCCESS);
    h.Close();
    struct stat st;
    ASSERT_EQ(stat(Host("new-ro.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(ReadHostFile("new-ro.txt"), "first");
}

TEST_F(CreateTest, VolumeRootOpensAsADirectory) {
    for (const char16_t* name : {u"\\??\\T:\\", u"\\??\\T:"}) {
        SCOPED_TRACE(Narrow(name));
        Handle h;
        ASSERT_EQ(Open(name, &h), STATUS_SUCCESS);
        FILE_STANDARD_INFORMATION standard{};
        ASSERT_EQ(Query(h.get(), FileStandardInformation, &standard), STATUS_SUCCESS);
        EXPECT_TRUE(standard.Directory);
        EXPECT_EQ(QueryName(h.get()), u"\\");
    }
    Handle h;
    OpenArgs args;
    args.Access = DELETE;
    args.Options |= FILE_DELETE_ON_CLOSE;
    EXPECT_EQ(Open(u"\\??\\T:\\", &h, args), STATUS_CANNOT_DELETE);
}

TEST_F(CreateTest, RelativeOpens) {
    MakeHostDirectory("Base");
    WriteHostFile("Base/child.txt", "child");
    Handle base;
    ASSERT_EQ(Open(T(u"base"), &base), STATUS_SUCCESS);

    std::u16string text = u"CHILD.txt";
    UNICODE_STRING string{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE, base.get(), nullptr);
    IO_STATUS_BLOCK iosb{};
    Handle child;
    ASSERT_EQ(NtCreateFile(&child, FILE_GENERIC_READ, &attributes, &iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(child.get()), "child");
    EXPECT_EQ(QueryName(child.get()), u"\\Base\\child.txt");
}

// The rename target form of a create opens the directory that would hold the
// name and leaves the name's last component in the file object.
TEST_F(CreateTest, OpenTargetDirectory) {
    MakeHostDirectory("dir");
    WriteHostFile("dir/there.txt", "x");
    const struct {
        const char16_t* name;
        NTSTATUS status;
        ULONG_PTR information;
        const char16_t* left;
        const char* directory;  // the host directory opened, below the root
    } cases[] = {
        {u"\\??\\T:\\dir\\new.txt", STATUS_SUCCESS, FILE_DOES_NOT_EXIST, u"new.txt", "dir"},
        {u"\\??\\T:\\DIR\\THERE.TXT", STATUS_SUCCESS, FILE_EXISTS, u"THERE.TXT", "dir"},
        {u"\\??\\T:\\top.txt", STATUS_SUCCESS, FILE_DOES_NOT_EXIST, u"top.txt", ""},
        {u"\\??\\T:\\absent\\new.txt", STATUS_OBJECT_PATH_NOT_FOUND, 0, nullptr, nullptr},
        {u"\\??\\T:\\", STATUS_OBJECT_NAME_INVALID, 0, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        korin::io::OpenParameters p;
        p.desiredAccess = FILE_WRITE_DATA | SYNCHRONIZE;
        p.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
        p.disposition = FILE_OPEN;
        p.attributes = OBJ_CASE_INSENSITIVE;
        p.stackFlags = SL_OPEN_TARGET_DIRECTORY;
        p.mode = KernelMode;
        PFILE_OBJECT fileObject = nullptr;
        IO_STATUS_BLOCK iosb{};
        ASSERT_EQ(korin::io::OpenFileObject(c.name, nullptr, p, &fileObject, &iosb), c.status);
        if (!NT_SUCCESS(c.status)) continue;
        EXPECT_EQ(iosb.Information, c.information);
        EXPECT_EQ(std::u16string(fileObject->FileName.Buffer, fileObject->FileName.Length / 2), c.left);
        struct stat held, expected;
        ASSERT_EQ(fstat(DescriptorOf(fileObject), &held), 0);
        ASSERT_EQ(stat(Host(c.directory).c_str(), &expected), 0);
        EXPECT_EQ(held.st_ino, expected.st_ino);
        korin::io::CloseHandleToFileObject(fileObject);
    }
}

// Out of memory at any step of a create: a clear status, and neither a
// record nor a half-made file left behind.
TEST_F(CreateTest, ExhaustedPoolLeavesNothingBehind) {
    for (ULONG tag : {PoolTag("HfFi"), PoolTag("HfOp")}) {
        SCOPED_TRACE(korin::pool::TagText(tag));
        korin::pool::FailNthAllocation(tag, 1);
        Handle h;
        OpenArgs args;
        args.Access = FILE_GENERIC_WRITE;
        args.Disposition = FILE_CREATE;
        EXPECT_EQ(Open(T(u"oom.txt"), &h, args), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(HostExists("oom.txt"));
        korin::pool::ClearInjectedFailures();
    }
    EXPECT_EQ(korin::io::LiveFileObjects(), 0u);
}

}  // namespace
}  // namespace korin::hostfs::test
