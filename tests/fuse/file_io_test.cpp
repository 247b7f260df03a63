// File data through the mount: reads and writes reach the real file behind
// a mapping, files are made and deleted inside mapped folders, and the
// kernel's page cache never shows bytes the real file no longer holds.
#include "mount_fixture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

namespace korin::fusetest {
namespace {

class FileIoTest : public MountTest {
protected:
    void SetUp() override {
        MountTest::SetUp();
        MakeHostDirectory("work");
        WriteHostFile("notes.txt", "first version");
        WriteHostFile("work/a.txt", "alpha");
        ASSERT_EQ(CreateFolder(u"X:\\Docs"), STATUS_SUCCESS);
        ASSERT_EQ(CreateMapping(u"X:\\Docs\\notes.txt", u"H:\\notes.txt"), STATUS_SUCCESS);
        ASSERT_EQ(CreateMapping(u"X:\\Docs\\Work", u"H:\\work\\"), STATUS_SUCCESS);
    }

    // Pages of path resident in the page cache right after an open through
    // the mount (mincore of a fresh mapping).
    static size_t ResidentPages(const std::string& path, size_t* total) {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) return 0;
        struct stat st;
        fstat(fd, &st);
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        *total = (static_cast<size_t>(st.st_size) + page - 1) / page;
        void* map = mmap(nullptr, st.st_size, PROT_READ, MAP_SHARED, fd, 0);
        std::vector<unsigned char> resident(*total);
        size_t count = 0;
        if (map != MAP_FAILED && mincore(map, st.st_size, resident.data()) == 0) {
            for (unsigned char r : resident) count += r & 1;
        }
        if (map != MAP_FAILED) munmap(map, st.st_size);
        close(fd);
        return count;
    }
};

TEST_F(FileIoTest, ReadsGiveTheRealBytes) {
    EXPECT_EQ(ReadFile(MountPath("Docs/notes.txt")), "first version");
    EXPECT_EQ(ReadFile(MountPath("Docs/Work/a.txt")), "alpha");

    // Larger than one request, with content that shows any misplaced block.
    std::string big(3 * 1024 * 1024 + 123, '\0');
    std::mt19937 random(7);
    for (char& c : big) c = static_cast<char>(random());
    WriteHostFile("work/big.bin", big);
    EXPECT_EQ(ReadFile(MountPath("Docs/Work/big.bin")), big);
}

TEST_F(FileIoTest, WritesReachTheRealFile) {
    {
        int fd = open(MountPath("Docs/notes.txt").c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0) << strerror(errno);
        ASSERT_EQ(write(fd, "second", 6), 6);
        ASSERT_EQ(pwrite(fd, "S", 1, 0), 1);
        close(fd);
    }
    EXPECT_EQ(ReadFile(HostPath("notes.txt")), "Second");
    {
        // O_APPEND appends where the real file ends.
        int fd = open(MountPath("Docs/notes.txt").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "+more", 5), 5);
        close(fd);
    }
    EXPECT_EQ(ReadFile(HostPath("notes.txt")), "Second+more");
    EXPECT_EQ(ReadFile(MountPath("Docs/notes.txt")), "Second+more");
    ASSERT_EQ(truncate(MountPath("Docs/notes.txt").c_str(), 3), 0);
    EXPECT_EQ(ReadFile(HostPath("notes.txt")), "Sec");
}

