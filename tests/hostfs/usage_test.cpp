// The driver as its callers use it: a virtual drive's listing probing a
// mapping's target with a kernel handle, moves between volumes, and several
// threads working on the same files at once.
#include "fixture.h"

#include "platform/nt/pool.h"

#include <atomic>
#include <thread>

namespace korin::hostfs::test {
namespace {

using UsageTest = HostFsTest;

// What a listing of a virtual folder does for each mapping: open the target
// for attributes only, sharing read and write, and ask for basic and
// standard information. An open for writing elsewhere does not stand in the way.
TEST_F(UsageTest, ProbingAMappingTarget) {
    MakeHostDirectory("Work");
    MakeHostDirectory("Work/Docs");
    WriteHostFile("Work/Docs/plan.txt", "twelve bytes");
    Handle writer;
    OpenArgs exclusive;
    exclusive.Access = FILE_GENERIC_WRITE;
    exclusive.Share = 0;
    ASSERT_EQ(Open(T(u"Work\\Docs\\plan.txt"), &writer, exclusive), STATUS_SUCCESS);

    const struct {
        const char16_t* target;
        NTSTATUS status;
        bool directory;
    } cases[] = {
        {u"\\??\\T:\\Work\\Docs\\plan.txt", STATUS_SUCCESS, false},
        {u"\\??\\T:\\work\\docs\\", STATUS_SUCCESS, true},
        {u"\\??\\T:\\Work\\Gone\\x.txt", STATUS_OBJECT_PATH_NOT_FOUND, false},
        {u"\\??\\T:\\Work\\Docs\\gone.txt", STATUS_OBJECT_NAME_NOT_FOUND, false},
        {u"\\??\\UNC\\server\\share\\a.doc", STATUS_BAD_NETWORK_PATH, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.target));
        std::u16string text = c.target;
        UNICODE_STRING name{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE handle = nullptr;
        IO_STATUS_BLOCK iosb{};
        ASSERT_EQ(ZwOpenFile(&handle, FILE_READ_ATTRIBUTES, &attributes, &iosb, FILE_SHARE_READ | FILE_SHARE_WRITE, 0),
                  c.status);
        if (!NT_SUCCESS(c.status)) continue;
        FILE_BASIC_INFORMATION basic{};
        FILE_STANDARD_INFORMATION standard{};
        EXPECT_EQ(ZwQueryInformationFile(handle, &iosb, &basic, sizeof(basic), FileBasicInformation), STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 40u);
        EXPECT_EQ(ZwQueryInformationFile(handle, &iosb, &standard, sizeof(standard), FileStandardInformation),
                  STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 24u);
        EXPECT_EQ(standard.Directory, c.directory);
        EXPECT_EQ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, c.directory);
        if (!c.directory) {
            EXPECT_EQ(standard.EndOfFile.QuadPart, 12);
        }
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }
}

TEST_F(UsageTest, RenamesStayOnTheirVolume) {
    WriteHostFile("f.txt", "x");
    Handle h;
    OpenArgs args;
    args.Access = DELETE | SYNCHRONIZE;
    ASSERT_EQ(Open(T(u"f.txt"), &h, args), STATUS_SUCCESS);
    std::u16string elsewhere = u"\\??\\C:";
    for (char c : root_) elsewhere.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
    EXPECT_EQ(Rename(h.get(), elsewhere + u"\\g.txt", false), STATUS_NOT_SAME_DEVICE);
    EXPECT_TRUE(HostExists("f.txt"));
    EXPECT_FALSE(HostExists("g.txt"));
}

// Opens, queries, renames and deletes from several threads: every open is
// answered, and nothing of the driver's outlives its handles.
TEST_F(UsageTest, ThreadsOnTheSameFiles) {
    MakeHostDirectory("busy");
    WriteHostFile("busy/shared.txt", "shared");
    std::atomic<int> failures{0};
    auto opener = [&] {
        for (int i = 0; i < 200; ++i) {
            Handle h;
            NTSTATUS status = Open(T(u"busy\\SHARED.txt"), &h);
            if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) continue;
            if (status != STATUS_SUCCESS) {
                ADD_FAILURE() << "open: " << NtStatusName(status);
                ++failures;
                continue;
            }
            FILE_STANDARD_INFORMATION standard{};
            if (Query(h.get(), FileStandardInformation, &standard) != STATUS_SUCCESS) ++failures;
        }
    };
    auto renamer = [&] {
        Handle h;
        OpenArgs args;
        args.Access = DELETE | SYNCHRONIZE;
        if (Open(T(u"busy"), &h, args) != STATUS_SUCCESS) {
            ++failures;
            return;
        }
        for (int i = 0; i < 100; ++i) {
            NTSTATUS status = Rename(h.get(), T(i % 2 ? u"busy" : u"moved"), false);
            if (status != STATUS_SUCCESS) {
                ADD_FAILURE() << "rename: " << NtStatusName(status);
                ++failures;
            }
        }
    };
    auto creator = [&] {
        for (int i = 0; i < 100; ++i) {
            Handle h;
            OpenArgs args;
            args.Access = DELETE | FILE_GENERIC_WRITE;
            args.Disposition = FILE_OPEN_IF;
            args.Options |= FILE_DELETE_ON_CLOSE;
            // The other creator's handle may hold the file in its pending delete.
            NTSTATUS status = Open(T(u"scratch.txt"), &h, args);
            if (status != STATUS_SUCCESS && status != STATUS_DELETE_PENDING) {
                ADD_FAILURE() << "create: " << NtStatusName(status);
                ++failures;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back(opener);
    threads.emplace_back(renamer);
    threads.emplace_back(creator);
    threads.emplace_back(creator);
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(HostExists("busy/shared.txt"));
    EXPECT_FALSE(HostExists("scratch.txt"));
}

}  // namespace
}  // namespace korin::hostfs::test
