// Directory listings: patterns, the layout of each class, the end statuses,
// single entries, restarts and buffers too small for an entry.
#include "fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace korin::hostfs::test {
namespace {

class DirCtrlTest : public HostFsTest {
protected:
    void SetUp() override {
        HostFsTest::SetUp();
        MakeHostDirectory("list");
        for (const char* name : {"a.txt", "b.TXT", "c.doc", "readme", ".hidden", "long name.txt"}) {
            WriteHostFile(std::string("list/") + name, name);
        }
        MakeHostDirectory("list/Dir");
    }

    NTSTATUS QueryOnce(HANDLE h, void* buffer, ULONG length, FILE_INFORMATION_CLASS type, UCHAR flags,
                       const char16_t* pattern = nullptr, ULONG_PTR* information = nullptr) {
        UNICODE_STRING patternString;
        if (pattern) RtlInitUnicodeString(&patternString, pattern);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = KorinQueryDirectoryFile(h, &iosb, buffer, length, type, flags,
                                                  pattern ? &patternString : nullptr, 0);
        if (information) *information = iosb.Information;
        return status;
    }
};

std::vector<std::u16string> Sorted(std::vector<std::u16string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(DirCtrlTest, PatternsSelectNamesWithoutCase) {
    const struct {
        const char16_t* pattern;
        std::vector<std::u16string> names;
    } cases[] = {
        {nullptr, {u".", u"..", u".hidden", u"Dir", u"a.txt", u"b.TXT", u"c.doc", u"long name.txt", u"readme"}},
        {u"*", {u".", u"..", u".hidden", u"Dir", u"a.txt", u"b.TXT", u"c.doc", u"long name.txt", u"readme"}},
        {u"*.txt", {u"a.txt", u"b.TXT", u"long name.txt"}},
        {u"*.TXT", {u"a.txt", u"b.TXT", u"long name.txt"}},
        {u"?.txt", {u"a.txt", u"b.TXT"}},
        {u"*.*", {u".", u"..", u".hidden", u"a.txt", u"b.TXT", u"c.doc", u"long name.txt"}},
        {u"*e*", {u".hidden", u"long name.txt", u"readme"}},
        {u"readme", {u"readme"}},
        {u"README", {u"readme"}},
        {u"dir", {u"Dir"}},
        {u".", {u"."}},
        {u"nothing", {}},
        {u"*.none", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern ? Narrow(c.pattern) : "(none)");
        Handle h;
        ASSERT_EQ(Open(T(u"list"), &h), STATUS_SUCCESS);
        std::vector<std::u16string> names = List(h.get(), FileNamesInformation, c.pattern);
        EXPECT_EQ(Sorted(names), Sorted(c.names));
        // "." and ".." lead when they are listed.
        if (std::find(c.names.begin(), c.names.end(), u"..") != c.names.end()) {
            ASSERT_GE(names.size(), 2u);
            EXPECT_EQ(names[0], u".");
            EXPECT_EQ(names[1], u"..");
        }
    }
}

TEST_F(DirCtrlTest, VolumeRootHasNoDotEntries) {
    Handle h;
    ASSERT_EQ(Open(u"\\??\\T:\\", &h), STATUS_SUCCESS);
    EXPECT_EQ(List(h.get(), FileBothDirectoryInformation), std::vector<std::u16string>{u"list"});
}

// Each class: where the name sits, FileNameLength, entries at 8-byte
// boundaries chained by NextEntryOffset, 0 in the last one, and the class's
// own fields.
TEST_F(DirCtrlTest, LayoutOfEveryClass) {
    const struct {
        FILE_INFORMATION_CLASS type;
        ULONG nameOffset;
        ULONG nameLengthOffset;
    } classes[] = {
        {FileDirectoryInformation, 64, 60},     {FileFullDirectoryInformation, 68, 60},
        {FileBothDirectoryInformation, 94, 60}, {FileNamesInformation, 12, 8},
        {FileIdBothDirectoryInformation, 104, 60}, {FileIdFullDirectoryInformation, 80, 60},
    };
    struct stat st;
    ASSERT_EQ(stat(Host("list/long name.txt").c_str(), &st), 0);
    for (const auto& c : classes) {
        SCOPED_TRACE(testing::Message() << "class " << c.type);
        Handle h;
        ASSERT_EQ(Open(T(u"list"), &h), STATUS_SUCCESS);
        alignas(8) char buffer[8192];
        std::memset(buffer, 0xEE, sizeof(buffer));
        ULONG_PTR information = 0;
        ASSERT_EQ(QueryOnce(h.get(), buffer, sizeof(buffer), c.type, 0, nullptr, &information), STATUS_SUCCESS);
        size_t entries = 0;
        bool sawLongName = false;
        for (ULONG at = 0;; ++entries) {
            ASSERT_EQ(at % 8, 0u);
            ULONG next, nameLength;
            std::memcpy(&next, buffer + at, 4);
            std::memcpy(&nameLength, buffer + at + c.nameLengthOffset, 4);
            std::u16string name(nameLength / 2, u'\0');
            std::memcpy(name.data(), buffer + at + c.nameOffset, nameLength);
            if (name == u"long name.txt") {
                sawLongName = true;
                EXPECT_EQ(nameLength, 26u);
                if (c.type != FileNamesInformation) {
                    LONGLONG endOfFile;
                    ULONG attributes;
                    std::memcpy(&endOfFile, buffer + at + 40, 8);
                    std::memcpy(&attributes, buffer + at + 56, 4);
                    EXPECT_EQ(endOfFile, st.st_size);
                    EXPECT_EQ(attributes, FILE_ATTRIBUTE_ARCHIVE);
                }
                if (c.type == FileIdBothDirectoryInformation || c.type == FileIdFullDirectoryInformation) {
                    LONGLONG id;
                    std::memcpy(&id, buffer + at + (c.type == FileIdBothDirectoryInformation ? 96 : 72), 8);
                    EXPECT_EQ(static_cast<ino_t>(id), st.st_ino);
                }
                if (c.type == FileBothDirectoryInformation || c.type == FileIdBothDirectoryInformation) {
                    EXPECT_EQ(buffer[at + 68], 0);  // ShortNameLength: no short names
                }
                if (c.type != FileNamesInformation && c.type != FileDirectoryInformation) {
                    ULONG ea;
                    std::memcpy(&ea, buffer + at + 64, 4);
                    EXPECT_EQ(ea, 0u);
                }
            }
            if (next == 0) {
                EXPECT_EQ(information, at + c.nameOffset + nameLength);
                break;
            }
            EXPECT_EQ(next, (c.nameOffset + nameLength + 7) & ~7u);
            at += next;
        }
        EXPECT_EQ(entries + 1, 9u);
        EXPECT_TRUE(sawLongName);
    }
}

TEST_F(DirCtrlTest, EntriesCarryStatOfTheirFiles) {
    Handle h;
    ASSERT_EQ(Open(T(u"list"), &h), STATUS_SUCCESS);
    alignas(8) char buffer[8192];
    ASSERT_EQ(QueryOnce(h.get(), buffer, sizeof(buffer), FileBothDirectoryInformation, 0), STATUS_SUCCESS);
    std::map<std::u16string, ULONG> attributes;
    for (ULONG at = 0;;) {
        auto* e = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(buffer + at);
        attributes[std::u16string(e->FileName, e->FileNameLength / 2)] = e->FileAttributes;
        if (e->NextEntryOffset == 0) break;
        at += e->NextEntryOffset;
    }
    EXPECT_EQ(attributes[u"."], FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(attributes[u".."], FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(attributes[u"Dir"], FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(attributes[u".hidden"], FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(attributes[u"a.txt"], FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(DirCtrlTest, EndStatusesSingleEntriesAndRestarts) {
    Handle h;
    ASSERT_EQ(Open(T(u"list"), &h), STATUS_SUCCESS);
    alignas(8) char buffer[4096];
    // Nothing matches on the first query: no such file; then no more files.
    EXPECT_EQ(QueryOnce(h.get(), buffer, sizeof(buffer), FileNamesInformation, 0, u"nothing"), STATUS_NO_SUCH_FILE);
    EXPECT_EQ(QueryOnce(h.get(), buffer, sizeof(buffer), FileNamesInformation, 0), STATUS_NO_MORE_FILES);

    // The first query's pattern holds for later queries; single entries one by one.
    Handle txt;
    ASSERT_EQ(Open(T(u"list"), &txt), STATUS_SUCCESS);
    std::vector<std::u16string> names;
    for (;;) {
        ULONG_PTR information = 0;
        NTSTATUS status = QueryOnce(txt.get(), buffer, sizeof(buffer), FileNamesInformation,
                                    SL_RETURN_SINGLE_ENTRY, names.empty() ? u"*.txt" : u"*", &information);
        if (status == STATUS_NO_MORE_FILES) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* e = reinterpret_cast<FILE_NAMES_INFORMATION*>(buffer);
        EXPECT_EQ(e->NextEntryOffset, 0u);
        EXPECT_EQ(information, 12u + e->FileNameLength);
        names.emplace_back(e->FileName, e->FileNameLength / 2);
    }
    EXPECT_EQ(Sorted(names), Sorted({u"a.txt", u"b.TXT", u"long name.txt"}));

    // A restart starts again from ".", with the saved pattern or a new one.
    EXPECT_EQ(QueryOnce(txt.get(), buffer, sizeof(buffer), FileNamesInformation,
                        SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY),
              STATUS_SUCCESS);
    auto* e = reinterpret_cast<FILE_NAMES_INFORMATION*>(buffer);
    EXPECT_NE(std::u16string(e->FileName, e->FileNameLength / 2), u".");
    ASSERT_EQ(QueryOnce(txt.get(), buffer, sizeof(buffer), FileNamesInformation,
                        SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY, u"*"),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(e->FileName, e->FileNameLength / 2), u".");
}

// FileIndex names an entry's place: a query with SL_INDEX_SPECIFIED goes on
// after the entry it names.
TEST_F(DirCtrlTest, ResumesAfterAGivenIndex) {
    Handle h;
    ASSERT_EQ(Open(T(u"list"), &h), STATUS_SUCCESS);
    alignas(8) char buffer[1024];
    auto* e = reinterpret_cast<FILE_NAMES_INFORMATION*>(buffer);
    std::vector<std::pair<ULONG, std::u16string>> entries;
    while (QueryOnce(h.get(), buffer, sizeof(buffer), FileNamesInformation, SL_RETURN_SINGLE_ENTRY) ==
           STATUS_SUCCESS) {
        entries.emplace_back(e->FileIndex, std::u16string(e->FileName, e->FileNameLength / 2));
    }
    ASSERT_EQ(entries.size(), 9u);
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(KorinQueryDirectoryFile(h.get(), &iosb, buffer, sizeof(buffer), FileNamesInformation,
                                      SL_INDEX_SPECIFIED | SL_RETURN_SINGLE_ENTRY, nullptr, entries[3].first),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(e->FileName, e->FileNameLength / 2), entries[4].second);
    EXPECT_EQ(KorinQueryDirectoryFile(h.get(), &iosb, buffer, sizeof(buffer), FileNamesInformation,
                                      SL_INDEX_SPECIFIED, nullptr, 1000),
              STATUS_NO_MORE_FILES);
}

// A buffer that cannot hold the next entry's name: its fixed part and what
// fits of the name, STATUS_BUFFER_OVERFLOW, and the entry is not lost.
TEST_F(DirCtrlTest, SmallBuffers) {
    MakeHostDirectory("one");
    WriteHostFile("one/abcdefgh.txt", "x");  // 24 bytes of name: an entry of 88
    Handle h;
    ASSERT_EQ(Open(T(u"one"), &h), STATUS_SUCCESS);
    alignas(8) char buffer[256];
    ULONG_PTR information = 0;
    EXPECT_EQ(QueryOnce(h.get(), buffer, 71, FileDirectoryInformation, 0, nullptr, &information),
              STATUS_INFO_LENGTH_MISMATCH);
    // 72 bytes hold "." (66) alone, then ".." (68) alone.
    ASSERT_EQ(QueryOnce(h.get(), buffer, 72, FileDirectoryInformation, 0, nullptr, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 66u);
    ASSERT_EQ(QueryOnce(h.get(), buffer, 72, FileDirectoryInformation, 0, nullptr, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 68u);
    ASSERT_EQ(QueryOnce(h.get(), buffer, 72, FileDirectoryInformation, 0, nullptr, &information),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 72u);
    auto* e = reinterpret_cast<FILE_DIRECTORY_INFORMATION*>(buffer);
    EXPECT_EQ(e->FileNameLength, 24u);
    EXPECT_EQ(std::u16string(e->FileName, 4), u"abcd");
    ASSERT_EQ(QueryOnce(h.get(), buffer, sizeof(buffer), FileDirectoryInformation, 0, nullptr, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(e->FileName, e->FileNameLength / 2), u"abcdefgh.txt");
    EXPECT_EQ(information, 88u);
    EXPECT_EQ(QueryOnce(h.get(), buffer, sizeof(buffer), FileDirectoryInformation, 0), STATUS_NO_MORE_FILES);
}

TEST_F(DirCtrlTest, RefusedQueries) {
    Handle file, directory;
    ASSERT_EQ(Open(T(u"list\\a.txt"), &file), STATUS_SUCCESS);
    ASSERT_EQ(Open(T(u"list"), &directory), STATUS_SUCCESS);
    alignas(8) char buffer[1024];
    EXPECT_EQ(QueryOnce(file.get(), buffer, sizeof(buffer), FileDirectoryInformation, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(QueryOnce(directory.get(), buffer, sizeof(buffer), FileBasicInformation, 0), STATUS_INVALID_PARAMETER);
    // The refusal did not start the enumeration: the first real query still lists ".".
    ASSERT_EQ(QueryOnce(directory.get(), buffer, sizeof(buffer), FileNamesInformation, SL_RETURN_SINGLE_ENTRY),
              STATUS_SUCCESS);
    auto* e = reinterpret_cast<FILE_NAMES_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(e->FileName, e->FileNameLength / 2), u".");
}

}  // namespace
}  // namespace korin::hostfs::test
