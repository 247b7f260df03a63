// File information: attributes and times against the host's stat, sizes,
// names, and the buffer rules.
#include "fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace korin::hostfs::test {
namespace {

using FileInfoTest = HostFsTest;

constexpr LONGLONG kUnixEpoch = 116444736000000000LL;

LONGLONG NtTime(const struct timespec& ts) { return kUnixEpoch + ts.tv_sec * 10000000LL + ts.tv_nsec / 100; }

TEST_F(FileInfoTest, AttributesAndTimesFollowStat) {
    WriteHostFile("plain.txt", "12345");
    WriteHostFile(".hidden", "h");
    WriteHostFile("ro.txt", "r");
    ASSERT_EQ(chmod(Host("ro.txt").c_str(), 0444), 0);
    MakeHostDirectory("dir");
    MakeHostDirectory(".hiddendir");
    ASSERT_EQ(mkfifo(Host("fifo").c_str(), 0644), 0);
    // Times with nanoseconds that survive the 100 ns units.
    struct timespec times[2] = {{1000000000, 123456700}, {1200000000, 987654300}};
    ASSERT_EQ(utimensat(AT_FDCWD, Host("plain.txt").c_str(), times, 0), 0);

    const struct {
        const char16_t* name;
        const char* host;
        ULONG attributes;
    } cases[] = {
        {u"plain.txt", "plain.txt", FILE_ATTRIBUTE_ARCHIVE},
        {u".hidden", ".hidden", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN},
        {u"ro.txt", "ro.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
        {u"dir", "dir", FILE_ATTRIBUTE_DIRECTORY},
        {u".hiddendir", ".hiddendir", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN},
        {u"fifo", "fifo", FILE_ATTRIBUTE_NORMAL},
        {u"", "", FILE_ATTRIBUTE_DIRECTORY},  // the root is never hidden
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        Handle h;
        OpenArgs args;
        args.Access = FILE_READ_ATTRIBUTES;
        ASSERT_EQ(Open(T(c.name), &h, args), STATUS_SUCCESS);
        struct stat st;
        ASSERT_EQ(stat(Host(c.host).c_str(), &st), 0);

        FILE_BASIC_INFORMATION basic{};
        ASSERT_EQ(Query(h.get(), FileBasicInformation, &basic), STATUS_SUCCESS);
        EXPECT_EQ(basic.FileAttributes, c.attributes);
        EXPECT_EQ(basic.LastWriteTime.QuadPart, NtTime(st.st_mtim));
        EXPECT_EQ(basic.LastAccessTime.QuadPart, NtTime(st.st_atim));
        EXPECT_EQ(basic.ChangeTime.QuadPart, NtTime(st.st_ctim));
        EXPECT_NE(basic.CreationTime.QuadPart, 0);
        EXPECT_LE(basic.CreationTime.QuadPart, basic.ChangeTime.QuadPart);

        FILE_STANDARD_INFORMATION standard{};
        ASSERT_EQ(Query(h.get(), FileStandardInformation, &standard), STATUS_SUCCESS);
        bool directory = S_ISDIR(st.st_mode);
        EXPECT_EQ(standard.Directory, directory);
        EXPECT_EQ(standard.EndOfFile.QuadPart, directory ? 0 : st.st_size);
        EXPECT_EQ(standard.AllocationSize.QuadPart, directory ? 0 : st.st_blocks * 512);
        EXPECT_EQ(standard.NumberOfLinks, directory ? 1u : st.st_nlink);
        EXPECT_FALSE(standard.DeletePending);

        FILE_NETWORK_OPEN_INFORMATION network{};
        ASSERT_EQ(Query(h.get(), FileNetworkOpenInformation, &network), STATUS_SUCCESS);
        EXPECT_EQ(network.LastWriteTime.QuadPart, basic.LastWriteTime.QuadPart);
        EXPECT_EQ(network.EndOfFile.QuadPart, standard.EndOfFile.QuadPart);
        EXPECT_EQ(network.FileAttributes, c.attributes);

        FILE_ATTRIBUTE_TAG_INFORMATION tag{};
        ASSERT_EQ(Query(h.get(), FileAttributeTagInformation, &tag), STATUS_SUCCESS);
        EXPECT_EQ(tag.FileAttributes, c.attributes);
        EXPECT_EQ(tag.ReparseTag, 0u);

        FILE_INTERNAL_INFORMATION internal{};
        ASSERT_EQ(Query(h.get(), FileInternalInformation, &internal), STATUS_SUCCESS);
        EXPECT_EQ(static_cast<ino_t>(internal.IndexNumber.QuadPart), st.st_ino);
    }
    // The write time set above, to the 100 ns.
    Handle h;
    ASSERT_EQ(Open(T(u"plain.txt"), &h), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION basic{};
    ASSERT_EQ(Query(h.get(), FileBasicInformation, &basic), STATUS_SUCCESS);
    EXPECT_EQ(basic.LastWriteTime.QuadPart, kUnixEpoch + 1200000000LL * 10000000LL + 9876543);
    EXPECT_EQ(basic.LastAccessTime.QuadPart, kUnixEpoch + 1000000000LL * 10000000LL + 1234567);
}

TEST_F(FileInfoTest, NamesAsTheVolumeShowsThem) {
    MakeHostDirectory("Work");
    MakeHostDirectory("Work/Docs");
    WriteHostFile("Work/Docs/Plan.txt", "p");
    Handle h;
    ASSERT_EQ(Open(T(u"work\\docs\\plan.TXT"), &h), STATUS_SUCCESS);
    EXPECT_EQ(QueryName(h.get()), u"\\Work\\Docs\\Plan.txt");

    // FileAllInformation carries the name after its fixed records.
    alignas(8) char buffer[512];
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(NtQueryInformationFile(h.get(), &iosb, buffer, sizeof(buffer), FileAllInformation), STATUS_SUCCESS);
    auto* all = reinterpret_cast<FILE_ALL_INFORMATION*>(buffer);
    std::u16string expected = u"\\Work\\Docs\\Plan.txt";
    EXPECT_EQ(all->NameInformation.FileNameLength, expected.size() * 2);
    EXPECT_EQ(std::u16string(all->NameInformation.FileName, expected.size()), expected);
    EXPECT_EQ(iosb.Information, offsetof(FILE_ALL_INFORMATION, NameInformation.FileName) + expected.size() * 2);
    EXPECT_EQ(all->StandardInformation.EndOfFile.QuadPart, 1);
    EXPECT_EQ(all->BasicInformation.FileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(all->EaInformation.EaSize, 0u);
    EXPECT_EQ(all->ModeInformation.Mode, FILE_SYNCHRONOUS_IO_NONALERT);

    // A buffer that holds only part of the name: what fits, the full length, an overflow.
    alignas(8) char small[12];
    ASSERT_EQ(NtQueryInformationFile(h.get(), &iosb, small, sizeof(small), FileNameInformation),
              STATUS_BUFFER_OVERFLOW);
    auto* name = reinterpret_cast<FILE_NAME_INFORMATION*>(small);
    EXPECT_EQ(name->FileNameLength, expected.size() * 2);
    EXPECT_EQ(std::u16string(name->FileName, 4), u"\\Wor");
}

TEST_F(FileInfoTest, BufferRules) {
    WriteHostFile("f.txt", "x");
    Handle h;
    ASSERT_EQ(Open(T(u"f.txt"), &h), STATUS_SUCCESS);
    alignas(8) char buffer[64];
    IO_STATUS_BLOCK iosb{};
    const struct {
        FILE_INFORMATION_CLASS type;
        ULONG length;
        NTSTATUS status;
    } cases[] = {
        {FileBasicInformation, 39, STATUS_INFO_LENGTH_MISMATCH},
        {FileBasicInformation, 40, STATUS_SUCCESS},
        {FileStandardInformation, 23, STATUS_INFO_LENGTH_MISMATCH},
        {FileNetworkOpenInformation, 55, STATUS_INFO_LENGTH_MISMATCH},
        {FileEaInformation, 4, STATUS_SUCCESS},
        {FileObjectIdInformation, 64, STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << "/" << c.length);
        EXPECT_EQ(NtQueryInformationFile(h.get(), &iosb, buffer, c.length, c.type), c.status);
    }
}

}  // namespace
}  // namespace korin::hostfs::test