TEST_F(FileIoTest, FilesAreMadeAndDeletedInsideMappedFolders) {
    int fd = open(MountPath("Docs/Work/new.txt").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0640);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(write(fd, "made", 4), 4);
    close(fd);
    EXPECT_EQ(ReadFile(HostPath("work/new.txt")), "made");
    struct stat st;
    ASSERT_EQ(stat(HostPath("work/new.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(ErrnoOf(open(MountPath("Docs/Work/new.txt").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0640)), EEXIST);

    ASSERT_EQ(mkdir(MountPath("Docs/Work/dir").c_str(), 0750), 0) << strerror(errno);
    ASSERT_EQ(stat(HostPath("work/dir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0750u);

    ASSERT_EQ(rename(MountPath("Docs/Work/new.txt").c_str(), MountPath("Docs/Work/dir/moved.txt").c_str()), 0)
        << strerror(errno);
    EXPECT_EQ(ReadFile(HostPath("work/dir/moved.txt")), "made");
    ASSERT_EQ(unlink(MountPath("Docs/Work/dir/moved.txt").c_str()), 0);
    EXPECT_NE(access(HostPath("work/dir/moved.txt").c_str(), F_OK), 0);
    ASSERT_EQ(rmdir(MountPath("Docs/Work/dir").c_str()), 0);
    EXPECT_NE(access(HostPath("work/dir").c_str(), F_OK), 0);
}

TEST_F(FileIoTest, RemovingAMappedFileDeletesTheRealFile) {
    ASSERT_EQ(unlink(MountPath("Docs/notes.txt").c_str()), 0) << strerror(errno);
    EXPECT_NE(access(HostPath("notes.txt").c_str(), F_OK), 0);
    // The mapping stays in the drive, but with its target gone it is not listed.
    EXPECT_EQ(ItemTypeOf(u"X:\\Docs\\notes.txt"), 3u);  // a file mapping
    EXPECT_EQ(List(MountPath("Docs")), (std::vector<std::string>{"Work"}));
}

TEST_F(FileIoTest, AHostRewriteIsReadAtTheNextOpen) {
    const std::string path = MountPath("Docs/notes.txt");
    EXPECT_EQ(ReadFile(path), "first version");
    WriteHostFile("notes.txt", "FIRST VERSION");  // same size: only the bytes tell
    EXPECT_EQ(ReadFile(path), "FIRST VERSION");
    WriteHostFile("notes.txt", "a longer third version");
    EXPECT_EQ(ReadFile(path), "a longer third version");
    WriteHostFile("notes.txt", "short");
    EXPECT_EQ(ReadFile(path), "short");
}

TEST_F(FileIoTest, AHostChangeShowsInAttributesWithinASecond) {
    struct stat before;
    ASSERT_EQ(stat(MountPath("Docs/notes.txt").c_str(), &before), 0);
    WriteHostFile("notes.txt", "grown well beyond the first version");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    struct stat now{};
    do {
        ASSERT_EQ(stat(MountPath("Docs/notes.txt").c_str(), &now), 0);
        if (now.st_size == 35) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(now.st_size, 35);
}

TEST_F(FileIoTest, PageCacheIsKeptOnlyWhileTheRealFileIsUnchanged) {
    std::string contents(64 * 4096, 'k');
    WriteHostFile("work/cached.bin", contents);
    const std::string path = MountPath("Docs/Work/cached.bin");
    ASSERT_EQ(ReadFile(path), contents);
    size_t total = 0;
    EXPECT_EQ(ResidentPages(path, &total), total) << "an unchanged file lost its pages";
    WriteHostFile("work/cached.bin", std::string(64 * 4096, 'K'));
    EXPECT_EQ(ResidentPages(path, &total), 0u) << "pages of the old contents survived";
    EXPECT_EQ(ReadFile(path), std::string(64 * 4096, 'K'));
}

// Linux frees a name at unlink even while the file is open; the open keeps
// reading and describing the old file, and nothing of it stays behind once
// it is closed.
TEST_F(FileIoTest, AFileRemovedWhileOpenFreesItsNameAtOnce) {
    const std::string path = MountPath("Docs/Work/busy.txt");
    int fd = open(path.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "old contents", 12), 12);
    ASSERT_EQ(unlink(path.c_str()), 0) << strerror(errno);

    struct stat st;
    EXPECT_EQ(ErrnoOf(stat(path.c_str(), &st)), ENOENT);
    EXPECT_EQ(List(MountPath("Docs/Work")), (std::vector<std::string>{"a.txt"}));
    ASSERT_EQ(fstat(fd, &st), 0) << strerror(errno);
    EXPECT_EQ(st.st_size, 12);
    EXPECT_EQ(fchmod(fd, 0600), 0) << strerror(errno);

    int again = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
    ASSERT_GE(again, 0) << "the name is still taken: " << strerror(errno);
    ASSERT_EQ(write(again, "new", 3), 3);
    close(again);
    char buffer[16] = {};
    EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 12);
    EXPECT_STREQ(buffer, "old contents");
    close(fd);

    EXPECT_EQ(ReadFile(HostPath("work/busy.txt")), "new");
    // The removed file goes with its last release, which follows close().
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (List(HostPath("work")).size() > 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(List(HostPath("work")), (std::vector<std::string>{"a.txt", "busy.txt"}));
}

// A directory whose last file was removed while open can be removed as soon
// as the file is closed, although the kernel releases it after close().
TEST_F(FileIoTest, RmdirRightAfterClosingARemovedFile) {
    for (int i = 0; i < 40; ++i) {
        const std::string dir = MountPath("Docs/Work/d" + std::to_string(i));
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        int fd = open((dir + "/f").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(unlink((dir + "/f").c_str()), 0) << strerror(errno);
        ASSERT_EQ(write(fd, "x", 1), 1);
        close(fd);
        ASSERT_EQ(rmdir(dir.c_str()), 0) << i << ": " << strerror(errno);
    }
    EXPECT_EQ(List(HostPath("work")), (std::vector<std::string>{"a.txt"}));
}

}  // namespace
}  // namespace korin::fusetest
