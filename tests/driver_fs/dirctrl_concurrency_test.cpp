// Listings of one folder running while another thread creates, renames and
// deletes its children through the file system: every listing completes,
// every entry is whole, no name comes twice, and nothing is left behind.
#include "drive_fixture.h"

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

namespace korin::drivertest {
namespace {

constexpr int kStableChildren = 12;
constexpr int kWriterRounds = 150;
constexpr int kReaders = 3;

std::u16string Numbered(char16_t prefix, int n) {
    std::u16string text(1, prefix);
    for (char c : std::to_string(n)) text += static_cast<char16_t>(c);
    return text;
}

bool IsKnownName(const std::u16string& name) {
    if (name.size() < 2) return false;
    if (name[0] != u's' && name[0] != u't' && name[0] != u'r') return false;
    for (size_t i = 1; i < name.size(); ++i) {
        if (name[i] < u'0' || name[i] > u'9') return false;
    }
    return true;
}

class ListingConcurrencyTest : public DriveTest {
protected:
    NTSTATUS CreateFolder(const std::u16string& path) {
        Handle folder;
        return Open(path, folder, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_CREATE).Status;
    }
    NTSTATUS RenameFolder(const std::u16string& path, const std::u16string& newPath) {
        Handle folder;
        NTSTATUS status = Open(path, folder, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN,
                               DELETE | SYNCHRONIZE)
                              .Status;
        if (!NT_SUCCESS(status)) return status;
        const std::u16string ntPath = u"\\??\\" + newPath;
        std::vector<uint8_t> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + ntPath.size() * 2);
        auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
        info->FileNameLength = static_cast<ULONG>(ntPath.size() * 2);
        std::memcpy(info->FileName, ntPath.data(), ntPath.size() * 2);
        IO_STATUS_BLOCK ioStatus{};
        return NtSetInformationFile(folder.get(), &ioStatus, buffer.data(), static_cast<ULONG>(buffer.size()),
                                    FileRenameInformation);
    }
    NTSTATUS DeleteFolder(const std::u16string& path) {
        Handle folder;
        NTSTATUS status = Open(path, folder, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN,
                               DELETE | SYNCHRONIZE)
                              .Status;
        if (!NT_SUCCESS(status)) return status;
        FILE_DISPOSITION_INFORMATION info{TRUE};
        IO_STATUS_BLOCK ioStatus{};
        return NtSetInformationFile(folder.get(), &ioStatus, &info, sizeof info, FileDispositionInformation);
    }

    // One whole listing with a small buffer; checks every entry it reads.
    void ListOnce(FILE_INFORMATION_CLASS infoClass, ULONG length, UCHAR flags) {
        Handle folder;
        ASSERT_EQ(Open(u"X:\\C", folder).Status, STATUS_SUCCESS);
        std::vector<std::u16string> names;
        for (int query = 0; query < 10000; ++query) {
            Listing listing = QueryDirectory(folder.get(), infoClass, length, flags);
            if (listing.Status == STATUS_NO_MORE_FILES) break;
            ASSERT_EQ(listing.Status, STATUS_SUCCESS);
            ASSERT_FALSE(listing.Entries.empty());
            ULONG end = 0;
            for (const DirEntry& e : listing.Entries) {
                end = e.Offset + StructureSizeOf(infoClass) - 2 + static_cast<ULONG>(e.Name.size() * 2);
                if (&e != &listing.Entries.back()) {
                    EXPECT_EQ(e.NextEntryOffset, end - e.Offset) << Narrow(e.Name);
                }
                if (infoClass != FileNamesInformation) {
                    EXPECT_EQ(e.FileAttributes, 0x90u) << Narrow(e.Name);
                }
                names.push_back(e.Name);
            }
            EXPECT_EQ(listing.Information, end);
            EXPECT_EQ(listing.Entries.back().NextEntryOffset, 0u);
        }
        ASSERT_GE(names.size(), 2u);
        EXPECT_EQ(names[0], u".");
        EXPECT_EQ(names[1], u"..");
        std::set<std::u16string> seen;
        for (size_t i = 2; i < names.size(); ++i) {
            EXPECT_TRUE(IsKnownName(names[i])) << Narrow(names[i]);
            EXPECT_TRUE(seen.insert(names[i]).second) << Narrow(names[i]) << " listed twice";
        }
    }
};

TEST_F(ListingConcurrencyTest, ListingsRunWhileChildrenComeRenameAndGo) {
    for (int i = 0; i < kStableChildren; ++i) AddFolder(u"C\\" + Numbered(u's', i));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        ps::ProcessScope scope(*process_);
        for (int i = 0; i < kWriterRounds; ++i) {
            EXPECT_EQ(CreateFolder(u"X:\\C\\" + Numbered(u't', i)), STATUS_SUCCESS);
            if (i >= 1) {
                EXPECT_EQ(RenameFolder(u"X:\\C\\" + Numbered(u't', i - 1), u"X:\\C\\" + Numbered(u'r', i - 1)),
                          STATUS_SUCCESS);
            }
            if (i >= 2) {
                EXPECT_EQ(DeleteFolder(u"X:\\C\\" + Numbered(u'r', i - 2)), STATUS_SUCCESS);
            }
        }
        done = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            ps::ProcessScope scope(*process_);
            int round = 0;
            while (!done || round < 3) {
                switch ((round + r) % 3) {
                case 0:
                    ListOnce(FileBothDirectoryInformation, 300, 0);
                    break;
                case 1:
                    ListOnce(FileNamesInformation, 64, 0);
                    break;
                default:
                    ListOnce(FileDirectoryInformation, 4096, SL_RETURN_SINGLE_ENTRY);
                    break;
                }
                ++round;
            }
        });
    }
    writer.join();
    for (std::thread& reader : readers) reader.join();

    std::vector<std::u16string> expected;
    for (int i = 0; i < kStableChildren; ++i) expected.push_back(Numbered(u's', i));
    // The last rename moved r148 behind t149.
    expected.push_back(Numbered(u't', kWriterRounds - 1));
    expected.push_back(Numbered(u'r', kWriterRounds - 2));
    EXPECT_EQ(Children(u"C"), expected);
}

}  // namespace
}  // namespace korin::drivertest
