// A virtual drive as a volume: label, file-system attributes, device type,
// the fixed size, and a new label renaming the drive.
#include "drive_fixture.h"

#include "driver/drive.h"
#include "platform/nt/pool.h"

#include <atomic>
#include <thread>

#include <cstring>

namespace korin::drivertest {
namespace {

struct VolumeAnswer {
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<uint8_t> Buffer;
    template <typename T>
    T At(size_t offset) const {
        T value{};
        std::memcpy(&value, Buffer.data() + offset, sizeof value);
        return value;
    }
    std::u16string Text(size_t offset, size_t bytes) const {
        std::u16string text(bytes / 2, u'\0');
        std::memcpy(text.data(), Buffer.data() + offset, bytes);
        return text;
    }
};

class VolumeTest : public DriveTest {
protected:
    void SetUp() override {
        DriveTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(Open(u"X:\\", root_).Status, STATUS_SUCCESS);
    }
    VolumeAnswer Query(FS_INFORMATION_CLASS infoClass, ULONG length) {
        VolumeAnswer answer;
        answer.Buffer.assign(length, 0xEE);
        IO_STATUS_BLOCK ioStatus{};
        ioStatus.Information = 0xBADBAD;
        answer.Status = NtQueryVolumeInformationFile(root_.get(), &ioStatus, answer.Buffer.data(), length, infoClass);
        answer.Information = ioStatus.Information;
        return answer;
    }
    NTSTATUS SetLabelBytes(const std::vector<uint8_t>& buffer, FS_INFORMATION_CLASS infoClass = FileFsLabelInformation) {
        IO_STATUS_BLOCK ioStatus{};
        return NtSetVolumeInformationFile(root_.get(), &ioStatus, const_cast<uint8_t*>(buffer.data()),
                                          static_cast<ULONG>(buffer.size()), infoClass);
    }
    static std::vector<uint8_t> LabelInformation(const std::u16string& label, ULONG claimedLength) {
        std::vector<uint8_t> buffer(4 + label.size() * 2);
        std::memcpy(buffer.data(), &claimedLength, 4);
        std::memcpy(buffer.data() + 4, label.data(), label.size() * 2);
        return buffer;
    }
    std::u16string Label() {
        VolumeAnswer answer = Query(FileFsVolumeInformation, 512);
        return answer.Text(18, answer.At<ULONG>(12));
    }
    Handle root_;
};

TEST_F(VolumeTest, LabelIsTheDriveNameWhenItFits) {
    VolumeAnswer fits = Query(FileFsVolumeInformation, 64);
    EXPECT_EQ(fits.Status, STATUS_SUCCESS);
    EXPECT_EQ(fits.Information, 38u);
    EXPECT_EQ(fits.At<ULONG>(12), 16u);
    EXPECT_EQ(fits.Text(18, 16), u"Projects");
    EXPECT_EQ(fits.At<LONGLONG>(0), 0);
    EXPECT_EQ(fits.At<ULONG>(8), 0u);

    VolumeAnswer tooSmall = Query(FileFsVolumeInformation, 24);
    EXPECT_EQ(tooSmall.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall.Information, 24u);
    EXPECT_EQ(tooSmall.At<ULONG>(12), 16u);
    EXPECT_EQ(tooSmall.At<USHORT>(18), 0u) << "no part of the label";

    EXPECT_EQ(Query(FileFsVolumeInformation, 23).Status, STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(VolumeTest, AttributesNameTheFileSystemInFiftyBytes) {
    VolumeAnswer small = Query(FileFsAttributeInformation, 16);
    EXPECT_EQ(small.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small.Information, 16u);
    EXPECT_EQ(small.At<ULONG>(0), 7u);
    EXPECT_EQ(small.At<LONG>(4), 512);
    EXPECT_EQ(small.At<ULONG>(8), 50u);
    EXPECT_EQ(Query(FileFsAttributeInformation, 15).Status, STATUS_INFO_LENGTH_MISMATCH);

    VolumeAnswer full = Query(FileFsAttributeInformation, 64);
    EXPECT_EQ(full.Status, STATUS_SUCCESS);
    EXPECT_EQ(full.Information, 64u);
    EXPECT_EQ(full.Text(12, 10), u"Korin");
    for (size_t offset = 22; offset < 62; ++offset) EXPECT_EQ(full.Buffer[offset], 0) << offset;
}

struct FixedClass {
    FS_INFORMATION_CLASS Class;
    ULONG Minimum;
};

class FixedClassTest : public VolumeTest, public ::testing::WithParamInterface<FixedClass> {};

TEST_P(FixedClassTest, MinimumLengthAndFixedValues) {
    const FixedClass& c = GetParam();
    EXPECT_EQ(Query(c.Class, c.Minimum - 1).Status, STATUS_INFO_LENGTH_MISMATCH);
    VolumeAnswer answer = Query(c.Class, c.Minimum + 8);
    ASSERT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, c.Minimum);
    switch (c.Class) {
    case FileFsSizeInformation:
        EXPECT_EQ(answer.At<LONGLONG>(0), 102400);
        EXPECT_EQ(answer.At<LONGLONG>(8), 102400);
        EXPECT_EQ(answer.At<ULONG>(16), 1024u);
        EXPECT_EQ(answer.At<ULONG>(20), 1024u);
        break;
    case FileFsFullSizeInformation:
        EXPECT_EQ(answer.At<LONGLONG>(0), 102400);
        EXPECT_EQ(answer.At<LONGLONG>(8), 102400);
        EXPECT_EQ(answer.At<LONGLONG>(16), 102400);
        EXPECT_EQ(answer.At<ULONG>(24), 1024u);
        EXPECT_EQ(answer.At<ULONG>(28), 1024u);
        break;
    case FileFsDeviceInformation:
        EXPECT_EQ(answer.At<ULONG>(0), FILE_DEVICE_DISK);
        EXPECT_EQ(answer.At<ULONG>(4), 0u);
        break;
    default:
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, FixedClassTest,
                         ::testing::Values(FixedClass{FileFsSizeInformation, 24}, FixedClass{FileFsDeviceInformation, 8},
                                           FixedClass{FileFsFullSizeInformation, 32}));

TEST_F(VolumeTest, UnlistedClassIsRefused) {
    EXPECT_EQ(Query(FileFsObjectIdInformation, 64).Status, STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(Query(FileFsControlInformation, 64).Status, STATUS_INVALID_INFO_CLASS);
}

TEST_F(VolumeTest, NewLabelRenamesTheDriveInMemoryAndInItsRecord) {
    ASSERT_EQ(SetLabelBytes(LabelInformation(u"Work", 8)), STATUS_SUCCESS);
    EXPECT_EQ(Label(), u"Work");
    EXPECT_EQ(Text(Drive()->DriveName), u"Work");
    const std::vector<uint8_t> expected{'X', 0, 8, 0, 'W', 0, 'o', 0, 'r', 0, 'k', 0};
    EXPECT_EQ(DriveRecordBytes(), expected);
}

TEST_F(VolumeTest, EmptyLabelIsAccepted) {
    ASSERT_EQ(SetLabelBytes(LabelInformation(u"", 0)), STATUS_SUCCESS);
    EXPECT_EQ(Label(), u"");
    EXPECT_EQ(DriveRecordBytes(), (std::vector<uint8_t>{'X', 0, 0, 0}));
}

TEST_F(VolumeTest, MalformedLabelRequestsChangeNothing) {
    const std::vector<std::vector<uint8_t>> requests{
        LabelInformation(u"Work", 10),          // longer than the buffer carries
        LabelInformation(u"Work", 0xFFFFFFF0),  // far longer
        LabelInformation(u"Work", 7),           // half a character
        std::vector<uint8_t>{8, 0},             // not even the length
    };
    for (const auto& request : requests) EXPECT_EQ(SetLabelBytes(request), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetLabelBytes(LabelInformation(u"Work", 8), FileFsVolumeInformation), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Label(), u"Projects");
    EXPECT_EQ(DriveRecordBytes().size(), 4u + 16u);
}

TEST_F(VolumeTest, NoPoolForTheNewLabelKeepsTheOldOne) {
    pool::FailNthAllocation(TAG_BYTES, 1);
    EXPECT_EQ(SetLabelBytes(LabelInformation(u"Work", 8)), STATUS_INSUFFICIENT_RESOURCES);
    pool::ClearInjectedFailures();
    EXPECT_EQ(Label(), u"Projects");
}

// The store does not take the new record: the request fails and changes
// nothing, as a failed IOCTL_SET_DRIVE_NAME does.
TEST_F(VolumeTest, LabelTheStoreRefusesKeepsTheOldName) {
    const std::vector<uint8_t> record = DriveRecordBytes();
    pool::FailNthAllocation("aaa0", 1);
    EXPECT_EQ(SetLabelBytes(LabelInformation(u"Work", 8)), STATUS_INSUFFICIENT_RESOURCES);
    pool::ClearInjectedFailures();
    EXPECT_EQ(Label(), u"Projects");
    EXPECT_EQ(DriveRecordBytes(), record);
}

// A label set racing with letter changes of the same drive: each record
// written holds the letter the drive had then, so once both stop the record
// names the drive's letter and its last label.
TEST_F(VolumeTest, LabelSetRacingWithLetterChangesRecordsTheCurrentLetter) {
    std::atomic<bool> stop{false};
    std::thread mover([&] {
        for (int i = 0; i < 300; ++i) {
            ChangeDriveLetter(i % 2 ? u'Y' : u'X', i % 2 ? u'X' : u'Y');
        }
        stop = true;
    });
    int labels = 0;
    while (!stop) {
        const std::u16string label = labels++ % 2 ? u"Even" : u"Odd1";
        EXPECT_EQ(SetLabelBytes(LabelInformation(label, 8)), STATUS_SUCCESS);
    }
    mover.join();
    const std::vector<uint8_t> record = DriveRecordBytes();
    ASSERT_GE(record.size(), 4u);
    const WCHAR recorded = static_cast<WCHAR>(record[0] | record[1] << 8);
    EXPECT_EQ(VcbFromLetter(recorded), Drive()) << "the record names the letter the drive has";
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(record.data() + 4), (record.size() - 4) / 2), Label());
}

}  // namespace
}  // namespace korin::drivertest
