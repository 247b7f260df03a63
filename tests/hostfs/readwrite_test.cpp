// Reads and writes at byte offsets, the end of file, access the open lacks,
// and the host descriptor handed out for a handle.
#include "fixture.h"

#include <sys/stat.h>
#include <unistd.h>

namespace korin::hostfs::test {
namespace {

using ReadWriteTest = HostFsTest;

TEST_F(ReadWriteTest, WriteThenReadBack) {
    Handle h;
    OpenArgs args;
    args.Access = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    args.Disposition = FILE_CREATE;
    ASSERT_EQ(Open(T(u"data.bin"), &h, args), STATUS_SUCCESS);
    ASSERT_EQ(Write(h.get(), "hello world", 0), STATUS_SUCCESS);
    ASSERT_EQ(Write(h.get(), "WORLD", 6), STATUS_SUCCESS);
    // A write past the end leaves a hole of zeros.
    ASSERT_EQ(Write(h.get(), "!", 13), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(h.get()), std::string("hello WORLD\0\0!", 14));
    EXPECT_EQ(ReadHostFile("data.bin"), std::string("hello WORLD\0\0!", 14));

    char buffer[8];
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = 10;
    ASSERT_EQ(NtReadFile(h.get(), nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), &at, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);  // as much as the file holds
    for (LONGLONG end : {14LL, 100LL}) {
        at.QuadPart = end;
        iosb.Information = 99;
        EXPECT_EQ(NtReadFile(h.get(), nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), &at, nullptr),
                  STATUS_END_OF_FILE);
        EXPECT_EQ(iosb.Information, 0u);
    }
}

TEST_F(ReadWriteTest, WriteToEndOfFileAppends) {
    WriteHostFile("log.txt", "one\n");
    Handle h;
    OpenArgs args;
    args.Access = FILE_GENERIC_WRITE;
    ASSERT_EQ(Open(T(u"log.txt"), &h, args), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER end;
    end.u.LowPart = 0xFFFFFFFF;  // FILE_WRITE_TO_END_OF_FILE
    end.u.HighPart = -1;
    char text[] = "two\n";
    ASSERT_EQ(NtWriteFile(h.get(), nullptr, nullptr, nullptr, &iosb, text, 4, &end, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile("log.txt"), "one\ntwo\n");
}

TEST_F(ReadWriteTest, SynchronousHandlesFollowTheirPosition) {
    WriteHostFile("seq.txt", "abcdef");
    Handle h;
    ASSERT_EQ(Open(T(u"seq.txt"), &h), STATUS_SUCCESS);
    char buffer[3];
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(NtReadFile(h.get(), nullptr, nullptr, nullptr, &iosb, buffer, 3, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(NtReadFile(h.get(), nullptr, nullptr, nullptr, &iosb, buffer, 3, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 3), "def");
    FILE_POSITION_INFORMATION position{};
    ASSERT_EQ(Query(h.get(), FilePositionInformation, &position), STATUS_SUCCESS);
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, 6);
}

TEST_F(ReadWriteTest, TransfersNeedTheirAccessAndAFile) {
    WriteHostFile("f.txt", "content");
    MakeHostDirectory("d");
    Handle attributesOnly, readOnly, directory;
    OpenArgs args;
    args.Access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    ASSERT_EQ(Open(T(u"f.txt"), &attributesOnly, args), STATUS_SUCCESS);
    args.Access = FILE_GENERIC_READ;
    ASSERT_EQ(Open(T(u"f.txt"), &readOnly, args), STATUS_SUCCESS);
    ASSERT_EQ(Open(T(u"d"), &directory, args), STATUS_SUCCESS);

    char buffer[4];
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER zero{};
    EXPECT_EQ(NtReadFile(attributesOnly.get(), nullptr, nullptr, nullptr, &iosb, buffer, 4, &zero, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Write(readOnly.get(), "x", 0), STATUS_ACCESS_DENIED);
    EXPECT_NE(NtReadFile(directory.get(), nullptr, nullptr, nullptr, &iosb, buffer, 4, &zero, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile("f.txt"), "content");
}

// The descriptor handed out for a handle is the host file itself: reads and
// writes through it meet what the driver reads and writes.
TEST_F(ReadWriteTest, HostDescriptorOfAHandle) {
    WriteHostFile("fd.txt", "0123456789");
    Handle h;
    OpenArgs args;
    args.Access = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    ASSERT_EQ(Open(T(u"FD.TXT"), &h, args), STATUS_SUCCESS);
    int fd = korin::io::HostDescriptorOfHandle(h.get());
    ASSERT_GE(fd, 0);
    struct stat viaFd, viaPath;
    ASSERT_EQ(fstat(fd, &viaFd), 0);
    ASSERT_EQ(stat(Host("fd.txt").c_str(), &viaPath), 0);
    EXPECT_EQ(viaFd.st_ino, viaPath.st_ino);
    char buffer[4] = {};
    ASSERT_EQ(pread(fd, buffer, 4, 3), 4);
    EXPECT_EQ(std::string(buffer, 4), "3456");
    ASSERT_EQ(pwrite(fd, "AB", 2, 0), 2);
    EXPECT_EQ(ReadAll(h.get()), "AB23456789");

    // Directories and opens without data access still name their host file.
    Handle directory;
    ASSERT_EQ(Open(u"\\??\\T:\\", &directory), STATUS_SUCCESS);
    int dirFd = korin::io::HostDescriptorOfHandle(directory.get());
    ASSERT_GE(dirFd, 0);
    ASSERT_EQ(fstat(dirFd, &viaFd), 0);
    ASSERT_EQ(stat(root_.c_str(), &viaPath), 0);
    EXPECT_EQ(viaFd.st_ino, viaPath.st_ino);

    EXPECT_EQ(korin::io::HostDescriptorOfHandle(reinterpret_cast<HANDLE>(0x7777)), -1);
    EXPECT_EQ(DescriptorOf(nullptr), -1);
}

}  // namespace
}  // namespace korin::hostfs::test
